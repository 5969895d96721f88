#pragma once

#include <cstdint>
#include <string>

#include "common/protocol/EventCode.h"
#include "pipeline/Pipeline.h"

namespace tiloran {

// What one step of the frame loop came to: go on with the next; the master's
// wait was interrupted (a stop was asked for); or a failure, whose reason is
// in the message.
enum class FrameStep { Continue, Interrupted, Failed };

// The frame loop over a pipeline built: each step waits for the master's
// next picture, hands the master's queued audio on, and once every source
// has delivered a picture composes one output picture and hands it to the
// output, so the master source paces the whole stream.
//
// Threads: the worker's main thread, the pipeline's only user.
class FrameLoop
{
public:
	explicit FrameLoop(Pipeline &pipeline);

	FrameStep step(std::string &message);
	// What failed, after a step did: an input, the output or the composition.
	EventCode failureCode() const { return failureCode_; }

private:
	// Notes what failed; false.
	bool failedWith(EventCode code)
	{
		failureCode_ = code;
		return false;
	}

	// Every frame of audio the master queued, in order.
	bool forwardMasterAudio(std::string &message);
	// Whether every other source has delivered its first picture (or has no
	// signal, and shows its slate); false with the message where one failed.
	bool checkSourcesReady(bool &ready, std::string &message);
	// Each other source's newest picture, or its slate, into its tile.
	bool fillTiles(std::string &message);
	// The picture begun, every tile filled, to the preview (one in 15) and
	// the output.
	bool composeAndHandOn(std::string &message);

	Pipeline &pipeline_;
	SourceCapture &master_;
	// The master's picture counter at the picture taken last.
	int64_t lastMasterSequence_ = 0;
	// Pictures composed and handed on so far.
	int64_t outputFrameIndex_ = 0;
	EventCode failureCode_ = EventCode::StreamFailed;
};

} // namespace tiloran
