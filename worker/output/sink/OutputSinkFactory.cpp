#include "output/sink/OutputSinkFactory.h"

#include "common/ConsoleLine.h"
#include "output/sink/RecordingSink.h"
#include "output/sink/SrtListenerSink.h"
#include "output/sink/SrtSink.h"
#include "output/sink/UrlSink.h"

namespace tiloran {

std::unique_ptr<OutputSink> openOutputSink(const WorkerConfig &config, const std::string &shownUri,
					   ServerChannel &channel, const std::atomic<bool> &abandon,
					   std::string &message, EventCode &code)
{
	std::unique_ptr<OutputSink> sink;
	std::string reason;
	if (isSrtUri(config.srt_uri)) {
		SrtSettings srt = config.srt;
		if (srt.port == 0 && !srtSettingsFromUri(config.srt_uri, srt, reason)) {
			message = "Failed to open SRT output '" + shownUri + "': " + reason;
			code = EventCode::WorkerConfigInvalid;
			return nullptr;
		}
		if (srt.listener)
			sink = std::make_unique<SrtListenerSink>(srt, channel);
		else
			sink = std::make_unique<SrtSink>(srt, shownUri, channel, abandon);
	} else {
		sink = std::make_unique<UrlSink>(config.srt_uri);
	}
	if (!sink->open(reason)) {
		message = "Failed to open SRT output '" + shownUri + "': " + reason;
		// An SRT link knows why its call failed.
		const std::optional<SrtLinkStatistics> link = sink->linkStatistics();
		code = link && link->failureCode ? *link->failureCode : EventCode::OutputFailed;
		return nullptr;
	}
	return sink;
}

std::vector<std::unique_ptr<OutputSink>> openFurtherOutputs(const WorkerConfig &config, ServerChannel &channel,
							    const std::atomic<bool> &abandon)
{
	std::vector<std::unique_ptr<OutputSink>> sinks;
	for (std::size_t index = 0; index < config.outputs.size(); ++index) {
		const SrtSettings &srt = config.outputs[index];
		const std::string label = "Output " + std::to_string(index + 1);
		std::unique_ptr<OutputSink> sink;
		if (srt.listener) {
			sink = std::make_unique<SrtListenerSink>(srt, channel, label);
		} else {
			sink = std::make_unique<SrtSink>(srt, "srt://" + shownHostPort(srt), channel, abandon, label);
		}
		std::string reason;
		if (!sink->open(reason)) {
			// A caller has said why on the console and in an event; a
			// listener that cannot bind says it here.
			if (srt.listener)
				channel.sendEvent(EventCode::SrtFailed, "warning", label + ": SRT " + reason);
			printErrorLine("[CompositeOutput] " + label + " left out: " + reason + "; the stream goes on");
			continue;
		}
		sinks.push_back(std::move(sink));
	}
	return sinks;
}

std::unique_ptr<OutputSink> openRecordingSink(const WorkerConfig &config, ServerChannel &channel)
{
	auto sink = std::make_unique<RecordingSink>(
		RecordingSink::Settings{ config.recordings_path, config.record_name, config.record_segment_minutes * 60 },
		channel);
	std::string reason;
	if (!sink->open(reason)) {
		const std::string line = "Recording not started: " + reason + "; the stream goes on";
		printErrorLine("[Recording] " + line);
		channel.sendEvent(EventCode::RecordingUnavailable, "error", line);
		return nullptr;
	}
	return sink;
}

} // namespace tiloran
