// A stream start request's body, taken the way the start route takes it: the
// console line, the depth check, the parse, the checks and the worker
// configuration document. Whatever the members' types, the checks refuse with
// a message rather than raise. A document the server accepts must be one the
// worker accepts, with the same values, and its passphrase must not show where
// it is printed.

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "common/Redaction.h"
#include "config/ConfigManager.h"
#include "config/WorkerConfigDocument.h"
#include "http/RequestBodyText.h"
#include "tests/fuzz/FuzzServerSetup.h"

using nlohmann::json;
using tiloran::fuzz::check;

namespace {

std::shared_ptr<tiloran::ConfigManager> configuration;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	configuration = tiloran::fuzz::fuzzConfiguration();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const std::string body(reinterpret_cast<const char *>(data), size);

	const std::string line = tiloran::consoleTextOfRequestBody(body);
	check(tiloran::fuzz::isOneLineOfText(line));

	if (tiloran::jsonNestsDeeperThan(body, 32))
		return 0;
	json request;
	json document;
	std::string message;
	try {
		request = json::parse(body, nullptr, true, false);
	} catch (const json::exception &) {
		// The route answers these as an invalid body.
		return 0;
	}
	// Members of any type are refused with a message, never by an exception.
	tiloran::StartRefusal refusal;
	if (!configuration->buildWorkerConfig(request, document, refusal)) {
		check(!refusal.message.empty());
		return 0;
	}

	// What the route would write, and the worker then read.
	const json written = json::parse(document.dump(2));
	check(tiloran::validateWorkerConfig(written, message));
	tiloran::WorkerConfig config;
	check(tiloran::parseWorkerConfig(written, config, message));
	check(config.codec == request["codec"]);
	check(config.srt_uri == written["srt_uri"]);
	const std::string hostPort = request["srtHostPort"];
	const std::string passphrase = request.value("srtPassphrase", std::string());
	check(config.srt_uri.rfind("srt://" + hostPort + "?mode=caller", 0) == 0);
	check(config.video_bitrate >= 1 && config.audio_bitrate >= 1);
	// The channels asked for, or the first two; all of a test input's.
	const tiloran::AudioChannelPair channels = config.audio_channels;
	if (request.contains("audioChannels"))
		check(request["audioChannels"] == json({ channels.left, channels.right }));
	else
		check(channels == tiloran::AudioChannelPair{});
	check(channels.left >= 1 && channels.right >= 1 && channels.channelsNeeded() <= tiloran::kTestInputAudioChannels);

	// Shown, the passphrase (the URI's last part) is hidden whole.
	json shown = written;
	tiloran::hideSrtPassphrase(shown);
	if (!passphrase.empty()) {
		check(shown["srt"]["passphrase"] == tiloran::redactedSecret);
		const std::string hidden = shown["srt_uri"];
		check(hidden.size() >= 3 && hidden.compare(hidden.size() - 3, 3, "***") == 0);
		const std::string kept = hidden.substr(0, hidden.size() - 3);
		check(config.srt_uri.rfind(kept, 0) == 0 && config.srt_uri.size() - kept.size() >= passphrase.size());
	}
	return 0;
}
