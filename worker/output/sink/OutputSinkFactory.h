#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "channel/ServerChannel.h"
#include "config/WorkerConfig.h"
#include "output/sink/OutputSink.h"

namespace tiloran {

// The sink of the configured output, opened: an SRT connection of its own
// for an "srt://" URI (SrtSink.h), anything else FFmpeg opens by URL
// (UrlSink.h). The SRT sink's events go to channel, which outlives it.
// shownUri is the URI as messages show it (the passphrase hidden). None, with
// "Failed to open SRT output '" shownUri "': " and the reason, when the sink
// cannot be made or opened, and code: the SRT call's failure (SrtRejected,
// SrtPeerSilent...), else OutputFailed. An SRT connection being made is given
// up once abandon is set (from any thread; it outlives the sink).
std::unique_ptr<OutputSink> openOutputSink(const WorkerConfig &config, const std::string &shownUri,
					   ServerChannel &channel, const std::atomic<bool> &abandon,
					   std::string &message, EventCode &code);

// The configured recording, opened; none when it cannot begin, which is
// reported (console and an event) but does not keep the stream from starting.
std::unique_ptr<OutputSink> openRecordingSink(const WorkerConfig &config, ServerChannel &channel);

// The configured further SRT destinations ("Output 1" on), each opened as
// the main one is. One that cannot begin is reported (console and an event)
// and left out: the stream goes on to the others.
std::vector<std::unique_ptr<OutputSink>> openFurtherOutputs(const WorkerConfig &config, ServerChannel &channel,
							    const std::atomic<bool> &abandon);

} // namespace tiloran
