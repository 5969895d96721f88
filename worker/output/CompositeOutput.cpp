#include "output/CompositeOutput.h"

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "common/ConsoleLine.h"
#include "common/Redaction.h"
#include "media/FfmpegSupport.h"
#include "output/sink/SrtSink.h"
#include "output/sink/UrlSink.h"
#include "output/VideoEncoderSettings.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

namespace tiloran {

namespace {

constexpr AVRational outputTimeBase{ 1, 90000 };
constexpr size_t framePoolSize = 4;
constexpr size_t audioQueueLimit = 64;
constexpr float sampleScale = 1.0f / 32768.0f;
// Seven TS packets: what one SRT message carries.
constexpr int ioPacketSize = 7 * 188;
// Latencies are kept for this long.
constexpr std::chrono::seconds latencyWindow{ 10 };

const char *const stoppedMessage = "CompositeOutput is stopped";
const char *const notInitializedMessage = "CompositeOutput is not initialized";

} // namespace

struct CompositeOutput::State {
	explicit State(ServerChannel &eventChannel) : channel(eventChannel) {}

	ServerChannel &channel;
	WorkerConfig config;
	int32_t tileWidth = 0;
	int32_t tileHeight = 0;
	int32_t outputWidth = 0;
	int32_t outputHeight = 0;
	AVRational frameRate{ 25, 1 };
	int32_t sampleRate = 0;
	int32_t fieldOrder = 0;
	CodecContextHolder videoEncoder;
	CodecContextHolder audioEncoder;
	std::unique_ptr<OutputSink> sink;
	// The muxer writes through it into the sink; declared before the muxer,
	// which refers to it, so that it is freed after.
	CustomIoContextHolder io;
	std::string sinkError;
	// After a restart for a receiver, until the encoder gives a key picture.
	bool awaitingKeyPicture = false;
	OutputFormatContextHolder muxer;
	AVStream *videoStream = nullptr;
	AVStream *audioStream = nullptr;
	// Used last in, first out: while the encoder keeps up the same picture
	// is reused, and pictures never needed are never touched, so they cost
	// address space rather than memory.
	std::deque<FrameHolder> framePool;
	std::deque<FrameHolder> videoQueue;
	// When each queued picture's master picture arrived, in queue order.
	std::deque<std::chrono::steady_clock::time_point> videoArrivals;
	std::deque<FrameHolder> audioQueue;
	std::vector<int16_t> pendingSamples;
	int64_t nextAudioPts = 0;
	bool audioPtsStarted = false;
	std::mutex mutex;
	std::condition_variable condition;
	std::thread thread;
	bool stopRequested = false;
	std::string error;

	// The output thread's own: the pictures given to the encoder whose
	// packets have not been written yet, by pts.
	std::deque<std::pair<int64_t, std::chrono::steady_clock::time_point>> encodingArrivals;

	std::string encoderName;
	mutable std::mutex statisticsMutex;
	int64_t picturesEncoded = 0;
	std::deque<std::pair<std::chrono::steady_clock::time_point, double>> latencies;
	int64_t latencyCount = 0;
	double latencySumMs = 0;

	void notePacketWritten(int64_t pts, bool isVideo);
	bool openVideoEncoder(std::string &message);
	bool openAudioEncoder(std::string &message);
	bool openOutput(std::string &message);
	// The muxer's I/O context writes here, on the output thread. An error
	// makes the muxer's write fail; the sink's reason is kept.
	static int writeToSink(void *opaque, AvioWriteBuffer bytes, int size);
	// After the sink connected to the receiver anew: the tables at once and
	// a key picture next.
	void restartForReceiver(AVFrame *frame);
	bool fillFramePool(std::string &message);

	void runOutputThread();
	void finish();
	// The texts of one encoder's failures, each but the allocation one
	// followed by the FFmpeg error text.
	struct EncodingMessages {
		std::string send;
		std::string allocate;
		std::string receive;
		std::string write;
	};

