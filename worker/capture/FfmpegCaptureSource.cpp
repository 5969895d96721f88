#include "capture/FfmpegCaptureSource.h"

extern "C" {
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
}

#include <atomic>
#include <chrono>
#include <string_view>
#include <thread>
#include <utility>

#include "capture/CaptureTimes.h"
#include "common/ConsoleLine.h"
#include "common/PrintableText.h"
#include "media/WorkerTime.h"

namespace tiloran {

namespace {

// A timestamp in the worker's time base; none when the input has none or the
// time base is unusable.
int64_t toWorkerTime(int64_t timestamp, AVRational timeBase)
{
	if (timestamp == AV_NOPTS_VALUE || timeBase.num < 1 || timeBase.den < 1)
		return AV_NOPTS_VALUE;
	return av_rescale_q(timestamp, timeBase, kWorkerTimeBase);
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

} // namespace

struct FfmpegCaptureSource::State {
	State(SourceInputOpener opener, int32_t channels) : openInput(std::move(opener)), audioChannels(channels) {}

	bool readPackets();
	bool handleAudioPacket(std::string &error);
	bool handleVideoPacket(bool &firstFrameLogged, std::string &error);
	bool deliverAudioFrame(std::string &error);

	SourceInputOpener openInput;
	int32_t audioChannels;
	QuadrantConfig quadrant;
	bool isMaster = false;
	InputFormatContextHolder input;
	CodecContextHolder videoDecoder;
	CodecContextHolder audioDecoder;
	int32_t videoStreamIndex = -1;
	int32_t audioStreamIndex = -1;
	AVRational timeBase = { 0, 1 };
	AVRational audioTimeBase = { 0, 1 };
	int32_t sampleRate = 0;

	PacketHolder packet;
	FrameHolder decodedVideo;
	FrameHolder decodedAudio;

	// Test inputs with a code strip: the counter of the next picture read.
	bool recordsCaptureTimes = false;
	int64_t picturesRead = 0;

