#include "config/WorkerDocument.h"

#include <algorithm>
#include <string_view>

#include "common/RecordingName.h"
#include "common/protocol/StreamSettings.h"

namespace tiloran {

namespace {

std::int64_t wholeValue(const nlohmann::json &value)
{
	return value.is_number_float() ? static_cast<std::int64_t>(value.get<double>()) : value.get<std::int64_t>();
}

// The floor of an adaptive bitrate when the request names none: a quarter of
// the video bitrate in its own unit, at least 1 Mbit/s, never above it.
nlohmann::json defaultMinimumVideoBitrate(const nlohmann::json &videoBitrate)
{
	const std::int64_t rate = wholeValue(videoBitrate);
	if (rate <= kVideoBitrateMaxMbps)
		return std::max<std::int64_t>(1, rate / 4);
	return std::min<std::int64_t>(rate, std::max<std::int64_t>(1000000, rate / 4));
}

// The stream's name in its recordings' file names: the stream id with every
// character a file name cannot safely hold made '_', "stream" without one.
std::string recordingNameOf(const std::string &streamId)
{
	std::string name;
	for (const char c : streamId) {
		if (name.size() == kLongestRecordingName)
			break;
		const std::string_view one(&c, 1);
		name += isRecordingName(one) ? c : '_';
	}
	return name.empty() ? "stream" : name;
}

// A destination's SRT settings as the worker reads them.
nlohmann::json srtObjectOf(const SrtDestination &destination)
{
	return {
		{ "host_port", destination.hostPort },
		{ "streamid", destination.streamId },
		{ "latency", destination.latencyMs },
		{ "passphrase", destination.passphrase },
	};
}

// A listener's keys beside its "srt" object; a caller's document has none,
// as before listeners existed.
void addListenerKeys(const SrtDestination &destination, nlohmann::json &holder)
{
	if (!destination.listener)
		return;
	holder["srt_mode"] = "listener";
	holder["srt_max_callers"] = destination.maxCallers;
	if (!destination.allowedStreamIds.empty())
		holder["srt_allowed_stream_ids"] = destination.allowedStreamIds;
}

} // namespace

nlohmann::json workerDocumentOf(const nlohmann::json &request, const StartRequest &checked,
				const ConfigLocations &locations)
{
	nlohmann::json document = { { "quadrants", checked.quadrants } };
	document["codec"] = request["codec"];
	document["video_bitrate"] = request["videoBitrate"];
	document["audio_bitrate"] = request["audioBitrate"];
	document["srt"] = srtObjectOf(checked);
	document["srt_uri"] =
		buildSrtUri(checked.hostPort, checked.streamId, checked.latencyMs, checked.passphrase, checked.listener);
	// Only when asked for, so that documents without them stay as they were.
	if (checked.reconnect)
		document["srt_reconnect"] = *checked.reconnect;
	addListenerKeys(checked, document);
	// Each further destination as the main one is written: its "srt" object
	// and, when asked for, "srt_reconnect".
	if (!checked.outputs.empty()) {
		nlohmann::json outputs = nlohmann::json::array();
		for (const SrtDestination &destination : checked.outputs) {
			nlohmann::json entry = { { "srt", srtObjectOf(destination) } };
			if (destination.reconnect)
				entry["srt_reconnect"] = *destination.reconnect;
			addListenerKeys(destination, entry);
			outputs.push_back(std::move(entry));
		}
		document["outputs"] = std::move(outputs);
	}
	if (request.contains("adaptiveBitrate")) {
		document["adaptive_bitrate"] = request["adaptiveBitrate"].get<bool>();
		if (request["adaptiveBitrate"].get<bool>())
			document["min_video_bitrate"] = request.contains("minVideoBitrate")
								? request["minVideoBitrate"]
								: defaultMinimumVideoBitrate(request["videoBitrate"]);
	}
	if (request.contains("audioChannels"))
		document["audio_channels"] = { request["audioChannels"][0].get<std::int32_t>(),
					       request["audioChannels"][1].get<std::int32_t>() };
	document["preview_path"] = locations.previewPath;
	if (request.value("record", false)) {
		document["record"] = true;
		document["recordings_path"] = locations.recordingsPath;
		document["record_name"] = recordingNameOf(checked.streamId);
		document["record_segment_minutes"] = request.value("recordSegmentMinutes", 60.0);
	}
	return document;
}

std::string buildSrtUri(const std::string &hostPort, const std::string &streamId, std::int32_t latency,
			const std::string &passphrase, bool listener)
{
	std::string uri = "srt://" + hostPort + (listener ? "?mode=listener" : "?mode=caller");
	if (!streamId.empty())
		uri += "&streamid=" + streamId;
	uri += "&latency=" + std::to_string(latency);
	if (!passphrase.empty())
		uri += "&passphrase=" + passphrase;
	return uri;
}

} // namespace tiloran
