#include "SourceCapture.h"

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "common/ConsoleLine.h"

namespace tiloran {

namespace {

constexpr AVRational kWorkerTimeBase = { 1, 90000 };
constexpr size_t kAudioQueueLimit = 64;
// Slices of one conversion run on this many threads at most, and only for
// pictures of at least this size: a smaller one converts in less time than
// it takes to wake the threads.
constexpr int kMaximumConversionThreads = 4;
constexpr int kThreadedConversionPixels = 1280 * 720;

// A timestamp in the worker's time base; none when the input has none or the
// time base is unusable.
int64_t toWorkerTime(int64_t timestamp, AVRational timeBase)
{
	if (timestamp == AV_NOPTS_VALUE || timeBase.num < 1 || timeBase.den < 1)
		return AV_NOPTS_VALUE;
	return av_rescale_q(timestamp, timeBase, kWorkerTimeBase);
}

/*
 * The conversion of the decoded picture to NV12 at the same size, bilinear.
 * The worker's main thread converts the picture of each source it takes, one
 * after the other, so one conversion is spread over several threads: four
 * 1920x1080 sources at 50 pictures a second would otherwise leave the main
 * thread too little of each picture's time. The result is the same as on one
 * thread.
 */
ScaleContextHolder createWorkerFormatConverter(int width, int height, AVPixelFormat sourceFormat)
{
	ScaleContextHolder converter(sws_alloc_context());
	if (!converter)
		return nullptr;
	SwsContext *context = converter.get();
	const int threads = width * height >= kThreadedConversionPixels
				    ? std::clamp(av_cpu_count(), 1, kMaximumConversionThreads)
				    : 1;
	const bool configured = av_opt_set_int(context, "srcw", width, 0) >= 0 &&
				av_opt_set_int(context, "srch", height, 0) >= 0 &&
				av_opt_set_int(context, "src_format", sourceFormat, 0) >= 0 &&
				av_opt_set_int(context, "dstw", width, 0) >= 0 &&
				av_opt_set_int(context, "dsth", height, 0) >= 0 &&
				av_opt_set_int(context, "dst_format", AV_PIX_FMT_NV12, 0) >= 0 &&
				av_opt_set_int(context, "sws_flags", SWS_BILINEAR, 0) >= 0 &&
				av_opt_set_int(context, "threads", threads, 0) >= 0;
	if (!configured || sws_init_context(context, nullptr, nullptr) < 0)
		return nullptr;
	return converter;
}

int64_t bestTimestamp(const AVFrame *frame)
{
	return frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp
							       : frame->pts;
}

std::string pixelFormatName(int format)
{
	const char *name = format < 0 ? nullptr : av_get_pix_fmt_name(AVPixelFormat(format));
	return name ? name : "unknown";
}

std::string sampleFormatName(int format)
{
	const char *name = format < 0 ? nullptr : av_get_sample_fmt_name(AVSampleFormat(format));
	return name ? name : "unknown";
}

std::string fourccText(uint32_t tag)
{
	if (tag == 0)
		return "<none>";
	std::string text;
	for (int shift = 0; shift < 32; shift += 8)
		text.push_back(char((tag >> shift) & 0xff));
	return text;
}

std::string rationalText(AVRational value)
{
	return std::to_string(value.num) + "/" + std::to_string(value.den);
}

} // namespace

struct SourceCapture::State {
	explicit State(SourceInputOpener opener) : openInput(std::move(opener)) {}

	SourceInputOpener openInput;

	QuadrantConfig quadrant;
	bool isMaster = false;
	InputFormatContextHolder input;
	CodecContextHolder videoDecoder;
	CodecContextHolder audioDecoder;
	ScaleContextHolder converter;
	int32_t videoStreamIndex = -1;
	int32_t audioStreamIndex = -1;
	int32_t width = 0;
	int32_t height = 0;
	AVRational timeBase = { 0, 1 };
	AVRational frameRate = { 0, 1 };
	AVRational audioTimeBase = { 0, 1 };
	int32_t sampleRate = 0;
	int32_t channels = 0;
	int32_t fieldOrder = 0;

	// The newest decoded picture, its timestamps in worker time. It holds a
	// reference, not a copy: the decoder never writes into a picture it has
	// handed out.
	FrameHolder latestPicture;
	// The main thread's reference to the picture it converts, taken under the
	// mutex so that the conversion runs outside it.
	FrameHolder takenPicture;
	std::chrono::steady_clock::time_point latestArrival;
	std::chrono::steady_clock::time_point takenArrival;
	int64_t frameCounter = 0;
	std::deque<FrameHolder> audioQueue;

