#include "output/CompositeOutput.h"

#include <optional>
#include <utility>

#include "common/Redaction.h"
#include "output/AacEncoder.h"
#include "output/AacFramer.h"
#include "output/OutputStatistics.h"
#include "output/OutputThread.h"
#include "output/TsMuxer.h"
#include "output/VideoEncoder.h"
#include "output/sink/OutputSinkFactory.h"

namespace tiloran {

namespace {

constexpr size_t framePoolSize = 4;

const char *const notInitializedMessage = "CompositeOutput is not initialized";

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
	int32_t outputWidth = 0;
	int32_t outputHeight = 0;
	VideoEncoder videoEncoder;
	AacEncoder audioEncoder;
	std::optional<AacFramer> framer;
	std::unique_ptr<OutputSink> sink;
	// Declared after the sink it writes into, so that it is freed first.
	TsMuxer muxer;
	OutputStatistics statistics;
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
	if (!videoEncoder.open(config.codec, format, rate, message))
		return false;
	statistics.setEncoder(videoEncoder.name());
	if (!audioEncoder.open(sampleRate, config.audio_bitrate, message))
		return false;
	framer.emplace(audioEncoder.context());

	if (!muxer.open(videoEncoder.context(), audioEncoder.context(), message))
		return false;
	const std::string shownUri = redactSrtUri(config.srt_uri);
	sink = openOutputSink(config, shownUri, channel, abandon, message);
	return sink && muxer.start(*sink, shownUri, message);
}

bool CompositeOutput::State::encodePicture(AVFrame *picture, OutputThread::Clock::time_point arrival,
					   std::string &message)
{
	statistics.pictureEncoding(picture->pts, arrival);
	if (sink->restartPending())
		muxer.restartForReceiver(picture);
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

CompositeOutput::Statistics CompositeOutput::statistics() const
{
	const State &state = *state_;
	OutputStatistics::Figures figures = state.statistics.figures();
	Statistics statistics;
	statistics.encoder = std::move(figures.encoder);
	statistics.picturesEncoded = figures.picturesEncoded;
	statistics.bytesWritten = state.sink ? state.sink->bytesSent() : 0;
	statistics.link = state.sink ? state.sink->linkStatistics() : std::nullopt;
	statistics.latenciesMs = std::move(figures.latenciesMs);
	statistics.latencyCount = figures.latencyCount;
	statistics.latencySumMs = figures.latencySumMs;
	return statistics;
}

} // namespace tiloran
