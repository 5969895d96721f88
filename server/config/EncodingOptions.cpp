#include "config/EncodingOptions.h"

#include <utility>

namespace tiloran {

namespace {

nlohmann::json optionArray(const std::vector<BitrateOption> &options)
{
	nlohmann::json array = nlohmann::json::array();
	for (const BitrateOption &option : options)
		array.push_back({ { "title", option.title }, { "value", option.value } });
	return array;
}

nlohmann::json optionArray(const std::vector<CodecOption> &options, const std::map<std::string, bool> &available)
{
	nlohmann::json array = nlohmann::json::array();
	for (const CodecOption &option : options) {
		nlohmann::json entry{ { "title", option.title }, { "value", option.value } };
		if (const auto found = available.find(option.value); found != available.end())
			entry["available"] = found->second;
		array.push_back(std::move(entry));
	}
	return array;
}

} // namespace

EncodingOptions::EncodingOptions()
	// Thin links need 1 to 6 Mbit/s; the values offered before stay.
	: videoBitrates_{
		  { "1 Mbps", 1 }, { "2 Mbps", 2 }, { "3 Mbps", 3 }, { "4 Mbps", 4 }, { "5 Mbps", 5 }, { "6 Mbps", 6 },
		  { "8 Mbps", 8 }, { "12 Mbps", 12 }, { "16 Mbps", 16 }, { "20 Mbps", 20 },
		  { "25 Mbps", 25 }, { "30 Mbps", 30 }, { "40 Mbps", 40 }, { "50 Mbps", 50 },
	  },
	  audioBitrates_{
		  { "128 kbps", 128 }, { "192 kbps", 192 }, { "256 kbps", 256 }, { "320 kbps", 320 },
	  },
	  // The software encoder lets every machine stream, with or without a
	  // hardware encoder.
	  codecs_{
		  { "Intel H264", "h264_qsv" },
		  { "NVidia H264", "h264_nvenc" },
		  { "Software H264", "libx264" },
	  }
{
}

std::vector<std::string> EncodingOptions::codecNames() const
{
	std::vector<std::string> names;
	for (const CodecOption &option : codecs_)
		names.push_back(option.value);
	return names;
}

nlohmann::json EncodingOptions::clientJson(const std::map<std::string, bool> &codecAvailable) const
{
	return {
		{ "videoBitrates", optionArray(videoBitrates_) },
		{ "audioBitrates", optionArray(audioBitrates_) },
		{ "codecs", optionArray(codecs_, codecAvailable) },
	};
}

} // namespace tiloran
