#include "output/AacEncoder.h"

#include "media/WorkerTime.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

namespace tiloran {

bool AacEncoder::open(int32_t sampleRate, int64_t bitsPerSecond, std::string &message)
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

	context_.reset(avcodec_alloc_context3(codec));
	if (!context_) {
		message = "Failed to allocate AAC encoder context";
		return false;
	}

	AVCodecContext *context = context_.get();
	context->codec_id = AV_CODEC_ID_AAC;
	context->codec_type = AVMEDIA_TYPE_AUDIO;
	context->sample_fmt = AV_SAMPLE_FMT_FLTP;
	context->sample_rate = sampleRate;
	context->time_base = kWorkerTimeBase;
	context->bit_rate = bitsPerSecond;
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

bool AacEncoder::encode(const AVFrame *frame, const PacketHandler &handle, std::string &message)
{
	static constexpr EncoderMessages messages{
		"Failed to send frame to AAC encoder: ",
		"Failed to allocate encoded AAC packet",
		"Failed to receive encoded AAC packet: ",
	};
	return encodeFrame(context_.get(), frame, messages, handle, message);
}

} // namespace tiloran
