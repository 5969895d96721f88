#include "pipeline/Streamer.h"

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "capture/NoSignalSlate.h"
#include "capture/SourceCapture.h"
#include "common/ConsoleLine.h"
#include "common/Redaction.h"
#include "compose/QuadCompositor.h"
#include "config/WorkerConfig.h"
#include "config/WorkerConfigDocument.h"
#include "media/FfmpegSupport.h"
#include "output/CompositeOutput.h"
#include "preview/PreviewWriter.h"
#include "report/AudioLevelMeter.h"
#include "report/StatisticsReporter.h"

namespace tiloran {

namespace {

// One picture in this many goes to the preview.
constexpr int64_t previewInterval = 15;

/*
 * Everything one run owns. The destructor releases it in the order the
 * pipeline needs: the preview writer first (its thread reads nothing of the
 * others), the frames and the compositor, then the output (which drains its
 * queue and writes the stream trailer; the picture being composed never
 * reaches it), and the sources last, in list order, since the output never
 * reads from them.
 */
struct Pipeline {
	WorkerConfig config;
	AudioLevelMeter meter;
	std::atomic<int64_t> picturesDropped{ 0 };
	std::vector<std::unique_ptr<SourceCapture>> sources;
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
	// Reads the others, so it goes first.
	std::unique_ptr<StatisticsReporter> reporter;

	Pipeline() = default;
	Pipeline(const Pipeline &) = delete;
	Pipeline &operator=(const Pipeline &) = delete;

	~Pipeline()
	{
		reporter.reset();
		preview.reset();
		masterAudioFrame.reset();
		for (FrameHolder &slate : slates)
			slate.reset();
		masterFrame.reset();
		compositor.reset();
		outputFrame.reset();
		output.reset();
		for (std::unique_ptr<SourceCapture> &source : sources)
			source.reset();
	}
};

// Gives frame an NV12 buffer of the given size, 32-byte aligned; returns the
// FFmpeg result.
int allocateNv12Buffer(AVFrame *frame, int width, int height)
{
	frame->format = AV_PIX_FMT_NV12;
	frame->width = width;
	frame->height = height;
	return av_frame_get_buffer(frame, 32);
}

bool allocatePictureFrame(FrameHolder &frame, int width, int height, const std::string &name,
			  std::string &message)
{
	frame = allocateFrame();
	if (!frame) {
		message = "Failed to allocate " + name;
		return false;
	}
	const int result = allocateNv12Buffer(frame.get(), width, height);
	if (result < 0) {
		message = "Failed to allocate " + name + " buffer: " + ffmpegErrorText(result);
		return false;
	}
	return true;
}

void printStartLines(const WorkerConfig &config)
{
	const QuadrantConfig &master = config.quadrants[config.master_index];
	printLine("[Streamer] Starting 2x2 (4 slots) nv12 H.264 stream");
	printLine("[Streamer] Real sources: " + std::to_string(config.real_source_count));
	printLine("[Streamer] Master quadrant: " + master.name + " (" + std::to_string(master.id) + ")");
	printLine("[Streamer] Master source: " + master.source_name);
	printLine("[Streamer] Codec: " + config.codec);
	printLine("[Streamer] Video bitrate: " + std::to_string(config.video_bitrate));
	printLine("[Streamer] SRT URI: " + redactSrtUri(config.srt_uri));
}

std::string rateText(AVRational rate)
{
	return std::to_string(rate.num) + "/" + std::to_string(rate.den);
}

} // namespace

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
	return run(document, nowhere, message);
}

