#include "pipeline/Pipeline.h"

#include <utility>

#include "capture/NoSignalSlate.h"
#include "common/ConsoleLine.h"
#include "common/PrintableText.h"
#include "common/Redaction.h"
#include "media/Nv12Layout.h"

namespace tiloran {

namespace {

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
	printLine("[Streamer] Master quadrant: " + printableText(master.name) + " (" + std::to_string(master.id) + ")");
	printLine("[Streamer] Master source: " + printableText(master.source_name));
	printLine("[Streamer] Codec: " + printableText(config.codec));
	printLine("[Streamer] Video bitrate: " + std::to_string(config.video_bitrate));
	printLine("[Streamer] SRT URI: " + printableText(redactSrtUri(config.srt_uri)));
}

} // namespace

Pipeline::~Pipeline()
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

bool Pipeline::build(const SourceInputOpener &openInput, ServerChannel &channel,
		     const std::atomic<bool> &stopRequested, std::string &message)
{
	printStartLines(config);
	sources.reserve(config.real_source_count);

	// Changes of an input's signal are events for the server.
	const SourceCapture::SignalListener tellServer = [&channel](EventCode code, const std::string &level,
								    const std::string &text) {
		channel.sendEvent(code, level, text);
	};
	failureCode = EventCode::InputUnavailable;
	if (!openMaster(openInput, tellServer, message) || !openOtherSources(openInput, tellServer, message))
		return false;
	for (std::unique_ptr<SourceCapture> &source : sources) {
		if (!source->start(message))
			return false;
	}

	output = std::make_unique<CompositeOutput>(channel, stopRequested);
	if (!output->init(config, width, height, frameRate.num, frameRate.den, master().sampleRate(),
			  master().fieldOrder(), message)) {
		failureCode = output->failureCode();
		return false;
	}

	failureCode = EventCode::StreamFailed;
	compositor = std::make_unique<QuadCompositor>();
	if (!compositor->init(width, height, config.quadrants, message) || !allocateFrames(message))
		return false;

	startPreview();
	startReporter(channel);
	return true;
}

bool Pipeline::openMaster(const SourceInputOpener &openInput, const SourceCapture::SignalListener &listener,
			  std::string &message)
{
	auto master = std::make_unique<SourceCapture>(openInput);
	master->setSignalListener(listener);
	master->setAudioChannels(config.audio_channels);
	if (!master->open(config.quadrants[config.master_index], true, message))
		return false;

	width = master->width();
	height = master->height();
	const int32_t sampleRate = master->sampleRate();
	if (sampleRate < 1) {
		message = "Master source has invalid audio sample rate";
		return false;
	}

	frameRate = master->frameRate();
	if (frameRate.num < 1 || frameRate.den < 1) {
		const AVRational timeBase = master->timeBase();
		frameRate = { timeBase.den, timeBase.num };
	}
	if (frameRate.num < 1 || frameRate.den < 1) {
		message = "Master source has invalid frame rate";
		return false;
	}

	printLine("[Streamer] Output FPS follows master source: " + rationalText(frameRate));
	printLine("[Streamer] Output field order follows master source: " + std::to_string(master->fieldOrder()));
	printLine("[Streamer] Output audio follows master source: " + std::to_string(sampleRate) +
		  " Hz, stereo AAC");
	printLine("[Streamer] Output audio channels: " + std::to_string(config.audio_channels.left) + " and " +
		  std::to_string(config.audio_channels.right) + " of " + std::to_string(master->audioChannels()));

	sources.push_back(std::move(master));
	return true;
}

bool Pipeline::openOtherSources(const SourceInputOpener &openInput, const SourceCapture::SignalListener &listener,
				std::string &message)
{
	for (int32_t slot = 0; slot < static_cast<int32_t>(config.quadrants.size()); ++slot) {
		const QuadrantConfig &quadrant = config.quadrants[slot];
		if (slot == config.master_index || quadrant.empty)
			continue;

		auto source = std::make_unique<SourceCapture>(openInput);
		source->setSignalListener(listener);
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
				failureCode = EventCode::InputFormatMismatch;
				return false;
			}
			if (!source->expectSize(width, height, message))
				return false;
		}
		sources.push_back(std::move(source));
	}
	return true;
}

bool Pipeline::allocateFrames(std::string &message)
{
	masterFrame = allocateFrame();
	masterAudioFrame = allocateFrame();
	if (!masterFrame || !masterAudioFrame) {
		message = "Failed to allocate master frame";
		return false;
	}
	for (const std::unique_ptr<SourceCapture> &source : sources) {
		const QuadrantConfig &quadrant = source->quadrant();
		FrameHolder &slate = slates[size_t(quadrant.id - 1)];
		if (!allocatePictureFrame(slate, width, height, "no signal slate", message) ||
		    !drawNoSignalSlate(slate.get(), quadrant.name, message))
			return false;
	}
	return true;
}

void Pipeline::startPreview()
{
	preview = std::make_unique<PreviewWriter>();
	if (config.preview_path.empty())
		return;
	std::string previewError;
	if (!preview->init(config.preview_path, AV_PIX_FMT_NV12, previewError)) {
		printErrorLine("[Streamer] Failed to initialize preview writer: " + previewError);
	} else if (!preview->start()) {
		printErrorLine("[Streamer] Failed to start preview writer: " + previewError);
	} else {
		previewRunning = true;
		printLine("[Streamer] Preview writer enabled: " + printableText(config.preview_path) + " using pixel format: nv12");
	}
}

void Pipeline::startReporter(ServerChannel &channel)
{
	StatisticsReporter::Subjects subjects;
	for (const std::unique_ptr<SourceCapture> &source : sources) {
		const QuadrantConfig &quadrant = source->quadrant();
		subjects.inputs.push_back({ source.get(), quadrant.id, quadrant.name, quadrant.source_name, source->frameRate() });
	}
	subjects.output = output.get();
	subjects.meter = &meter;
	subjects.audioChannels = config.audio_channels;
	subjects.picturesDropped = &picturesDropped;
	subjects.width = width;
	subjects.height = height;
	subjects.frameRate = frameRate;
	subjects.videoBitrate = config.video_bitrate;
	reporter = std::make_unique<StatisticsReporter>(std::move(subjects), channel);
	const QuadrantConfig &masterQuadrant = config.quadrants[config.master_index];
	channel.sendEvent(EventCode::StreamStarted, "info",
			  "Started: " + std::to_string(config.real_source_count) + " input(s), master " +
				  masterQuadrant.name + " (" + masterQuadrant.source_name + "), " +
				  std::to_string(2 * width) + "x" + std::to_string(2 * height) + " at " +
				  rationalText(frameRate));
}

} // namespace tiloran
