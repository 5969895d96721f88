#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "capture/SourceInput.h"
#include "channel/ServerChannel.h"
#include "common/protocol/EventCode.h"

namespace tiloran {

class SourceCapture;

// The worker's media pipeline: builds the configuration record from the
// document, opens one capture per quadrant with a source (the master's
// first), the composite output, the compositor and the preview writer, and
// then composes and hands on one output picture per new master picture, so
// the master source paces the whole stream. A quadrant whose input has no
// signal shows a slate saying so (NoSignalSlate.h) in place of its pictures.
//
// Threads: run executes on the worker's main thread and is the only caller of
// every component operation; the components own the capture, output,
// preview and statistics threads and join them when run tears them down.
// requestStop may be called from any thread.
class Streamer
{
public:
	// Every capture opens its input with openInput.
	explicit Streamer(SourceInputOpener openInput = openSourceInput);

	// Runs until something fails (false, message holds the first failure
	// and code what it was) or a stop is requested (true). Either way
	// everything is torn down: after a stop the output encodes what it
	// holds, writes the stream's end and closes its connection. Statistics
	// and events go to channel.
	bool run(const nlohmann::json &document, ServerChannel &channel, std::string &message, EventCode &code);
	bool run(const nlohmann::json &document, std::string &message);

	// Ends run at its next picture, or at once while it waits for one.
	void requestStop();
	bool stopRequested() const { return stopRequested_; }

private:
	class MasterRegistration;

	SourceInputOpener openInput_;
	std::atomic<bool> stopRequested_{ false };
	// The master source run waits on, while it may be woken.
	std::mutex masterMutex_;
	SourceCapture *waitingMaster_ = nullptr;
};

} // namespace tiloran