bool Streamer::run(const nlohmann::json &document, ServerChannel &channel, std::string &message)
{
	Pipeline pipeline;
	MasterRegistration registration(*this);
	WorkerConfig &config = pipeline.config;
	if (!parseWorkerConfig(document, config, message))
		return false;

	printStartLines(config);

	std::vector<std::unique_ptr<SourceCapture>> &sources = pipeline.sources;
	sources.reserve(config.real_source_count);

	// Changes of an input's signal are events for the server.
	const SourceCapture::SignalListener tellServer = [&channel](const std::string &level,
								  const std::string &text) {
		channel.sendEvent(level, text);
	};

	auto master = std::make_unique<SourceCapture>(openInput_);
	master->setSignalListener(tellServer);
	master->setAudioChannels(config.audio_channels);
	if (!master->open(config.quadrants[config.master_index], true, message))
		return false;

	const int32_t width = master->width();
	const int32_t height = master->height();
	const int32_t sampleRate = master->sampleRate();
	if (sampleRate < 1) {
		message = "Master source has invalid audio sample rate";
		return false;
	}

	AVRational frameRate = master->frameRate();
	if (frameRate.num < 1 || frameRate.den < 1) {
		const AVRational timeBase = master->timeBase();
		frameRate = { timeBase.den, timeBase.num };
	}
	if (frameRate.num < 1 || frameRate.den < 1) {
		message = "Master source has invalid frame rate";
		return false;
	}

	printLine("[Streamer] Output FPS follows master source: " + std::to_string(frameRate.num) + "/" +
		  std::to_string(frameRate.den));
	printLine("[Streamer] Output field order follows master source: " +
		  std::to_string(master->fieldOrder()));
	printLine("[Streamer] Output audio follows master source: " + std::to_string(sampleRate) +
		  " Hz, stereo AAC");
	printLine("[Streamer] Output audio channels: " + std::to_string(config.audio_channels.left) + " and " +
		  std::to_string(config.audio_channels.right) + " of " + std::to_string(master->audioChannels()));

	sources.push_back(std::move(master));

	for (int32_t slot = 0; slot < static_cast<int32_t>(config.quadrants.size()); ++slot) {
		const QuadrantConfig &quadrant = config.quadrants[slot];
		if (slot == config.master_index || quadrant.empty)
			continue;

		auto source = std::make_unique<SourceCapture>(openInput_);
		source->setSignalListener(tellServer);
		if (!source->open(quadrant, false, message))
			return false;
		/*
		 * An input without signal was opened in a size of its own choosing:
		 * its slot shows the slate until it brings pictures of the master's
		 * size.
		 */
		if (source->width() != width || source->height() != height) {
			if (source->signalAtOpen()) {
				message = "Source '" + quadrant.source_name + "' size does not match master source";
				return false;
			}
			if (!source->expectSize(width, height, message))
				return false;
		}
		sources.push_back(std::move(source));
	}

	for (std::unique_ptr<SourceCapture> &source : sources) {
		if (!source->start(message))
			return false;
	}

	pipeline.output = std::make_unique<CompositeOutput>(channel);
	if (!pipeline.output->init(config, width, height, frameRate.num, frameRate.den, sampleRate,
				   sources.front()->fieldOrder(), message))
		return false;

	pipeline.compositor = std::make_unique<QuadCompositor>();
	if (!pipeline.compositor->init(width, height, config.quadrants, message))
		return false;

	pipeline.masterFrame = allocateFrame();
	pipeline.masterAudioFrame = allocateFrame();
	if (!pipeline.masterFrame || !pipeline.masterAudioFrame) {
		message = "Failed to allocate master frame";
		return false;
	}
	for (const std::unique_ptr<SourceCapture> &source : sources) {
		const QuadrantConfig &quadrant = source->quadrant();
		FrameHolder &slate = pipeline.slates[size_t(quadrant.id - 1)];
		if (!allocatePictureFrame(slate, width, height, "no signal slate", message) ||
		    !drawNoSignalSlate(slate.get(), quadrant.name, message))
			return false;
	}

	/* The stream does not depend on the preview: its failures are printed and ignored. */
	pipeline.preview = std::make_unique<PreviewWriter>();
	bool previewRunning = false;
	if (!config.preview_path.empty()) {
		std::string previewError;
		if (!pipeline.preview->init(config.preview_path, AV_PIX_FMT_NV12, previewError)) {
			printErrorLine("[Streamer] Failed to initialize preview writer: " + previewError);
		} else if (!pipeline.preview->start()) {
			printErrorLine("[Streamer] Failed to start preview writer: " + previewError);
		} else {
			previewRunning = true;
			printLine("[Streamer] Preview writer enabled: " + config.preview_path +
				  " using pixel format: nv12");
		}
	}

	SourceCapture &masterSource = *sources.front();
	registration.enter(masterSource);

	StatisticsReporter::Subjects subjects;
	for (const std::unique_ptr<SourceCapture> &source : sources) {
		const QuadrantConfig &quadrant = source->quadrant();
		subjects.inputs.push_back({ source.get(), quadrant.id, quadrant.name, quadrant.source_name, source->frameRate() });
	}
	subjects.output = pipeline.output.get();
	subjects.meter = &pipeline.meter;
	subjects.audioChannels = config.audio_channels;
	subjects.picturesDropped = &pipeline.picturesDropped;
	subjects.width = width;
	subjects.height = height;
	subjects.frameRate = frameRate;
	subjects.videoBitrate = config.video_bitrate;
	pipeline.reporter = std::make_unique<StatisticsReporter>(std::move(subjects), channel);
	const QuadrantConfig &masterQuadrant = config.quadrants[config.master_index];
	channel.sendEvent("info", "Started: " + std::to_string(config.real_source_count) + " input(s), master " +
					  masterQuadrant.name + " (" + masterQuadrant.source_name + "), " +
					  std::to_string(2 * width) + "x" + std::to_string(2 * height) + " at " +
					  rateText(frameRate));

	CompositeOutput &output = *pipeline.output;
	QuadCompositor &compositor = *pipeline.compositor;
	AVFrame *masterFrame = pipeline.masterFrame.get();
	AVFrame *masterAudioFrame = pipeline.masterAudioFrame.get();

	// The last record has the run's final count of dropped pictures.
	struct FinalRecord {
		StatisticsReporter &reporter;
		~FinalRecord() { reporter.reportNow(); }
	} finalRecord{ *pipeline.reporter };

	int64_t lastMasterSequence = 0;
	int64_t outputFrameIndex = 0;
	for (;;) {
		if (stopRequested_)
			return true;
		/*
		 * Each source converts its picture straight into its place in a
		 * pooled output picture, which then goes to the output as it is. A
		 * picture not completed (sources not ready yet) is kept for the
		 * next master picture.
		 */
		if (!pipeline.outputFrame && !output.takeVideoFrame(pipeline.outputFrame, message))
			return false;
		AVFrame *outputFrame = pipeline.outputFrame.get();
		if (!compositor.begin(outputFrame, message))
			return false;
		Nv12View masterView;
		if (!compositor.slotView(config.master_index, masterView, message))
			return false;

		const int64_t previousSequence = lastMasterSequence;
		if (!masterSource.waitForFrame(lastMasterSequence, masterView, masterFrame, lastMasterSequence, message))
			return stopRequested_;
		// Master pictures skipped to stay live, from the first picture
		// composed on: each is a hole in the stream's timeline.
		if (outputFrameIndex > 0)
			pipeline.picturesDropped += lastMasterSequence - previousSequence - 1;

		/* Audio is handed on even while pictures are dropped, so none is lost. */
		for (;;) {
			bool got = false;
			if (!masterSource.popAudioFrame(masterAudioFrame, got, message))
				return false;
			if (!got)
				break;
			pipeline.meter.add(masterAudioFrame);
			const bool pushed = output.pushAudioFrame(masterAudioFrame, message);
			av_frame_unref(masterAudioFrame);
			if (!pushed)
				return false;
		}

		/*
		 * Nothing is composed until every source has delivered a picture. A
		 * source that fails before its first one would hold the stream back
		 * for ever, so its failure ends the run: a source without audio
		 * reports only its stored failure from popAudioFrame.
		 */
		bool allSourcesReady = true;
		for (size_t index = 1; index < sources.size(); ++index) {
			SourceCapture &source = *sources[index];
			if (source.hasFrame() || source.checkSignal() == InputSignal::None)
				continue;
			allSourcesReady = false;
			bool got = false;
			if (!source.popAudioFrame(masterAudioFrame, got, message))
				return false;
		}
		if (!allSourcesReady)
			continue;

		/*
		 * A quadrant without signal shows its slate; the picture keeps the
		 * master picture's timestamps and interlacing marks all the same.
		 * Empty quadrants show the master's quadrant, slate or not.
		 */
		if (masterSource.checkSignal() == InputSignal::None &&
		    !compositor.pushFrame(config.master_index, pipeline.slates[size_t(config.master_index)].get(),
					  message))
			return false;

		for (size_t index = 1; index < sources.size(); ++index) {
			SourceCapture &source = *sources[index];
			const int32_t slot = source.quadrant().id - 1;
			if (source.checkSignal() == InputSignal::None) {
				if (!compositor.pushFrame(slot, pipeline.slates[size_t(slot)].get(), message))
					return false;
				continue;
			}
			Nv12View view;
			if (!compositor.slotView(slot, view, message) || !source.copyLatestFrame(view, message))
				return false;
		}

		if (!compositor.compose(config.master_index, masterFrame, message))
			return false;
		/* The master's interlacing marks describe the whole picture. */
		copyFrameFlags(outputFrame, masterFrame);

		if (previewRunning && outputFrameIndex % previewInterval == 0)
			pipeline.preview->submitFrame(outputFrame);

		if (!output.pushVideoFrame(std::move(pipeline.outputFrame), masterSource.takenArrival(), message))
			return false;

		++outputFrameIndex;
	}
}

} // namespace tiloran
