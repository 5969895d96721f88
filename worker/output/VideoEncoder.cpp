#include "output/VideoEncoder.h"

#include <variant>

#include "common/ConsoleLine.h"
#include "media/WorkerTime.h"
#include "output/VideoEncoderSettings.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace tiloran {

bool VideoEncoder::open(const std::string &codecName, const Format &format, const VideoRate &rate,
			std::string &message)
{
	const std::string name = videoEncoderLookupName(codecName);
	const AVCodec *codec = avcodec_find_encoder_by_name(name.c_str());
	if (!codec) {
		message = "Failed to find H.264 encoder '" + name + "'";
		return false;
	}

	context_.reset(avcodec_alloc_context3(codec));
	if (!context_) {
		message = "Failed to allocate encoder context";
		return false;
	}

	const VideoEncoderSettings settings = chooseVideoEncoderSettings(
		codec->name, format.width, format.height, format.frameRate.num, format.frameRate.den, format.fieldOrder);

	AVCodecContext *context = context_.get();
	context->codec_id = AV_CODEC_ID_H264;
	context->codec_type = AVMEDIA_TYPE_VIDEO;
	context->width = format.width;
	context->height = format.height;
	context->pix_fmt = AV_PIX_FMT_NV12;
	context->time_base = kWorkerTimeBase;
	context->framerate = format.frameRate;
	setRate(rate);
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
	name_ = codec->name;
	return true;
}

bool VideoEncoder::encode(const AVFrame *picture, const PacketHandler &handle, std::string &message)
{
	static constexpr EncoderMessages messages{
		"Failed to send frame to encoder: ",
		"Failed to allocate encoded packet",
		"Failed to receive encoded packet: ",
	};
	const bool encoded = encodeFrame(context_.get(), picture, messages, handle, message);
	// The picture just sent took the lower average: the ceiling may follow.
	if (picture && pendingCeiling_) {
		context_->rc_max_rate = pendingCeiling_->maxBitsPerSecond;
		context_->rc_buffer_size = static_cast<int>(pendingCeiling_->bufferBits);
		pendingCeiling_.reset();
	}
	return encoded;
}

void VideoEncoder::setRate(const VideoRate &rate)
{
	const bool belowTheAverage = context_->rc_max_rate > 0 && rate.maxBitsPerSecond < context_->bit_rate;
	context_->bit_rate = rate.bitsPerSecond;
	if (belowTheAverage) {
		pendingCeiling_ = rate;
		return;
	}
	pendingCeiling_.reset();
	context_->rc_max_rate = rate.maxBitsPerSecond;
	context_->rc_buffer_size = static_cast<int>(rate.bufferBits);
}

} // namespace tiloran