	bool encodeVideo(const AVFrame *frame, std::string &message);
	bool encodeAudio(const AVFrame *frame, std::string &message);
	bool encodeAndWrite(AVCodecContext *encoder, AVStream *stream, const AVFrame *frame,
			    const EncodingMessages &messages, std::string &message);
	bool handleAudio(const AVFrame *frame, std::string &message);
	bool frameAudio(std::string &message);
};

namespace {

NoServerChannel unreported;

} // namespace

CompositeOutput::CompositeOutput() : CompositeOutput(unreported)
{
}

CompositeOutput::CompositeOutput(ServerChannel &channel) : state_(std::make_unique<State>(channel))
{
}

CompositeOutput::~CompositeOutput()
{
	State &state = *state_;
	{
		std::lock_guard lock(state.mutex);
		state.stopRequested = true;
	}
	state.condition.notify_all();
	if (state.thread.joinable())
		state.thread.join();

	state.pendingSamples.clear();
	state.videoQueue.clear();
	state.audioQueue.clear();
	state.framePool.clear();
	if (state.sink)
		state.sink->close();
	state.muxer.reset();
	state.io.reset();
	state.sink.reset();
	state.audioEncoder.reset();
	state.videoEncoder.reset();
}

bool CompositeOutput::init(const WorkerConfig &config, int32_t tileWidth, int32_t tileHeight,
			   int32_t frameRateNumerator, int32_t frameRateDenominator, int32_t sampleRate,
			   int32_t fieldOrder, std::string &error)
{
	State &state = *state_;
	if (state.thread.joinable()) {
		error = "CompositeOutput is already initialized";
		return false;
	}

	state.config = config;
	state.tileWidth = tileWidth;
	state.tileHeight = tileHeight;
	state.outputWidth = 2 * tileWidth;
	state.outputHeight = 2 * tileHeight;
	state.frameRate = AVRational{ frameRateNumerator, frameRateDenominator };
	state.sampleRate = sampleRate;
	state.fieldOrder = fieldOrder;

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

	if (!state.openVideoEncoder(error) || !state.openAudioEncoder(error) || !state.openOutput(error))
		return false;

	state.framePool.clear();
	state.videoQueue.clear();
	state.audioQueue.clear();
	state.pendingSamples.clear();
	state.nextAudioPts = 0;
	state.audioPtsStarted = false;

	if (!state.fillFramePool(error))
		return false;

	{
		std::lock_guard lock(state.mutex);
		state.stopRequested = false;
		state.error.clear();
	}
	state.thread = std::thread([&state] { state.runOutputThread(); });
	return true;
}

bool CompositeOutput::State::openVideoEncoder(std::string &message)
{
	const std::string name = videoEncoderLookupName(config.codec);
	const AVCodec *codec = avcodec_find_encoder_by_name(name.c_str());
	if (!codec) {
		message = "Failed to find H.264 encoder '" + name + "'";
		return false;
	}

	videoEncoder.reset(avcodec_alloc_context3(codec));
	if (!videoEncoder) {
		message = "Failed to allocate encoder context";
		return false;
	}

	const VideoEncoderSettings settings = chooseVideoEncoderSettings(
		codec->name, outputWidth, outputHeight, frameRate.num, frameRate.den, fieldOrder);

	AVCodecContext *context = videoEncoder.get();
	context->codec_id = AV_CODEC_ID_H264;
	context->codec_type = AVMEDIA_TYPE_VIDEO;
	context->width = outputWidth;
	context->height = outputHeight;
	context->pix_fmt = AV_PIX_FMT_NV12;
	context->time_base = outputTimeBase;
	context->framerate = frameRate;
	context->bit_rate = config.video_bitrate;
	context->gop_size = settings.gopSize;
	context->max_b_frames = 0;
	context->flags |= AV_CODEC_FLAG_LOW_DELAY;
	if (settings.interlaced)
		context->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
	context->field_order = static_cast<AVFieldOrder>(settings.fieldOrder);

	for (const std::string &line : settings.logLines)
		printLine(line);

	// An option that this encoder build does not know is not worth failing over.
	for (const VideoEncoderOption &option : settings.options) {
		if (const std::string *text = std::get_if<std::string>(&option.value))
			av_opt_set(context->priv_data, option.name.c_str(), text->c_str(), 0);
		else
			av_opt_set_int(context->priv_data, option.name.c_str(), std::get<int64_t>(option.value), 0);
	}

	const int result = avcodec_open2(context, codec, nullptr);
	if (result < 0) {
		message = "Failed to open encoder '" + name + "' with worker pixel format: " + ffmpegErrorText(result);
		return false;
	}
	std::lock_guard lock(statisticsMutex);
	encoderName = codec->name;
	return true;
}

bool CompositeOutput::State::openAudioEncoder(std::string &message)
{
	const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
	if (!codec) {
		message = "Failed to find AAC encoder";
		return false;
	}
	if (!encoderAcceptsSampleFormat(codec, AV_SAMPLE_FMT_FLTP)) {
		message = "AAC encoder does not support fltp sample format";
		return false;
	}

	audioEncoder.reset(avcodec_alloc_context3(codec));
	if (!audioEncoder) {
		message = "Failed to allocate AAC encoder context";
		return false;
	}

	AVCodecContext *context = audioEncoder.get();
	context->codec_id = AV_CODEC_ID_AAC;
	context->codec_type = AVMEDIA_TYPE_AUDIO;
	context->sample_fmt = AV_SAMPLE_FMT_FLTP;
	context->sample_rate = sampleRate;
	context->time_base = outputTimeBase;
	context->bit_rate = config.audio_bitrate;
	av_channel_layout_default(&context->ch_layout, 2);

	const int result = avcodec_open2(context, codec, nullptr);
	if (result < 0) {
		message = "Failed to open AAC encoder: " + ffmpegErrorText(result);
		return false;
	}
	if (context->frame_size <= 0) {
		message = "AAC encoder returned invalid frame size";
		return false;
	}
	return true;
}

namespace {

// A muxer stream carrying what the encoder produces; null with the message
// on failure.
AVStream *addOutputStream(AVFormatContext *muxer, const AVCodecContext *encoder,
			  const char *creationFailure, const char *parametersFailure, std::string &message)
{
	AVStream *stream = avformat_new_stream(muxer, nullptr);
	if (!stream) {
		message = creationFailure;
		return nullptr;
	}
	stream->time_base = encoder->time_base;
	const int result = avcodec_parameters_from_context(stream->codecpar, encoder);
	if (result < 0) {
		message = parametersFailure + ffmpegErrorText(result);
		return nullptr;
	}
	return stream;
}

} // namespace

bool CompositeOutput::State::openOutput(std::string &message)
{
	muxer.reset();
	AVFormatContext *context = nullptr;
	int result = avformat_alloc_output_context2(&context, nullptr, "mpegts", nullptr);
	if (result < 0 || !context) {
		message = "Failed to allocate SRT output context: " + ffmpegErrorText(result);
		return false;
	}
	muxer.reset(context);

	videoStream = addOutputStream(context, videoEncoder.get(), "Failed to create output video stream",
				      "Failed to copy encoder parameters to output stream: ", message);
	if (!videoStream)
		return false;
	audioStream = addOutputStream(context, audioEncoder.get(), "Failed to create output audio stream",
				      "Failed to copy AAC encoder parameters to output stream: ", message);
	if (!audioStream)
		return false;

	const std::string shownUri = redactSrtUri(config.srt_uri);
	std::string reason;
	if (isSrtUri(config.srt_uri)) {
		SrtSettings srt = config.srt;
		if (srt.port == 0 && !srtSettingsFromUri(config.srt_uri, srt, reason)) {
			message = "Failed to open SRT output '" + shownUri + "': " + reason;
			return false;
		}
		sink = std::make_unique<SrtSink>(srt, shownUri, channel);
	} else {
		sink = std::make_unique<UrlSink>(config.srt_uri);
	}
	if (!sink->open(reason)) {
		message = "Failed to open SRT output '" + shownUri + "': " + reason;
		return false;
	}

	// The muxer writes into the sink seven TS packets at a time, and only
	// when it has seven: no flush after every packet.
	uint8_t *buffer = static_cast<uint8_t *>(av_malloc(ioPacketSize));
	if (buffer)
		io.reset(avio_alloc_context(buffer, ioPacketSize, 1, this, nullptr, &State::writeToSink, nullptr));
	if (!io) {
		av_free(buffer);
		message = "Failed to open SRT output '" + shownUri + "': " + ffmpegErrorText(AVERROR(ENOMEM));
		return false;
	}
	io->max_packet_size = ioPacketSize;
	context->pb = io.get();
	context->flags |= AVFMT_FLAG_CUSTOM_IO;
	context->flush_packets = 0;

	result = avformat_write_header(context, nullptr);
	if (result < 0) {
		message = "Failed to write SRT output header: " + ffmpegErrorText(result);
		return false;
	}
	return true;
}

int CompositeOutput::State::writeToSink(void *opaque, AvioWriteBuffer bytes, int size)
{
	State &state = *static_cast<State *>(opaque);
	if (!state.sink->write(bytes, static_cast<std::size_t>(size), state.sinkError))
		return AVERROR(EIO);
	return size;
}

void CompositeOutput::State::restartForReceiver(AVFrame *frame)
{
	// What the muxer still holds belongs to packets whose start the
	// receiver never had: it goes out into the sink while that still drops.
	av_interleaved_write_frame(muxer.get(), nullptr);
	avio_flush(muxer->pb);
	sink->beginRestart();
	av_opt_set(muxer.get(), "mpegts_flags", "+resend_headers", AV_OPT_SEARCH_CHILDREN);
	frame->pict_type = AV_PICTURE_TYPE_I;
	awaitingKeyPicture = true;
}

bool CompositeOutput::State::fillFramePool(std::string &message)
{
	for (size_t index = 0; index < framePoolSize; ++index) {
		FrameHolder frame = allocateFrame();
		if (!frame) {
			message = "Failed to allocate frame";
			return false;
		}
		frame->format = AV_PIX_FMT_NV12;
		frame->width = outputWidth;
		frame->height = outputHeight;
		const int result = av_frame_get_buffer(frame.get(), 32);
		if (result < 0) {
			message = "Failed to allocate frame buffer: " + ffmpegErrorText(result);
			return false;
		}
		framePool.push_back(std::move(frame));
	}
	return true;
}

bool CompositeOutput::pushVideoFrame(const AVFrame *frame, std::string &error)
{
	return pushVideoFrame(frame, std::chrono::steady_clock::now(), error);
}

bool CompositeOutput::takeVideoFrame(FrameHolder &picture, std::string &error)
{
	State &state = *state_;
	{
		std::unique_lock lock(state.mutex);
		if (!state.error.empty()) {
			error = state.error;
			return false;
		}
		if (!state.thread.joinable()) {
			error = notInitializedMessage;
			return false;
		}
		state.condition.wait(lock, [&state] {
			return !state.framePool.empty() || !state.error.empty() || state.stopRequested;
		});
		if (!state.error.empty()) {
			error = state.error;
			return false;
		}
		if (state.stopRequested) {
			error = stoppedMessage;
			return false;
		}
		picture = std::move(state.framePool.front());
		state.framePool.pop_front();
	}
	// An encoder may keep a reference to a picture it was given past the
	// packets it returned; that buffer stays the encoder's, and the picture
	// gets a new one. The picture is written by its new user from start to
	// end, so the old content is of no use.
	if (!av_frame_is_writable(picture.get())) {
		av_frame_unref(picture.get());
		picture->format = AV_PIX_FMT_NV12;
		picture->width = state.outputWidth;
		picture->height = state.outputHeight;
		const int result = av_frame_get_buffer(picture.get(), 32);
		if (result < 0) {
			error = "Failed to allocate frame buffer: " + ffmpegErrorText(result);
			std::lock_guard lock(state.mutex);
			state.framePool.push_back(std::move(picture));
			return false;
		}
	}
	return true;
}

bool CompositeOutput::pushVideoFrame(FrameHolder picture, std::chrono::steady_clock::time_point arrival,
				     std::string &error)
{
	State &state = *state_;
	// Captured pictures come out of their decoder marked as intra pictures; a
	// marked picture would make the encoder start a new GOP at every picture.
	picture->pict_type = AV_PICTURE_TYPE_NONE;
	{
		std::lock_guard lock(state.mutex);
		if (!state.error.empty() || state.stopRequested) {
			error = !state.error.empty() ? state.error : stoppedMessage;
			state.framePool.push_front(std::move(picture));
			return false;
		}
		state.videoQueue.push_back(std::move(picture));
		state.videoArrivals.push_back(arrival);
	}
	// Every waiter, not one: a producer woken in the output thread's place
	// would otherwise swallow the wake-up.
	state.condition.notify_all();
	return true;
}

bool CompositeOutput::pushVideoFrame(const AVFrame *frame, std::chrono::steady_clock::time_point arrival,
				     std::string &error)
{
	FrameHolder pooled;
	if (!takeVideoFrame(pooled, error))
		return false;
	const auto giveBack = [this, &pooled] {
		{
			std::lock_guard lock(state_->mutex);
			state_->framePool.push_front(std::move(pooled));
		}
		state_->condition.notify_all();
	};
	int result = av_frame_copy(pooled.get(), frame);
	if (result < 0) {
		giveBack();
		error = "Failed to copy mixed frame to output queue: " + ffmpegErrorText(result);
		return false;
	}
	result = replaceFrameProps(pooled.get(), frame);
	if (result < 0) {
		giveBack();
		error = "Failed to copy mixed frame props to output queue: " + ffmpegErrorText(result);
		return false;
	}
	return pushVideoFrame(std::move(pooled), arrival, error);
}

bool CompositeOutput::pushAudioFrame(const AVFrame *frame, std::string &error)
{
	State &state = *state_;
	{
		std::lock_guard lock(state.mutex);
		if (!state.error.empty()) {
			error = state.error;
			return false;
		}
		if (!state.thread.joinable()) {
			error = notInitializedMessage;
			return false;
		}
	}

	FrameHolder copy = allocateFrame();
	if (!copy) {
		error = "Failed to allocate queued audio frame";
		return false;
	}
	int result = av_frame_ref(copy.get(), frame);
	if (result < 0) {
		error = "Failed to reference audio frame for output queue: " + ffmpegErrorText(result);
		return false;
	}
	// The output thread gets samples of its own. A shared buffer would be
	// freed or handed back to its decoder's pool by whichever thread drops
	// the last reference, ordered after the output thread's reads only by
	// FFmpeg's atomic reference count, which ThreadSanitizer cannot see.
	result = av_frame_make_writable(copy.get());
	if (result < 0) {
		error = "Failed to copy audio frame for output queue: " + ffmpegErrorText(result);
		return false;
	}

	{
		std::unique_lock lock(state.mutex);
		state.condition.wait(lock, [&state] {
			return state.audioQueue.size() < audioQueueLimit || !state.error.empty() ||
			       state.stopRequested;
		});
		if (!state.error.empty()) {
			error = state.error;
			return false;
		}
		if (state.stopRequested) {
			error = stoppedMessage;
			return false;
		}
		state.audioQueue.push_back(std::move(copy));
	}
	state.condition.notify_all();
	return true;
}

void CompositeOutput::State::runOutputThread()
{
	std::unique_lock lock(mutex);
	for (;;) {
		condition.wait(lock, [this] { return stopRequested || !audioQueue.empty() || !videoQueue.empty(); });
		if (audioQueue.empty() && videoQueue.empty())
			break;

		// The queue a frame came from says what it is: audio first, always.
		const bool isAudio = !audioQueue.empty();
		std::deque<FrameHolder> &queue = isAudio ? audioQueue : videoQueue;
		FrameHolder frame = std::move(queue.front());
		queue.pop_front();
		if (!isAudio) {
			encodingArrivals.emplace_back(frame->pts, videoArrivals.front());
			videoArrivals.pop_front();
		}
		lock.unlock();

		std::string message;
		if (!isAudio && sink->restartPending())
			restartForReceiver(frame.get());
		const bool done = isAudio ? handleAudio(frame.get(), message) : encodeVideo(frame.get(), message);

		lock.lock();
		if (!done) {
			error = message;
			stopRequested = true;
			lock.unlock();
			frame.reset();
			finish();
			return;
		}
		if (!isAudio)
			framePool.push_front(std::move(frame));
		lock.unlock();
		condition.notify_all();
		frame.reset();
		lock.lock();
	}
	lock.unlock();
	finish();
}

void CompositeOutput::State::finish()
{
	bool failed;
	{
		std::lock_guard lock(mutex);
		failed = !error.empty();
	}

	if (!failed) {
		std::string message;
		bool done = frameAudio(message) && encodeVideo(nullptr, message) && encodeAudio(nullptr, message);
		if (done) {
			const int result = av_write_trailer(muxer.get());
			if (result < 0) {
				message = "Failed to write SRT output trailer: " + ffmpegErrorText(result);
				done = false;
			}
		}
		if (!done) {
			std::lock_guard lock(mutex);
			error = message;
			stopRequested = true;
		}
	}
	// The receiver learns of the end at once.
	sink->close();
	condition.notify_all();
}

bool CompositeOutput::State::encodeVideo(const AVFrame *frame, std::string &message)
{
	static const EncodingMessages messages{
		"Failed to send frame to encoder: ",
		"Failed to allocate encoded packet",
		"Failed to receive encoded packet: ",
		"Failed to write encoded packet to SRT output: ",
	};
	return encodeAndWrite(videoEncoder.get(), videoStream, frame, messages, message);
}

bool CompositeOutput::State::encodeAudio(const AVFrame *frame, std::string &message)
{
	static const EncodingMessages messages{
		"Failed to send frame to AAC encoder: ",
		"Failed to allocate encoded AAC packet",
		"Failed to receive encoded AAC packet: ",
		"Failed to write encoded AAC packet to SRT output: ",
	};
	return encodeAndWrite(audioEncoder.get(), audioStream, frame, messages, message);
}

// Sends one frame (or, with none, the end of the stream) to an encoder and
// writes every packet it gives back to the muxer, interleaved.
bool CompositeOutput::State::encodeAndWrite(AVCodecContext *encoder, AVStream *stream, const AVFrame *frame,
					    const EncodingMessages &messages, std::string &message)
{
	int result = avcodec_send_frame(encoder, frame);
	if (result < 0) {
		message = messages.send + ffmpegErrorText(result);
		return false;
	}
	PacketHolder packet = allocatePacket();
	if (!packet) {
		message = messages.allocate;
		return false;
	}
	for (;;) {
		result = avcodec_receive_packet(encoder, packet.get());
		if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
			return true;
		if (result < 0) {
			message = messages.receive + ffmpegErrorText(result);
			return false;
		}
		// An encoder that holds pictures back may still give ones from
		// before the key picture asked for; a receiver connected anew
		// could not decode them.
		if (stream == videoStream && awaitingKeyPicture) {
			if (!(packet->flags & AV_PKT_FLAG_KEY)) {
				av_packet_unref(packet.get());
				continue;
			}
			awaitingKeyPicture = false;
		}
		av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
		packet->stream_index = stream->index;
		const int64_t pts = packet->pts;
		result = av_interleaved_write_frame(muxer.get(), packet.get());
		av_packet_unref(packet.get());
		if (result < 0) {
			// The sink's own reason says more than the muxer's error code.
			message = messages.write + (sinkError.empty() ? ffmpegErrorText(result) : sinkError);
			return false;
		}
		notePacketWritten(pts, stream == videoStream);
	}
}

void CompositeOutput::State::notePacketWritten(int64_t pts, bool isVideo)
{
	const auto now = std::chrono::steady_clock::now();
	// Pictures the encoder dropped, or whose pts it changed, have no packet
	// to wait for.
	std::optional<double> latency;
	if (isVideo) {
		while (!encodingArrivals.empty() && encodingArrivals.front().first < pts)
			encodingArrivals.pop_front();
		if (!encodingArrivals.empty() && encodingArrivals.front().first == pts) {
			latency = std::chrono::duration<double, std::milli>(now - encodingArrivals.front().second).count();
			encodingArrivals.pop_front();
		}
	}
	std::lock_guard lock(statisticsMutex);
	if (!isVideo)
		return;
	++picturesEncoded;
	if (latency) {
		latencies.emplace_back(now, *latency);
		++latencyCount;
		latencySumMs += *latency;
	}
	while (!latencies.empty() && now - latencies.front().first > latencyWindow)
		latencies.pop_front();
}

bool CompositeOutput::State::handleAudio(const AVFrame *frame, std::string &message)
{
	const int channels = frame->ch_layout.nb_channels;
	// Only packed 16-bit samples are read below; any other layout would be misread.
	if (channels < 2 || !frame->data[0] || frame->format != AV_SAMPLE_FMT_S16) {
		message = "Master audio frame must contain at least two packed channels";
		return false;
	}
	if (frame->sample_rate != audioEncoder->sample_rate) {
		message = "Master audio sample rate does not match AAC encoder";
		return false;
	}

	if (!audioPtsStarted) {
		nextAudioPts = frame->pts != AV_NOPTS_VALUE ? frame->pts : 0;
		audioPtsStarted = true;
	}

	const int16_t *samples = reinterpret_cast<const int16_t *>(frame->data[0]);
	pendingSamples.reserve(pendingSamples.size() + 2 * static_cast<size_t>(frame->nb_samples));
	for (int index = 0; index < frame->nb_samples; ++index) {
		const int16_t *sampleFrame = samples + static_cast<size_t>(index) * channels;
		pendingSamples.push_back(sampleFrame[0]);
		pendingSamples.push_back(sampleFrame[1]);
	}
	return frameAudio(message);
}

bool CompositeOutput::State::frameAudio(std::string &message)
{
	const int frameSize = audioEncoder->frame_size;
	const size_t valuesPerFrame = 2 * static_cast<size_t>(frameSize);
	size_t consumed = 0;
	bool done = true;

	while (pendingSamples.size() - consumed >= valuesPerFrame) {
		FrameHolder frame = allocateFrame();
		if (!frame) {
			message = "Failed to allocate AAC input frame";
			done = false;
			break;
		}
		frame->format = audioEncoder->sample_fmt;
		frame->sample_rate = audioEncoder->sample_rate;
		frame->nb_samples = frameSize;
		frame->pts = nextAudioPts;
		if (av_channel_layout_copy(&frame->ch_layout, &audioEncoder->ch_layout) < 0) {
			message = "Failed to copy AAC channel layout";
			done = false;
			break;
		}
		int result = av_frame_get_buffer(frame.get(), 0);
		if (result < 0) {
			message = "Failed to allocate AAC input frame buffer: " + ffmpegErrorText(result);
			done = false;
			break;
		}
		result = av_frame_make_writable(frame.get());
		if (result < 0) {
			message = "Failed to make AAC input frame writable: " + ffmpegErrorText(result);
			done = false;
			break;
		}

		float *left = reinterpret_cast<float *>(frame->data[0]);
		float *right = reinterpret_cast<float *>(frame->data[1]);
		const int16_t *source = pendingSamples.data() + consumed;
		for (int index = 0; index < frameSize; ++index) {
			left[index] = source[2 * index] * sampleScale;
			right[index] = source[2 * index + 1] * sampleScale;
		}

		if (!encodeAudio(frame.get(), message)) {
			done = false;
			break;
		}
		consumed += valuesPerFrame;
		nextAudioPts += av_rescale_q(frameSize, AVRational{ 1, sampleRate }, outputTimeBase);
	}

	pendingSamples.erase(pendingSamples.begin(), pendingSamples.begin() + static_cast<ptrdiff_t>(consumed));
	return done;
}

CompositeOutput::Statistics CompositeOutput::statistics() const
{
	const State &state = *state_;
	std::lock_guard lock(state.statisticsMutex);
	Statistics statistics;
	statistics.encoder = state.encoderName;
	statistics.picturesEncoded = state.picturesEncoded;
	statistics.bytesWritten = state.sink ? state.sink->bytesSent() : 0;
	statistics.link = state.sink ? state.sink->linkStatistics() : std::nullopt;
	statistics.latencyCount = state.latencyCount;
	statistics.latencySumMs = state.latencySumMs;
	const auto now = std::chrono::steady_clock::now();
	for (const auto &[time, latency] : state.latencies) {
		if (now - time <= latencyWindow)
			statistics.latenciesMs.push_back(latency);
	}
	return statistics;
}

} // namespace tiloran