	std::mutex mutex;
	std::condition_variable condition;
	std::thread thread;
	bool running = false;
	bool stopRequested = false;
	bool waitInterrupted = false;
	std::string error;

	PacketHolder packet;
	FrameHolder decodedVideo;
	FrameHolder decodedAudio;
};

SourceCapture::SourceCapture(SourceInputOpener openInput)
	: state_(std::make_unique<State>(std::move(openInput)))
{
}

SourceCapture::~SourceCapture()
{
	{
		std::lock_guard<std::mutex> lock(state_->mutex);
		state_->stopRequested = true;
	}
	state_->condition.notify_all();
	if (state_->thread.joinable())
		state_->thread.join();

	state_->packet.reset();
	state_->decodedVideo.reset();
	state_->decodedAudio.reset();
	state_->error.clear();
	state_->audioQueue.clear();
	state_->latestPicture.reset();
	state_->takenPicture.reset();
	state_->converter.reset();
	state_->videoDecoder.reset();
	state_->audioDecoder.reset();
	state_->input.reset();
}

bool SourceCapture::open(const QuadrantConfig &quadrant, bool isMaster, std::string &message)
{
	State &state = *state_;
	state.quadrant = quadrant;
	state.isMaster = isMaster;
	const std::string &sourceName = quadrant.source_name;
	const std::string label =
		"quadrant " + std::to_string(quadrant.id) + " (" + sourceName + ")";

	if (!state.openInput(quadrant, state.input, message))
		return false;
	AVFormatContext *input = state.input.get();

	int result = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
	if (result < 0) {
		message = "DeckLink source has no video stream";
		return false;
	}
	state.videoStreamIndex = result;
	const AVStream *videoStream = input->streams[state.videoStreamIndex];
	const AVCodecParameters *videoParameters = videoStream->codecpar;
	state.timeBase = videoStream->time_base;
	state.frameRate = videoStream->avg_frame_rate;
	if (state.frameRate.num < 1 || state.frameRate.den < 1)
		state.frameRate = videoStream->r_frame_rate;
	state.fieldOrder = videoParameters->field_order;

	printLine("[SourceCapture] DeckLink stream format for " + label +
		  ": codec_id=" + std::to_string(int(videoParameters->codec_id)) +
		  " codec=" + avcodec_get_name(videoParameters->codec_id) +
		  " codec_tag=" + std::to_string(videoParameters->codec_tag) +
		  " fourcc=" + fourccText(videoParameters->codec_tag) +
		  " pixel_format=" + pixelFormatName(videoParameters->format) +
		  " width=" + std::to_string(videoParameters->width) +
		  " height=" + std::to_string(videoParameters->height) +
		  " time_base=" + rationalText(state.timeBase) +
		  " frame_rate=" + rationalText(state.frameRate) +
		  " field_order=" + std::to_string(int(videoParameters->field_order)));

	const AVCodec *videoCodec = avcodec_find_decoder(videoParameters->codec_id);
	if (!videoCodec) {
		message = "Failed to find decoder for input video stream";
		return false;
	}
	state.videoDecoder.reset(avcodec_alloc_context3(videoCodec));
	if (!state.videoDecoder) {
		message = "Failed to allocate decoder context";
		return false;
	}
	result = avcodec_parameters_to_context(state.videoDecoder.get(), videoParameters);
	if (result < 0) {
		message = "Failed to copy decoder parameters: " + ffmpegErrorText(result);
		return false;
	}
	result = avcodec_open2(state.videoDecoder.get(), videoCodec, nullptr);
	if (result < 0) {
		message = "Failed to open decoder: " + ffmpegErrorText(result);
		return false;
	}

	if (state.fieldOrder == AV_FIELD_UNKNOWN)
		state.fieldOrder = state.videoDecoder->field_order;
	state.width = state.videoDecoder->width;
	state.height = state.videoDecoder->height;

	if (state.width <= 0 || state.height <= 0) {
		message = "Invalid source video size";
		return false;
	}
	state.converter = createWorkerFormatConverter(state.width, state.height,
						      state.videoDecoder->pix_fmt);
	if (!state.converter) {
		message = "Failed to create source conversion context to worker pixel format";
		return false;
	}
	printLine("[SourceCapture] Worker pixel format for " + label + ": nv12");

	if (isMaster) {
		result = av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
		if (result < 0) {
			message = "Master DeckLink source has no audio stream";
			return false;
		}
		state.audioStreamIndex = result;
		const AVStream *audioStream = input->streams[state.audioStreamIndex];
		state.audioTimeBase = audioStream->time_base;

		const AVCodec *audioCodec = avcodec_find_decoder(audioStream->codecpar->codec_id);
		if (!audioCodec) {
			message = "Failed to find decoder for input audio stream";
			return false;
		}
		state.audioDecoder.reset(avcodec_alloc_context3(audioCodec));
		if (!state.audioDecoder) {
			message = "Failed to allocate audio decoder context";
			return false;
		}
		result = avcodec_parameters_to_context(state.audioDecoder.get(), audioStream->codecpar);
		if (result < 0) {
			message = "Failed to copy audio decoder parameters: " + ffmpegErrorText(result);
			return false;
		}
		result = avcodec_open2(state.audioDecoder.get(), audioCodec, nullptr);
		if (result < 0) {
			message = "Failed to open audio decoder: " + ffmpegErrorText(result);
			return false;
		}

		state.sampleRate = state.audioDecoder->sample_rate;
		state.channels = state.audioDecoder->ch_layout.nb_channels;
		if (state.sampleRate < 1 || state.channels < 2) {
			message = "Master audio stream has invalid parameters";
			return false;
		}
		printLine("[SourceCapture] Master audio stream for " + label +
			  ": codec=" + avcodec_get_name(audioStream->codecpar->codec_id) +
			  " sample_format=" + sampleFormatName(state.audioDecoder->sample_fmt) +
			  " sample_rate=" + std::to_string(state.sampleRate) +
			  " channels=" + std::to_string(state.channels) +
			  " time_base=" + rationalText(state.audioTimeBase));
	}

	state.latestPicture = allocateFrame();
	state.takenPicture = allocateFrame();
	if (!state.latestPicture || !state.takenPicture) {
		message = "Failed to allocate frame";
		return false;
	}

	state.packet = allocatePacket();
	state.decodedVideo = allocateFrame();
	if (isMaster)
		state.decodedAudio = allocateFrame();
	if (!state.packet || !state.decodedVideo || (isMaster && !state.decodedAudio)) {
		message = "Failed to allocate source packet or decoded frame";
		return false;
	}
	return true;
}

int32_t SourceCapture::width() const
{
	return state_->width;
}

int32_t SourceCapture::height() const
{
	return state_->height;
}

AVRational SourceCapture::frameRate() const
{
	return state_->frameRate;
}

AVRational SourceCapture::timeBase() const
{
	return state_->timeBase;
}

int32_t SourceCapture::fieldOrder() const
{
	return state_->fieldOrder;
}

int32_t SourceCapture::sampleRate() const
{
	return state_->sampleRate;
}

const QuadrantConfig &SourceCapture::quadrant() const
{
	return state_->quadrant;
}

bool SourceCapture::start(std::string &message)
{
	State &state = *state_;
	if (!state.packet) {
		message = "SourceCapture is not open";
		return false;
	}

	std::unique_lock<std::mutex> lock(state.mutex);
	if (state.running) {
		message = "SourceCapture is already running";
		return false;
	}
	// A thread that has left its loop may still need joining before the next.
	if (state.thread.joinable()) {
		lock.unlock();
		state.thread.join();
		lock.lock();
	}
	state.stopRequested = false;
	state.error.clear();
	state.running = true;
	try {
		state.thread = std::thread(&SourceCapture::captureLoop, this);
	} catch (...) {
		state.running = false;
		throw;
	}
	return true;
}

void SourceCapture::captureLoop()
{
	State &state = *state_;
	std::string error;
	bool firstFrameLogged = false;

	while (true) {
		{
			std::lock_guard<std::mutex> lock(state.mutex);
			if (state.stopRequested)
				break;
		}

		const int result = av_read_frame(state.input.get(), state.packet.get());
		if (result < 0) {
			error = "Failed to read DeckLink input frame for source '" +
				state.quadrant.source_name + "': " + ffmpegErrorText(result);
			break;
		}

		if (state.isMaster && state.packet->stream_index == state.audioStreamIndex) {
			if (!handleAudioPacket(error))
				break;
			continue;
		}
		if (state.packet->stream_index != state.videoStreamIndex) {
			av_packet_unref(state.packet.get());
			continue;
		}
		if (!handleVideoPacket(firstFrameLogged, error))
			break;
	}

	{
		std::lock_guard<std::mutex> lock(state.mutex);
		state.running = false;
		if (!error.empty() && !state.stopRequested)
			state.error = error;
	}
	state.condition.notify_all();
}

bool SourceCapture::handleAudioPacket(std::string &error)
{
	State &state = *state_;
	const std::string &sourceName = state.quadrant.source_name;
	int result = avcodec_send_packet(state.audioDecoder.get(), state.packet.get());
	av_packet_unref(state.packet.get());
	if (result < 0) {
		error = "Failed to send packet to audio decoder for source '" + sourceName +
			"': " + ffmpegErrorText(result);
		return false;
	}

	while (true) {
		av_frame_unref(state.decodedAudio.get());
		result = avcodec_receive_frame(state.audioDecoder.get(), state.decodedAudio.get());
		if (result == AVERROR(EAGAIN))
			return true;
		if (result == AVERROR_EOF) {
			error = "Audio decoder reached EOF for source '" + sourceName + "'";
			return false;
		}
		if (result < 0) {
			error = "Failed to receive decoded audio for source '" + sourceName +
				"': " + ffmpegErrorText(result);
			return false;
		}
		if (!queueAudioFrame(error))
			return false;
	}
}

bool SourceCapture::handleVideoPacket(bool &firstFrameLogged, std::string &error)
{
	State &state = *state_;
	const std::string &sourceName = state.quadrant.source_name;
	int result = avcodec_send_packet(state.videoDecoder.get(), state.packet.get());
	av_packet_unref(state.packet.get());
	if (result < 0) {
		error = "Failed to send packet to decoder for source '" + sourceName +
			"': " + ffmpegErrorText(result);
		return false;
	}

	// One frame per packet; a further one waiting in the decoder comes out
	// after the next packet.
	AVFrame *decoded = state.decodedVideo.get();
	av_frame_unref(decoded);
	result = avcodec_receive_frame(state.videoDecoder.get(), decoded);
	if (result == AVERROR(EAGAIN))
		return true;
	if (result == AVERROR_EOF) {
		error = "Decoder reached EOF for source '" + sourceName + "'";
		return false;
	}
	if (result < 0) {
		error = "Failed to receive decoded frame for source '" + sourceName +
			"': " + ffmpegErrorText(result);
		return false;
	}

	if (!firstFrameLogged)
		printLine("[SourceCapture] First decoded frame for quadrant " +
			  std::to_string(state.quadrant.id) + " (" + sourceName + "): format=" +
			  pixelFormatName(decoded->format) + " width=" + std::to_string(decoded->width) +
			  " height=" + std::to_string(decoded->height) + " linesize=[" +
			  std::to_string(decoded->linesize[0]) + "," +
			  std::to_string(decoded->linesize[1]) + "," +
			  std::to_string(decoded->linesize[2]) + "]");
	if (!publishFrame(error))
		return false;
	firstFrameLogged = true;
	return true;
}

bool SourceCapture::publishFrame(std::string &error)
{
	State &state = *state_;
	AVFrame *decoded = state.decodedVideo.get();
	if (decoded->width != state.width || decoded->height != state.height) {
		error = "Decoded frame for source '" + state.quadrant.source_name +
			"' size changed unexpectedly";
		return false;
	}

	const int64_t pts = toWorkerTime(bestTimestamp(decoded), state.timeBase);
	if (pts != AV_NOPTS_VALUE)
		decoded->pts = pts;
	if (decoded->pkt_dts != AV_NOPTS_VALUE)
		decoded->pkt_dts = toWorkerTime(decoded->pkt_dts, state.timeBase);

	// Only the picture that is taken gets converted: a live source publishes
	// pictures the output skips whenever the output falls behind.
	{
		std::lock_guard<std::mutex> lock(state.mutex);
		av_frame_unref(state.latestPicture.get());
		av_frame_move_ref(state.latestPicture.get(), decoded);
		state.latestArrival = std::chrono::steady_clock::now();
		++state.frameCounter;
	}
	state.condition.notify_all();
	return true;
}

bool SourceCapture::queueAudioFrame(std::string &error)
{
	State &state = *state_;
	AVFrame *decoded = state.decodedAudio.get();
	if (decoded->format != AV_SAMPLE_FMT_S16) {
		error = "Master audio must be s16, got " + sampleFormatName(decoded->format);
		return false;
	}
	if (decoded->sample_rate != state.sampleRate) {
		error = "Master audio sample rate changed unexpectedly";
		return false;
	}
	if (decoded->ch_layout.nb_channels < 2) {
		error = "Master audio must contain at least two channels";
		return false;
	}

	decoded->pts = toWorkerTime(bestTimestamp(decoded), state.audioTimeBase);
	if (decoded->pkt_dts != AV_NOPTS_VALUE)
		decoded->pkt_dts = toWorkerTime(decoded->pkt_dts, state.audioTimeBase);

	FrameHolder clone(av_frame_clone(decoded));
	if (!clone) {
		error = "Failed to clone decoded master audio frame";
		return false;
	}
	std::lock_guard<std::mutex> lock(state.mutex);
	if (state.audioQueue.size() >= kAudioQueueLimit)
		state.audioQueue.pop_front();
	state.audioQueue.push_back(std::move(clone));
	return true;
}

bool SourceCapture::convertTakenPicture(AVFrame *destination, std::string &message)
{
	State &state = *state_;
	AVFrame *taken = state.takenPicture.get();
	int result = av_frame_make_writable(destination);
	if (result < 0)
		message = "Failed to make destination frame writable: " + ffmpegErrorText(result);
	else if ((result = sws_scale_frame(state.converter.get(), destination, taken)) < 0)
		message = "Failed to copy latest source frame: " + ffmpegErrorText(result);
	else if ((result = replaceFrameProps(destination, taken)) < 0)
		message = "Failed to copy latest source frame props: " + ffmpegErrorText(result);
	// The decoder's picture is not held past the conversion.
	av_frame_unref(taken);
	return result >= 0;
}

bool SourceCapture::takeLatestLocked(std::string &message)
{
	const int result = av_frame_ref(state_->takenPicture.get(), state_->latestPicture.get());
	if (result < 0) {
		message = "Failed to reference latest source frame: " + ffmpegErrorText(result);
		return false;
	}
	state_->takenArrival = state_->latestArrival;
	return true;
}

void SourceCapture::interruptWait()
{
	{
		std::lock_guard<std::mutex> lock(state_->mutex);
		state_->waitInterrupted = true;
	}
	state_->condition.notify_all();
}

std::chrono::steady_clock::time_point SourceCapture::takenArrival() const
{
	return state_->takenArrival;
}

SourceCapture::Statistics SourceCapture::statistics() const
{
	std::lock_guard<std::mutex> lock(state_->mutex);
	return { state_->frameCounter, state_->latestArrival };
}

bool SourceCapture::waitForFrame(int64_t afterCounter, AVFrame *destination, int64_t &counter,
				 std::string &message)
{
	State &state = *state_;
	std::unique_lock<std::mutex> lock(state.mutex);
	state.condition.wait(lock, [&] {
		return state.frameCounter > afterCounter || !state.error.empty() || !state.running ||
		       state.waitInterrupted;
	});
	if (state.waitInterrupted) {
		message.clear();
		return false;
	}
	if (!state.error.empty()) {
		message = state.error;
		return false;
	}
	if (state.frameCounter == 0) {
		message = "Source stopped before producing a frame: " + state.quadrant.source_name;
		return false;
	}
	if (!takeLatestLocked(message))
		return false;
	counter = state.frameCounter;
	lock.unlock();
	return convertTakenPicture(destination, message);
}

bool SourceCapture::hasFrame() const
{
	std::lock_guard<std::mutex> lock(state_->mutex);
	return state_->frameCounter > 0;
}

bool SourceCapture::copyLatestFrame(AVFrame *destination, std::string &message)
{
	State &state = *state_;
	{
		std::lock_guard<std::mutex> lock(state.mutex);
		if (!state.error.empty()) {
			message = state.error;
			return false;
		}
		if (state.frameCounter == 0) {
			message = "Source has no frame yet: " + state.quadrant.source_name;
			return false;
		}
		if (!takeLatestLocked(message))
			return false;
	}
	return convertTakenPicture(destination, message);
}

bool SourceCapture::popAudioFrame(AVFrame *destination, bool &got, std::string &message)
{
	State &state = *state_;
	got = false;
	std::lock_guard<std::mutex> lock(state.mutex);
	if (!state.error.empty()) {
		message = state.error;
		return false;
	}
	if (!state.isMaster || state.audioQueue.empty())
		return true;

	av_frame_unref(destination);
	const int result = av_frame_ref(destination, state.audioQueue.front().get());
	if (result < 0) {
		message = "Failed to reference decoded audio frame: " + ffmpegErrorText(result);
		return false;
	}
	state.audioQueue.pop_front();
	got = true;
	return true;
}

} // namespace tiloran
