#include "output/CompositeOutput.h"

#include <cstdio>
#include <mutex>
#include <optional>
#include <utility>

#include "common/Redaction.h"
#include "output/AacEncoder.h"
#include "output/AacFramer.h"
#include "output/BitrateController.h"
#include "output/OutputStatistics.h"
#include "output/OutputThread.h"
#include "output/TsMuxer.h"
#include "output/VideoEncoder.h"
#include "output/sink/OutputSinkFactory.h"
#include "output/sink/SinkFanOut.h"

#include "common/ConsoleLine.h"

namespace tiloran {

namespace {

constexpr size_t framePoolSize = 4;

const char *const notInitializedMessage = "CompositeOutput is not initialized";

// How often the adaptive bitrate looks at the link at most.
constexpr std::chrono::milliseconds lookInterval{ 40 };

std::string megabitsText(int64_t bitsPerSecond)
{
	char text[32];
	std::snprintf(text, sizeof(text), "%.2f", static_cast<double>(bitsPerSecond) / 1e6);
	return text;
}

// Encoders whose FFmpeg 5.1 wrapper takes a new rate between pictures:
// libx264 compares bit_rate, rc_max_rate and rc_buffer_size with its own
// before every picture and calls x264_encoder_reconfig where they differ
// (reconfig_encoder in libavcodec/libx264.c); NVENC likewise through
// nvEncReconfigureEncoder where the device reports
// NV_ENC_CAPS_SUPPORT_DYN_BITRATE_CHANGE (reconfig_encoder in
// libavcodec/nvenc.c). The Quick Sync wrapper of 5.1 reads the rate only
// when it opens.
bool followsNewRates(const std::string &encoder)
{
	return encoder == "libx264" || encoder == "h264_nvenc";
}

NoServerChannel unreported;
const std::atomic<bool> neverAbandoned{ false };

} // namespace

// The stages, and what the output thread does with each frame it takes:
// pictures through the H.264 encoder, audio through the AAC framer and
// encoder, both into the muxer.
struct CompositeOutput::State final : OutputThread::Work {
	State(ServerChannel &eventChannel, const std::atomic<bool> &abandonFlag)
		: channel(eventChannel), abandon(abandonFlag)
	{
	}
	State(const State &) = delete;
	State &operator=(const State &) = delete;

	bool open(const WorkerConfig &config, int32_t tileWidth, int32_t tileHeight, AVRational frameRate,
		  int32_t sampleRate, int32_t fieldOrder, std::string &message);

	bool encodePicture(AVFrame *picture, OutputThread::Clock::time_point arrival, std::string &message) override;
	bool encodeAudio(const AVFrame *audio, std::string &message) override;
	bool finish(std::string &message) override;
	void end() override;

	// With adaptive bitrate: a look at the link, and a new rate where the
	// controller chose one.
	void adaptRate();

	bool writeVideoPacket(AVPacket *packet, std::string &message);
	bool writeAudioPacket(AVPacket *packet, std::string &message);

	// Where each stage hands on what it made.
	const PacketHandler writeVideo = [this](AVPacket *packet, std::string &message) {
		return writeVideoPacket(packet, message);
	};
	const PacketHandler writeAudio = [this](AVPacket *packet, std::string &message) {
		return writeAudioPacket(packet, message);
	};
	const AacFramer::FrameHandler encodeAacFrame = [this](const AVFrame *frame, std::string &message) {
		return audioEncoder.encode(frame, writeAudio, message);
	};

	ServerChannel &channel;
	const std::atomic<bool> &abandon;
	// Why open failed, where it did.
	EventCode openFailure = EventCode::OutputFailed;
	int32_t outputWidth = 0;
	int32_t outputHeight = 0;
	VideoEncoder videoEncoder;
	AacEncoder audioEncoder;
	std::optional<AacFramer> framer;
	// The stream's sink and, beside it, the further destinations and the
	// recording.
	std::unique_ptr<SinkFanOut> sink;
	// Declared after the sink it writes into, so that it is freed first.
	TsMuxer muxer;
	OutputStatistics statistics;

