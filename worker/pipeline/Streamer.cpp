#include "pipeline/Streamer.h"

#include <utility>

#include "capture/SourceCapture.h"
#include "config/WorkerConfigDocument.h"
#include "pipeline/FrameLoop.h"
#include "pipeline/Pipeline.h"

namespace tiloran {

// Lets requestStop wake the master's wait for as long as the master exists:
// declared after the pipeline in run, it ends before the pipeline does.
class Streamer::MasterRegistration
{
public:
	explicit MasterRegistration(Streamer &streamer) : streamer_(streamer) {}
	~MasterRegistration()
	{
		std::lock_guard lock(streamer_.masterMutex_);
		streamer_.waitingMaster_ = nullptr;
	}
	MasterRegistration(const MasterRegistration &) = delete;
	MasterRegistration &operator=(const MasterRegistration &) = delete;

	void enter(SourceCapture &master)
	{
		std::lock_guard lock(streamer_.masterMutex_);
		streamer_.waitingMaster_ = &master;
		if (streamer_.stopRequested_)
			master.interruptWait();
	}

private:
	Streamer &streamer_;
};

Streamer::Streamer(SourceInputOpener openInput)
	: openInput_(std::move(openInput))
{
}

void Streamer::requestStop()
{
	stopRequested_ = true;
	std::lock_guard lock(masterMutex_);
	if (waitingMaster_)
		waitingMaster_->interruptWait();
}

bool Streamer::run(const nlohmann::json &document, std::string &message)
{
	NoServerChannel nowhere;
	EventCode ignored;
	return run(document, nowhere, message, ignored);
}

bool Streamer::run(const nlohmann::json &document, ServerChannel &channel, std::string &message, EventCode &code)
{
	Pipeline pipeline;
	MasterRegistration registration(*this);
	if (!parseWorkerConfig(document, pipeline.config, message)) {
		code = EventCode::WorkerConfigInvalid;
		return false;
	}
	// A stop while the pipeline is being built ends it, and its run, early.
	if (!pipeline.build(openInput_, channel, stopRequested_, message)) {
		code = pipeline.failureCode;
		return stopRequested_;
	}
	registration.enter(pipeline.master());

	// The last record has the run's final count of dropped pictures.
	struct FinalRecord {
		StatisticsReporter &reporter;
		~FinalRecord() { reporter.reportNow(); }
	} finalRecord{ *pipeline.reporter };

	FrameLoop loop(pipeline);
	while (!stopRequested_) {
		switch (loop.step(message)) {
		case FrameStep::Continue:
			break;
		case FrameStep::Interrupted:
			return true;
		case FrameStep::Failed:
			code = loop.failureCode();
			return false;
		}
	}
	return true;
}

} // namespace tiloran
