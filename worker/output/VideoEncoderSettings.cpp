#include "output/VideoEncoderSettings.h"

#include <algorithm>

namespace tiloran {

namespace {

// FFmpeg's AVFieldOrder values, spelled out so that this file needs no FFmpeg header.
constexpr int32_t fieldProgressive = 1;
constexpr int32_t fieldTopFirst = 2;
constexpr int32_t fieldTopCodedFirstBottomShownFirst = 4;
constexpr int32_t fieldBottomCodedFirstTopShownFirst = 5;

} // namespace

std::string videoEncoderLookupName(const std::string &codec)
{
	return codec == "h264" ? "libx264" : codec;
}

VideoEncoderSettings chooseVideoEncoderSettings(const std::string &encoderName, int32_t outputWidth,
						int32_t outputHeight, int32_t frameRateNumerator,
						int32_t frameRateDenominator, int32_t fieldOrder)
{
	VideoEncoderSettings settings;
	settings.nvenc = encoderName == "h264_nvenc";

	if (settings.nvenc) {
		// Every picture an IDR frame: a receiver can join at any picture.
		settings.gopSize = 1;
	} else {
		const int64_t twoSeconds = frameRateDenominator > 0
						   ? 2 * static_cast<int64_t>(frameRateNumerator) / frameRateDenominator
						   : 1;
		settings.gopSize = static_cast<int32_t>(std::max<int64_t>(twoSeconds, 1));
	}

	settings.interlaced = !settings.nvenc && fieldOrder >= fieldTopFirst &&
			      fieldOrder <= fieldBottomCodedFirstTopShownFirst;
	settings.fieldOrder = settings.interlaced ? fieldOrder : fieldProgressive;

	settings.logLines.push_back("[CompositeOutput] Encoder field_order=" + std::to_string(settings.fieldOrder) +
				    " scan=" + (settings.interlaced ? "interlaced" : "progressive") +
				    " encoder=" + encoderName);

	if (settings.nvenc) {
		const bool highLevel = outputWidth > 1920 || outputHeight > 1080;
		settings.options = {
			{ "preset", std::string("p1") },
			{ "tune", std::string("ull") },
			{ "rc", std::string("cbr_ld_hq") },
			{ "zerolatency", int64_t{ 1 } },
			{ "delay", int64_t{ 0 } },
			{ "rc-lookahead", int64_t{ 0 } },
			{ "surfaces", int64_t{ 2 } },
			{ "forced-idr", int64_t{ 1 } },
			{ "strict_gop", int64_t{ 1 } },
			{ "profile", std::string("high") },
		};
		if (highLevel)
			settings.options.push_back({ "level", std::string("5.2") });
		settings.logLines.push_back("[CompositeOutput] NVENC " + std::to_string(outputWidth) + "x" +
					    std::to_string(outputHeight) +
					    " gop=1 forced-idr=1 profile=high" +
					    (highLevel ? " level=5.2" : " level=auto"));
	} else {
		settings.options = {
			{ "preset", std::string("veryfast") },
			{ "tune", std::string("zerolatency") },
			// A picture forced to I (for a receiver connected anew) is
			// then an IDR picture, where decoding can begin.
			{ "forced-idr", int64_t{ 1 } },
		};
		if (settings.interlaced) {
			const bool topFirst = fieldOrder == fieldTopFirst ||
					      fieldOrder == fieldTopCodedFirstBottomShownFirst;
			settings.options.push_back({ "x264-params", std::string(topFirst ? "tff=1" : "bff=1") });
		}
	}
	return settings;
}

} // namespace tiloran