	// Adaptive bitrate: the controller and what the rate is derived from
	// belong to the output thread; what statistics show is under adaptiveMutex.
	std::optional<BitrateController> controller;
	std::optional<int> srtLatencyMs;
	AVRational frameRate{ 25, 1 };
	OutputThread::Clock::time_point lastLook;
	mutable std::mutex adaptiveMutex;
	std::optional<Statistics::Adaptive> adaptive;

	// Last: it calls all of the above until it has ended.
	std::unique_ptr<OutputThread> thread;
};

CompositeOutput::CompositeOutput() : CompositeOutput(unreported, neverAbandoned)
{
}

CompositeOutput::CompositeOutput(ServerChannel &channel, const std::atomic<bool> &abandon)
	: state_(std::make_unique<State>(channel, abandon))
{
}

CompositeOutput::~CompositeOutput()
{
	state_->thread.reset();
	if (state_->sink)
		state_->sink->close();
}

bool CompositeOutput::init(const WorkerConfig &config, int32_t tileWidth, int32_t tileHeight,
			   int32_t frameRateNumerator, int32_t frameRateDenominator, int32_t sampleRate,
			   int32_t fieldOrder, std::string &error)
{
	State &state = *state_;
	if (state.thread) {
		error = "CompositeOutput is already initialized";
		return false;
	}
	if (frameRateNumerator < 1 || frameRateDenominator < 1) {
		error = "Invalid output frame rate";
		return false;
	}
	if (sampleRate <= 0) {
		error = "Invalid master audio sample rate";
		return false;
	}
	if (config.audio_bitrate <= 0) {
		error = "audio_bitrate must be greater than zero";
		return false;
	}
	if (!state.open(config, tileWidth, tileHeight, AVRational{ frameRateNumerator, frameRateDenominator },
			sampleRate, fieldOrder, error))
		return false;

	PicturePool pool;
	if (!pool.fill(framePoolSize, state.outputWidth, state.outputHeight, error))
		return false;
	state.thread = std::make_unique<OutputThread>(state, std::move(pool));
	return true;
}

// The encoders, then the muxer's streams for them, the sink, and the header
// written into it.
bool CompositeOutput::State::open(const WorkerConfig &config, int32_t tileWidth, int32_t tileHeight,
				  AVRational frameRate, int32_t sampleRate, int32_t fieldOrder, std::string &message)
{
	outputWidth = 2 * tileWidth;
	outputHeight = 2 * tileHeight;
	const VideoEncoder::Format format{ outputWidth, outputHeight, frameRate, fieldOrder };
	// The latency asked for: the one SRT settles on is never shorter.
	std::optional<int> srtLatencyMs;
	if (isSrtUri(config.srt_uri)) {
		SrtSettings srt = config.srt;
		std::string ignored;
		if (srt.port != 0 || srtSettingsFromUri(config.srt_uri, srt, ignored))
			srtLatencyMs = srt.latencyMs;
	}
	const VideoRate rate = boundedVideoRate(config.video_bitrate, srtLatencyMs, frameRate.num, frameRate.den);
	if (!videoEncoder.open(config.codec, format, rate, message)) {
		openFailure = EventCode::EncoderUnavailable;
		return false;
	}
	statistics.setEncoder(videoEncoder.name());
	this->srtLatencyMs = srtLatencyMs;
	this->frameRate = frameRate;
	if (!audioEncoder.open(sampleRate, config.audio_bitrate, message))
		return false;
	framer.emplace(audioEncoder.context());

	if (!muxer.open(videoEncoder.context(), audioEncoder.context(), message))
		return false;
	const std::string shownUri = redactSrtUri(config.srt_uri);
	std::unique_ptr<OutputSink> stream = openOutputSink(config, shownUri, channel, abandon, message, openFailure);
	if (!stream)
		return false;
	sink = std::make_unique<SinkFanOut>(std::move(stream));
	for (std::unique_ptr<OutputSink> &further : openFurtherOutputs(config, channel, abandon))
		sink->add(std::move(further));
	if (config.record)
		if (std::unique_ptr<OutputSink> recording = openRecordingSink(config, channel))
			sink->add(std::move(recording));
	if (config.adaptive_bitrate && srtLatencyMs) {
		const bool follows = followsNewRates(videoEncoder.name());
		adaptive = Statistics::Adaptive{ config.video_bitrate, follows ? "steady" : "fixed" };
		if (follows) {
			controller.emplace(config.video_bitrate, config.min_video_bitrate, config.audio_bitrate);
			sink->followRate(config.video_bitrate + config.audio_bitrate);
		} else {
			printLine("[CompositeOutput] Adaptive bitrate: " + videoEncoder.name() +
				  " cannot take a new rate while it runs; the bitrate stays fixed");
		}
	}
	return muxer.start(*sink, shownUri, message);
}

void CompositeOutput::State::adaptRate()
{
	const OutputThread::Clock::time_point now = OutputThread::Clock::now();
	if (!controller || now - lastLook < lookInterval)
		return;
	lastLook = now;
	const std::optional<SrtLinkStatistics> link = sink->linkStatistics();
	if (!link || link->state != "connected")
		return;
	const int64_t before = controller->targetBitsPerSecond();
	const bool changed = controller->look({ now, link->rttMs, link->sendBufferMs, link->latencyMs, link->packetsSent,
						link->packetsRetransmitted, link->packetsDropped, link->bytesDelivered });
	const int64_t target = controller->targetBitsPerSecond();
	{
		std::lock_guard lock(adaptiveMutex);
		adaptive = Statistics::Adaptive{ target, BitrateController::stateName(controller->state()) };
	}
	if (!changed)
		return;
	videoEncoder.setRate(boundedVideoRate(target, srtLatencyMs, frameRate.num, frameRate.den));
	sink->followRate(target + audioEncoder.context().bit_rate);
	if (target < before) {
		const std::string line = "Video bitrate lowered to " + megabitsText(target) + " Mbit/s: the link is congested (RTT " +
					 std::to_string(static_cast<int>(link->rttMs)) + " ms, " +
					 std::to_string(static_cast<int>(link->sendBufferMs)) + " ms unacknowledged, " +
					 std::to_string(link->packetsRetransmitted) + " packets retransmitted, " +
					 std::to_string(link->packetsDropped) + " dropped)";
		printLine("[CompositeOutput] " + line);
		channel.sendEvent(EventCode::BitrateLowered, "warning", line);
	} else if (controller->state() == BitrateController::State::Steady) {
		const std::string line = "Video bitrate back at " + megabitsText(target) + " Mbit/s";
		printLine("[CompositeOutput] " + line);
		channel.sendEvent(EventCode::BitrateRestored, "info", line);
	}
}

bool CompositeOutput::State::encodePicture(AVFrame *picture, OutputThread::Clock::time_point arrival,
					   std::string &message)
{
	statistics.pictureEncoding(picture->pts, arrival);
	adaptRate();
	sink->beforePicture(picture->pts);
	if (sink->restartPending())
		muxer.restart(picture, sink->streamRestartPending());
	return videoEncoder.encode(picture, writeVideo, message);
}

bool CompositeOutput::State::encodeAudio(const AVFrame *audio, std::string &message)
{
	return framer->add(audio, encodeAacFrame, message);
}

bool CompositeOutput::State::writeVideoPacket(AVPacket *packet, std::string &message)
{
	int64_t pts = 0;
	const PacketFate fate = muxer.write(MuxedStream::Video, packet, videoEncoder.context().time_base, pts, message);
	if (fate == PacketFate::Written)
		statistics.pictureWritten(pts);
	return fate != PacketFate::Failed;
}

bool CompositeOutput::State::writeAudioPacket(AVPacket *packet, std::string &message)
{
	int64_t pts = 0;
	return muxer.write(MuxedStream::Audio, packet, audioEncoder.context().time_base, pts, message) !=
	       PacketFate::Failed;
}

// Samples of a whole AAC frame still pending, both encoders' last packets,
// then the trailer.
bool CompositeOutput::State::finish(std::string &message)
{
	return framer->framePending(encodeAacFrame, message) && videoEncoder.encode(nullptr, writeVideo, message) &&
	       audioEncoder.encode(nullptr, writeAudio, message) && muxer.writeTrailer(message);
}

void CompositeOutput::State::end()
{
	// The receiver learns of the end at once.
	sink->close();
}

bool CompositeOutput::takeVideoFrame(FrameHolder &picture, std::string &error)
{
	if (!state_->thread) {
		error = notInitializedMessage;
		return false;
	}
	return state_->thread->takePicture(picture, error);
}

bool CompositeOutput::pushVideoFrame(FrameHolder picture, std::chrono::steady_clock::time_point arrival,
				     std::string &error)
{
	if (!state_->thread) {
		error = notInitializedMessage;
		return false;
	}
	// Captured pictures come out of their decoder marked as intra pictures; a
	// marked picture would make the encoder start a new GOP at every picture.
	picture->pict_type = AV_PICTURE_TYPE_NONE;
	return state_->thread->pushPicture(std::move(picture), arrival, error);
}

bool CompositeOutput::pushVideoFrame(const AVFrame *frame, std::chrono::steady_clock::time_point arrival,
				     std::string &error)
{
	FrameHolder pooled;
	if (!takeVideoFrame(pooled, error))
		return false;
	int result = av_frame_copy(pooled.get(), frame);
	if (result < 0) {
		state_->thread->returnPicture(std::move(pooled));
		error = "Failed to copy mixed frame to output queue: " + ffmpegErrorText(result);
		return false;
	}
	result = replaceFrameProps(pooled.get(), frame);
	if (result < 0) {
		state_->thread->returnPicture(std::move(pooled));
		error = "Failed to copy mixed frame props to output queue: " + ffmpegErrorText(result);
		return false;
	}
	return pushVideoFrame(std::move(pooled), arrival, error);
}

bool CompositeOutput::pushVideoFrame(const AVFrame *frame, std::string &error)
{
	return pushVideoFrame(frame, std::chrono::steady_clock::now(), error);
}

bool CompositeOutput::pushAudioFrame(const AVFrame *frame, std::string &error)
{
	if (!state_->thread) {
		error = notInitializedMessage;
		return false;
	}
	return state_->thread->pushAudio(frame, error);
}

EventCode CompositeOutput::failureCode() const
{
	const State &state = *state_;
	if (!state.sink)
		return state.openFailure;
	// A link that closed by itself was the output's end.
	const std::optional<SrtLinkStatistics> link = state.sink->linkStatistics();
	if (link && link->state == "closed" && link->failureCode)
		return *link->failureCode;
	return EventCode::OutputFailed;
}

CompositeOutput::Statistics CompositeOutput::statistics() const
{
	const State &state = *state_;
	OutputStatistics::Figures figures = state.statistics.figures();
	Statistics statistics;
	statistics.encoder = std::move(figures.encoder);
	statistics.picturesEncoded = figures.picturesEncoded;
	statistics.bytesWritten = state.sink ? state.sink->bytesSent() : 0;
	statistics.link = state.sink ? state.sink->linkStatistics() : std::nullopt;
	if (state.sink)
		statistics.outputs = state.sink->sideLinkStatistics();
	{
		std::lock_guard lock(state.adaptiveMutex);
		statistics.adaptive = state.adaptive;
	}
	statistics.latenciesMs = std::move(figures.latenciesMs);
	statistics.encodingMs = std::move(figures.encodingMs);
	statistics.latencyCount = figures.latencyCount;
	statistics.latencySumMs = figures.latencySumMs;
	return statistics;
}

} // namespace tiloran
