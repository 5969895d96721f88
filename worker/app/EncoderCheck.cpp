#include "app/EncoderCheck.h"

#include <iostream>

#include <nlohmann/json.hpp>

#include "common/ConsoleLine.h"
#include "common/PrintableText.h"
#include "common/platform/ChannelStream.h"
#include "output/VideoEncoder.h"

extern "C" {
#include <libavutil/log.h>
}

namespace tiloran {

int checkEncoders(const std::vector<std::string> &names)
{
	platform::ChannelStream channel;
	std::string problem;
	if (!platform::ChannelStream::fromEnvironment(channel, problem)) {
		printErrorLine("[Worker] Ignoring the server's channel: " + problem);
		return 1;
	}
	// Asked by the server, the answer is the whole output: the encoders'
	// own lines would land among the server's on the console it shares.
	const bool toServer = static_cast<bool>(channel);
	if (toServer)
		std::cout.rdbuf(nullptr);
	// An encoder that does not open here is the expected answer, given in it:
	// FFmpeg's own lines about it would read as failures.
	av_log_set_level(AV_LOG_QUIET);
	// Small enough to open at once, large enough for every encoder's minimum size.
	const VideoEncoder::Format format{ 256, 144, AVRational{ 25, 1 }, AV_FIELD_PROGRESSIVE };
	const VideoRate rate{ 1'000'000, 0, 0 };
	nlohmann::json encoders = nlohmann::json::array();
	for (const std::string &name : names) {
		VideoEncoder encoder;
		std::string message;
		const bool available = encoder.open(name, format, rate, message);
		nlohmann::json entry{ { "name", name }, { "available", available } };
		if (!available)
			entry["reason"] = message;
		printLine("[Worker] Encoder " + printableText(name) + (available ? ": available" : ": not available: " + message));
		encoders.push_back(std::move(entry));
	}
	const std::string answer = nlohmann::json{ { "type", "encoders" }, { "encoders", encoders } }.dump();
	if (!toServer) {
		printLine(answer);
		return 0;
	}
	return channel.write(answer + "\n") ? 0 : 1;
}

} // namespace tiloran
