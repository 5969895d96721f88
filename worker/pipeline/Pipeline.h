#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/SourceCapture.h"
#include "capture/SourceInput.h"
#include "channel/ServerChannel.h"
#include "common/protocol/EventCode.h"
#include "compose/QuadCompositor.h"
#include "config/WorkerConfig.h"
#include "media/FfmpegSupport.h"
#include "output/CompositeOutput.h"
#include "preview/PreviewWriter.h"
#include "report/AudioLevelMeter.h"
#include "report/StatisticsReporter.h"

namespace tiloran {

/*
 * Everything one run of the stream owns, and its building from the
 * configuration: the sources (the master's first), the output, which follows
 * the master's frame rate, field order and audio, the compositor, the
 * slates, the preview and the statistics.
 *
 * The destructor releases it in the order the pipeline needs: the reporter
 * first (it reads the others), the preview writer (its thread reads nothing
 * of the others), the frames and the compositor, then the output (which
 * drains its queue and writes the stream trailer; the picture being composed
 * never reaches it), and the sources last, in list order, since the output
 * never reads from them.
 *
 * Threads: the worker's main thread builds, drives and destroys it; the
 * components own the capture, output, preview and statistics threads.
 */
struct Pipeline {
	WorkerConfig config;
	AudioLevelMeter meter;
	std::atomic<int64_t> picturesDropped{ 0 };
	// The master's first, then every other quadrant with a source in slot order.
	std::vector<std::unique_ptr<SourceCapture>> sources;
	// The master's picture size: every tile's.
	int32_t width = 0;
	int32_t height = 0;
	AVRational frameRate{ 0, 1 };
	std::unique_ptr<CompositeOutput> output;
	// The pooled output picture being composed, taken from the output.
	FrameHolder outputFrame;
	std::unique_ptr<QuadCompositor> compositor;
	// The properties of the master's newest picture; its pixels went
	// straight into the output picture.
	FrameHolder masterFrame;
	FrameHolder masterAudioFrame;
	// What the slot of each quadrant without signal shows.
	std::array<FrameHolder, 4> slates;
	std::unique_ptr<PreviewWriter> preview;
	bool previewRunning = false;
	// Reads the others, so it goes first.
	std::unique_ptr<StatisticsReporter> reporter;

	Pipeline() = default;
	Pipeline(const Pipeline &) = delete;
	Pipeline &operator=(const Pipeline &) = delete;
	~Pipeline();

	// Builds the pipeline of config (filled in already), each capture opening
	// its input with openInput, statistics and events going to channel. The
	// output's connection is given up once stopRequested is set (any thread).
	// False with the first failure's message, and its code in failureCode;
	// what was built by then is the destructor's to release.
	bool build(const SourceInputOpener &openInput, ServerChannel &channel, const std::atomic<bool> &stopRequested,
		   std::string &message);
	// What failed to build: an input, the output, or the composition.
	EventCode failureCode = EventCode::StreamFailed;

	SourceCapture &master() const { return *sources.front(); }

private:
	// Opens the master's capture and takes the output's size, frame rate and
	// audio from it.
	bool openMaster(const SourceInputOpener &openInput, const SourceCapture::SignalListener &listener,
			std::string &message);
	bool openOtherSources(const SourceInputOpener &openInput, const SourceCapture::SignalListener &listener,
			      std::string &message);
	bool allocateFrames(std::string &message);
	// The stream does not depend on the preview: its failures are printed
	// and the stream goes on without it.
	void startPreview();
	void startReporter(ServerChannel &channel);
};

} // namespace tiloran
