#include "pipeline/FrameLoop.h"

#include <utility>

namespace tiloran {

namespace {

// One picture in this many goes to the preview.
constexpr int64_t previewInterval = 15;

} // namespace

FrameLoop::FrameLoop(Pipeline &pipeline) : pipeline_(pipeline), master_(pipeline.master())
{
}

FrameStep FrameLoop::step(std::string &message)
{
	Pipeline &pipeline = pipeline_;
	const int32_t masterSlot = pipeline.config.master_index;
	/*
	 * Each source converts its picture straight into its place in a pooled
	 * output picture, which then goes to the output as it is. A picture not
	 * completed (sources not ready yet) is kept for the next master picture.
	 */
	if (!pipeline.outputFrame && !pipeline.output->takeVideoFrame(pipeline.outputFrame, message)) {
		failedWith(pipeline.output->failureCode());
		return FrameStep::Failed;
	}
	AVFrame *outputFrame = pipeline.outputFrame.get();
	QuadCompositor &compositor = *pipeline.compositor;
	Nv12View masterView;
	if (!compositor.begin(outputFrame, message) || !compositor.slotView(masterSlot, masterView, message)) {
		failedWith(EventCode::StreamFailed);
		return FrameStep::Failed;
	}

	const int64_t previousSequence = lastMasterSequence_;
	const WaitResult waited = master_.waitForFrame(lastMasterSequence_, masterView, pipeline.masterFrame.get(),
						       lastMasterSequence_, message);
	if (waited.outcome == WaitOutcome::Interrupted)
		return FrameStep::Interrupted;
	if (!waited) {
		failedWith(master_.failureCode());
		return FrameStep::Failed;
	}
	// Master pictures skipped to stay live, from the first picture composed
	// on: each is a hole in the stream's timeline.
	if (outputFrameIndex_ > 0)
		pipeline.picturesDropped += lastMasterSequence_ - previousSequence - 1;

	/* Audio is handed on even while pictures are dropped, so none is lost. */
	if (!forwardMasterAudio(message))
		return FrameStep::Failed;

	bool ready = false;
	if (!checkSourcesReady(ready, message))
		return FrameStep::Failed;
	if (ready && !composeAndHandOn(message))
		return FrameStep::Failed;
	return FrameStep::Continue;
}

bool FrameLoop::composeAndHandOn(std::string &message)
{
	Pipeline &pipeline = pipeline_;
	const int32_t masterSlot = pipeline.config.master_index;
	QuadCompositor &compositor = *pipeline.compositor;
	AVFrame *outputFrame = pipeline.outputFrame.get();
	/*
	 * A quadrant without signal shows its slate; the picture keeps the
	 * master picture's timestamps and interlacing marks all the same. Empty
	 * quadrants show the master's quadrant, slate or not.
	 */
	if (master_.checkSignal() == InputSignal::None &&
	    !compositor.pushFrame(masterSlot, pipeline.slates[size_t(masterSlot)].get(), message))
		return failedWith(EventCode::StreamFailed);
	if (!fillTiles(message))
		return false;
	if (!compositor.compose(masterSlot, pipeline.masterFrame.get(), message))
		return failedWith(EventCode::StreamFailed);
	/* The master's interlacing marks describe the whole picture. */
	copyFrameFlags(outputFrame, pipeline.masterFrame.get());

	if (pipeline.previewRunning && outputFrameIndex_ % previewInterval == 0)
		pipeline.preview->submitFrame(outputFrame);

	if (!pipeline.output->pushVideoFrame(std::move(pipeline.outputFrame), master_.takenArrival(), message))
		return failedWith(pipeline.output->failureCode());
	++outputFrameIndex_;
	return true;
}

bool FrameLoop::forwardMasterAudio(std::string &message)
{
	AVFrame *audio = pipeline_.masterAudioFrame.get();
	for (;;) {
		bool got = false;
		if (!master_.popAudioFrame(audio, got, message))
			return failedWith(master_.failureCode());
		if (!got)
			return true;
		pipeline_.meter.add(audio);
		const bool pushed = pipeline_.output->pushAudioFrame(audio, message);
		av_frame_unref(audio);
		if (!pushed)
			return failedWith(pipeline_.output->failureCode());
	}
}

/*
 * Nothing is composed until every source has delivered a picture. A source
 * that fails before its first one would hold the stream back for ever, so its
 * failure ends the run: a source without audio reports only its stored
 * failure from popAudioFrame.
 */
bool FrameLoop::checkSourcesReady(bool &ready, std::string &message)
{
	ready = true;
	for (size_t index = 1; index < pipeline_.sources.size(); ++index) {
		SourceCapture &source = *pipeline_.sources[index];
		if (source.hasFrame() || source.checkSignal() == InputSignal::None)
			continue;
		ready = false;
		bool got = false;
		if (!source.popAudioFrame(pipeline_.masterAudioFrame.get(), got, message))
			return failedWith(source.failureCode());
	}
	return true;
}

bool FrameLoop::fillTiles(std::string &message)
{
	QuadCompositor &compositor = *pipeline_.compositor;
	for (size_t index = 1; index < pipeline_.sources.size(); ++index) {
		SourceCapture &source = *pipeline_.sources[index];
		const int32_t slot = source.quadrant().id - 1;
		if (source.checkSignal() == InputSignal::None) {
			if (!compositor.pushFrame(slot, pipeline_.slates[size_t(slot)].get(), message))
				return failedWith(EventCode::StreamFailed);
			continue;
		}
		Nv12View view;
		if (!compositor.slotView(slot, view, message))
			return failedWith(EventCode::StreamFailed);
		if (!source.copyLatestFrame(view, message))
			return failedWith(source.failureCode());
	}
	return true;
}

} // namespace tiloran
