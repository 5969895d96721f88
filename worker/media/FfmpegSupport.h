#pragma once

// Owning holders for every FFmpeg object the worker uses, the error text of
// an FFmpeg code, the text of a rational, and the few helpers that hide what FFmpeg renamed between
// 5.1 and 7.x. Component code never calls an FFmpeg free function itself.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/version.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libavutil/version.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

namespace tiloran {

struct FrameDeleter {
	void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
	void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};
struct CodecContextDeleter {
	void operator()(AVCodecContext *context) const { avcodec_free_context(&context); }
};
// An opened input (avformat_open_input).
struct InputFormatContextDeleter {
	void operator()(AVFormatContext *context) const { avformat_close_input(&context); }
};
// An output muxer context: its I/O context is closed by the owner before this runs,
// or here if the owner never got to it. An I/O context of the caller's own
// (AVFMT_FLAG_CUSTOM_IO) stays the caller's.
struct OutputFormatContextDeleter {
	void operator()(AVFormatContext *context) const
	{
		if (context->pb && !(context->flags & AVFMT_FLAG_CUSTOM_IO) && !(context->oformat->flags & AVFMT_NOFILE))
			avio_closep(&context->pb);
		avformat_free_context(context);
	}
};
// An I/O context made with avio_alloc_context, and its buffer.
struct CustomIoContextDeleter {
	void operator()(AVIOContext *context) const
	{
		av_freep(&context->buffer);
		avio_context_free(&context);
	}
};
// An I/O context opened by avio_open.
struct OpenedIoContextDeleter {
	void operator()(AVIOContext *context) const { avio_closep(&context); }
};
struct ScaleContextDeleter {
	void operator()(SwsContext *context) const { sws_freeContext(context); }
};
struct DictionaryDeleter {
	void operator()(AVDictionary *dictionary) const { av_dict_free(&dictionary); }
};

// Memory from av_malloc.
struct FfmpegMemoryDeleter {
	void operator()(uint8_t *memory) const { av_free(memory); }
};

using FrameHolder = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketHolder = std::unique_ptr<AVPacket, PacketDeleter>;
using CodecContextHolder = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using InputFormatContextHolder = std::unique_ptr<AVFormatContext, InputFormatContextDeleter>;
using OutputFormatContextHolder = std::unique_ptr<AVFormatContext, OutputFormatContextDeleter>;
using ScaleContextHolder = std::unique_ptr<SwsContext, ScaleContextDeleter>;
using CustomIoContextHolder = std::unique_ptr<AVIOContext, CustomIoContextDeleter>;
using OpenedIoContextHolder = std::unique_ptr<AVIOContext, OpenedIoContextDeleter>;

// The buffer an I/O context's write callback is given: const from FFmpeg 7.0
// (libavformat 61) on.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
using AvioWriteBuffer = const uint8_t *;
#else
using AvioWriteBuffer = uint8_t *;
#endif
using DictionaryHolder = std::unique_ptr<AVDictionary, DictionaryDeleter>;
using FfmpegMemoryHolder = std::unique_ptr<uint8_t, FfmpegMemoryDeleter>;

inline FrameHolder allocateFrame()
{
	return FrameHolder(av_frame_alloc());
}

inline PacketHolder allocatePacket()
{
	return PacketHolder(av_packet_alloc());
}

// What av_strerror writes for an FFmpeg error code into a 64-byte buffer.
inline std::string ffmpegErrorText(int errorCode)
{
	char text[64] = {};
	av_strerror(errorCode, text, sizeof(text));
	return text;
}

// A rational as "num/den", the way the worker's lines and records show
// rates and time bases.
inline std::string rationalText(AVRational value)
{
	return std::to_string(value.num) + "/" + std::to_string(value.den);
}

// The interlaced and top-field-first marks of a frame: members of AVFrame up
// to FFmpeg 6.0, flags from 6.1 on (the members are gone in 7.x).
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 29, 100)
inline bool frameIsInterlaced(const AVFrame *frame)
{
	return frame->flags & AV_FRAME_FLAG_INTERLACED;
}
inline bool frameIsTopFieldFirst(const AVFrame *frame)
{
	return frame->flags & AV_FRAME_FLAG_TOP_FIELD_FIRST;
}
inline void setFrameInterlaced(AVFrame *frame, bool interlaced, bool topFieldFirst)
{
	frame->flags &= ~(AV_FRAME_FLAG_INTERLACED | AV_FRAME_FLAG_TOP_FIELD_FIRST);
	if (interlaced)
		frame->flags |= AV_FRAME_FLAG_INTERLACED;
	if (interlaced && topFieldFirst)
		frame->flags |= AV_FRAME_FLAG_TOP_FIELD_FIRST;
}
#else
inline bool frameIsInterlaced(const AVFrame *frame)
{
	return frame->interlaced_frame != 0;
}
inline bool frameIsTopFieldFirst(const AVFrame *frame)
{
	return frame->top_field_first != 0;
}
inline void setFrameInterlaced(AVFrame *frame, bool interlaced, bool topFieldFirst)
{
	frame->interlaced_frame = interlaced ? 1 : 0;
	frame->top_field_first = interlaced && topFieldFirst ? 1 : 0;
}
#endif

// Copies a frame's flags, the interlacing marks included on every version.
inline void copyFrameFlags(AVFrame *destination, const AVFrame *source)
{
	destination->flags = source->flags;
	setFrameInterlaced(destination, frameIsInterlaced(source), frameIsTopFieldFirst(source));
}

// Gives destination the properties of source in place of its own. FFmpeg
// 5.1's av_frame_copy_props adds the source's side data to what the
// destination already carries, so a frame reused for every picture (a card
// attaching captions or a time code to each one) would gather one more entry
// per picture for as long as the stream runs.
inline int replaceFrameProps(AVFrame *destination, const AVFrame *source)
{
	while (destination->nb_side_data > 0)
		av_frame_remove_side_data(destination, destination->side_data[0]->type);
	av_dict_free(&destination->metadata);
	return av_frame_copy_props(destination, source);
}

// Whether an encoder accepts a sample format; an encoder that publishes no
// list accepts any. The list moved behind avcodec_get_supported_config in 7.1.
inline bool encoderAcceptsSampleFormat(const AVCodec *codec, AVSampleFormat format)
{
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(61, 13, 100)
	const void *configs = nullptr;
	int count = 0;
	if (avcodec_get_supported_config(nullptr, codec, AV_CODEC_CONFIG_SAMPLE_FORMAT, 0, &configs, &count) < 0 ||
	    !configs)
		return true;
	const AVSampleFormat *formats = static_cast<const AVSampleFormat *>(configs);
	for (int index = 0; index < count; ++index) {
		if (formats[index] == format)
			return true;
	}
	return false;
#else
	if (!codec->sample_fmts)
		return true;
	for (const AVSampleFormat *candidate = codec->sample_fmts; *candidate != AV_SAMPLE_FMT_NONE; ++candidate) {
		if (*candidate == format)
			return true;
	}
	return false;
#endif
}

} // namespace tiloran