	CaptureSink *sink = nullptr;
	std::thread thread;
	// Read by the capture thread once per packet.
	std::atomic<bool> stopRequested{ false };
};

FfmpegCaptureSource::FfmpegCaptureSource(SourceInputOpener openInput, int32_t audioChannels)
	: state_(std::make_unique<State>(std::move(openInput), audioChannels))
{
}

FfmpegCaptureSource::~FfmpegCaptureSource()
{
	stop();
}

bool FfmpegCaptureSource::open(const QuadrantConfig &quadrant, bool isMaster, CaptureFormat &format,
			       std::string &message)
{
	State &state = *state_;
	state.quadrant = quadrant;
	state.isMaster = isMaster;
	const std::string &sourceName = quadrant.source_name;
	const std::string label =
		"quadrant " + std::to_string(quadrant.id) + " (" + printableText(sourceName) + ")";

	if (!state.openInput(quadrant, state.audioChannels, state.input, message))
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
	format.timeBase = videoStream->time_base;
	format.frameRate = videoStream->avg_frame_rate;
	if (format.frameRate.num < 1 || format.frameRate.den < 1)
		format.frameRate = videoStream->r_frame_rate;
	format.fieldOrder = videoParameters->field_order;

	printLine("[SourceCapture] DeckLink stream format for " + label +
		  ": codec_id=" + std::to_string(int(videoParameters->codec_id)) +
		  " codec=" + avcodec_get_name(videoParameters->codec_id) +
		  " codec_tag=" + std::to_string(videoParameters->codec_tag) +
		  " fourcc=" + fourccText(videoParameters->codec_tag) +
		  " pixel_format=" + pixelFormatName(videoParameters->format) +
		  " width=" + std::to_string(videoParameters->width) +
		  " height=" + std::to_string(videoParameters->height) +
		  " time_base=" + rationalText(format.timeBase) +
		  " frame_rate=" + rationalText(format.frameRate) +
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

	if (format.fieldOrder == AV_FIELD_UNKNOWN)
		format.fieldOrder = state.videoDecoder->field_order;
	format.width = state.videoDecoder->width;
	format.height = state.videoDecoder->height;
	format.pixelFormat = state.videoDecoder->pix_fmt;
	format.text = captureFormatText(format.width, format.height, format.fieldOrder > AV_FIELD_PROGRESSIVE,
					format.frameRate);

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

		format.sampleRate = state.sampleRate = state.audioDecoder->sample_rate;
		format.channels = state.audioDecoder->ch_layout.nb_channels;
		if (format.sampleRate < 1 || format.channels < 2) {
			message = "Master audio stream has invalid parameters";
			return false;
		}
		format.audioText = std::string("codec=") + avcodec_get_name(audioStream->codecpar->codec_id) +
				   " sample_format=" + sampleFormatName(state.audioDecoder->sample_fmt) +
				   " sample_rate=" + std::to_string(format.sampleRate) +
				   " channels=" + std::to_string(format.channels) +
				   " time_base=" + rationalText(state.audioTimeBase);
	}

	state.recordsCaptureTimes = std::string_view(quadrant.source_id).starts_with("test-") &&
				    CaptureTimes::instance().enabled();
	state.picturesRead = 0;

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

bool FfmpegCaptureSource::start(CaptureSink &sink, std::string &message)
{
	State &state = *state_;
	if (!state.packet) {
		message = "SourceCapture is not open";
		return false;
	}
	if (state.thread.joinable()) {
		message = "SourceCapture is already running";
		return false;
	}
	state.sink = &sink;
	state.stopRequested = false;
	state.thread = std::thread([&state] {
		std::string error;
		bool firstFrameLogged = false;
		while (!state.stopRequested) {
			const int result = av_read_frame(state.input.get(), state.packet.get());
			if (result < 0) {
				error = "Failed to read DeckLink input frame for source '" +
					state.quadrant.source_name + "': " + ffmpegErrorText(result);
				break;
			}
			if (state.isMaster && state.packet->stream_index == state.audioStreamIndex) {
				if (!state.handleAudioPacket(error))
					break;
				continue;
			}
			if (state.packet->stream_index != state.videoStreamIndex) {
				av_packet_unref(state.packet.get());
				continue;
			}
			if (!state.handleVideoPacket(firstFrameLogged, error))
				break;
		}
		// A source stopped on request reports nothing.
		if (!state.stopRequested)
			state.sink->sourceFailed(error);
	});
	return true;
}

void FfmpegCaptureSource::stop()
{
	state_->stopRequested = true;
	if (state_->thread.joinable())
		state_->thread.join();
}

bool FfmpegCaptureSource::State::handleAudioPacket(std::string &error)
{
	const std::string &sourceName = quadrant.source_name;
	int result = avcodec_send_packet(audioDecoder.get(), packet.get());
	av_packet_unref(packet.get());
	if (result < 0) {
		error = "Failed to send packet to audio decoder for source '" + sourceName +
			"': " + ffmpegErrorText(result);
		return false;
	}

	while (true) {
		av_frame_unref(decodedAudio.get());
		result = avcodec_receive_frame(audioDecoder.get(), decodedAudio.get());
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
		if (!deliverAudioFrame(error))
			return false;
	}
}

bool FfmpegCaptureSource::State::handleVideoPacket(bool &firstFrameLogged, std::string &error)
{
	// The test input releases each picture at its time: reading it is its capture.
	if (recordsCaptureTimes)
		CaptureTimes::instance().record(quadrant.id, picturesRead++, std::chrono::steady_clock::now());
	const std::string &sourceName = quadrant.source_name;
	int result = avcodec_send_packet(videoDecoder.get(), packet.get());
	av_packet_unref(packet.get());
	if (result < 0) {
		error = "Failed to send packet to decoder for source '" + sourceName +
			"': " + ffmpegErrorText(result);
		return false;
	}

	// One frame per packet; a further one waiting in the decoder comes out
	// after the next packet.
	AVFrame *decoded = decodedVideo.get();
	av_frame_unref(decoded);
	result = avcodec_receive_frame(videoDecoder.get(), decoded);
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
			  std::to_string(quadrant.id) + " (" + printableText(sourceName) + "): format=" +
			  pixelFormatName(decoded->format) + " width=" + std::to_string(decoded->width) +
			  " height=" + std::to_string(decoded->height) + " linesize=[" +
			  std::to_string(decoded->linesize[0]) + "," +
			  std::to_string(decoded->linesize[1]) + "," +
			  std::to_string(decoded->linesize[2]) + "]");
	firstFrameLogged = true;

	const int64_t pts = toWorkerTime(bestTimestamp(decoded), timeBase);
	if (pts != AV_NOPTS_VALUE)
		decoded->pts = pts;
	if (decoded->pkt_dts != AV_NOPTS_VALUE)
		decoded->pkt_dts = toWorkerTime(decoded->pkt_dts, timeBase);

	// The sink keeps a reference, not a copy: the decoder never writes into
	// a picture it has handed out.
	FrameHolder picture = allocateFrame();
	if (!picture) {
		error = "Failed to allocate source packet or decoded frame";
		return false;
	}
	av_frame_move_ref(picture.get(), decoded);
	sink->pictureArrived(std::move(picture), true);
	return true;
}

bool FfmpegCaptureSource::State::deliverAudioFrame(std::string &error)
{
	AVFrame *decoded = decodedAudio.get();
	if (decoded->format != AV_SAMPLE_FMT_S16) {
		error = "Master audio must be s16, got " + sampleFormatName(decoded->format);
		return false;
	}
	if (decoded->sample_rate != sampleRate) {
		error = "Master audio sample rate changed unexpectedly";
		return false;
	}
	if (decoded->ch_layout.nb_channels < 2) {
		error = "Master audio must contain at least two channels";
		return false;
	}

	decoded->pts = toWorkerTime(bestTimestamp(decoded), audioTimeBase);
	if (decoded->pkt_dts != AV_NOPTS_VALUE)
		decoded->pkt_dts = toWorkerTime(decoded->pkt_dts, audioTimeBase);

	FrameHolder clone(av_frame_clone(decoded));
	if (!clone) {
		error = "Failed to clone decoded master audio frame";
		return false;
	}
	sink->audioArrived(std::move(clone));
	return true;
}

} // namespace tiloran
