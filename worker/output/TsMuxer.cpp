#include "output/TsMuxer.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace tiloran {

namespace {

// Seven TS packets: what one SRT message carries.
constexpr int ioPacketSize = 7 * 188;

// A muxer stream carrying what the encoder produces; null with the message
// on failure.
AVStream *addOutputStream(AVFormatContext *muxer, const AVCodecContext &encoder, const char *creationFailure,
			  const char *parametersFailure, std::string &message)
{
	AVStream *stream = avformat_new_stream(muxer, nullptr);
	if (!stream) {
		message = creationFailure;
		return nullptr;
	}
	stream->time_base = encoder.time_base;
	const int result = avcodec_parameters_from_context(stream->codecpar, &encoder);
	if (result < 0) {
		message = parametersFailure + ffmpegErrorText(result);
		return nullptr;
	}
	return stream;
}

} // namespace

bool TsMuxer::open(const AVCodecContext &videoEncoder, const AVCodecContext &audioEncoder, std::string &message)
{
	AVFormatContext *context = nullptr;
	const int result = avformat_alloc_output_context2(&context, nullptr, "mpegts", nullptr);
	if (result < 0 || !context) {
		message = "Failed to allocate SRT output context: " + ffmpegErrorText(result);
		return false;
	}
	muxer_.reset(context);

	videoStream_ = addOutputStream(context, videoEncoder, "Failed to create output video stream",
				       "Failed to copy encoder parameters to output stream: ", message);
	if (!videoStream_)
		return false;
	audioStream_ = addOutputStream(context, audioEncoder, "Failed to create output audio stream",
				       "Failed to copy AAC encoder parameters to output stream: ", message);
	// The AAC encoder's first packet begins with its priming samples, before
	// time 0. The muxer moves every timestamp past 0 only as the first packet
	// written says, and with packets written as they come that may be a
	// picture's: so both streams move on by the priming, the audio's first
	// packet at 0.
	context->output_ts_offset = av_rescale_q_rnd(audioEncoder.initial_padding, AVRational{ 1, audioEncoder.sample_rate },
						     AVRational{ 1, AV_TIME_BASE }, AV_ROUND_UP);
	return audioStream_ != nullptr;
}

bool TsMuxer::start(OutputSink &sink, const std::string &shownUri, std::string &message)
{
	sink_ = &sink;
	uint8_t *buffer = static_cast<uint8_t *>(av_malloc(ioPacketSize));
	if (buffer)
		io_.reset(avio_alloc_context(buffer, ioPacketSize, 1, this, nullptr, &TsMuxer::writeToSink, nullptr));
	if (!io_) {
		av_free(buffer);
		message = "Failed to open SRT output '" + shownUri + "': " + ffmpegErrorText(AVERROR(ENOMEM));
		return false;
	}
	io_->max_packet_size = ioPacketSize;
	AVFormatContext *context = muxer_.get();
	context->pb = io_.get();
	context->flags |= AVFMT_FLAG_CUSTOM_IO;
	// Each packet leaves whole when it is written: a picture's last transport
	// packets would otherwise wait for the next packet's to fill the buffer,
	// up to a picture time. The sink still gets whole TS packets, up to seven
	// a call.
	context->flush_packets = 1;
	// A video PES that says its length (up to 64 KiB, larger ones cannot)
	// lets a receiver's demuxer hand the picture on with its last packet,
	// instead of at the next picture's start, a picture time later.
	av_opt_set_int(context->priv_data, "omit_video_pes_length", 0, 0);
	// Each AAC frame its own PES, written at once: by default the muxer
	// gathers audio up to 2930 bytes, and with no delay allowed holds each
	// frame until the next one comes, some 20 to 40 ms. A payload size of 0
	// is 170 bytes to FFmpeg: a smaller frame (below some 64 kbit/s) still
	// waits for the next.
	av_opt_set_int(context->priv_data, "pes_payload_size", 0, 0);

	const int result = avformat_write_header(context, nullptr);
	if (result < 0) {
		message = "Failed to write SRT output header: " + ffmpegErrorText(result);
		return false;
	}
	return true;
}

int TsMuxer::writeToSink(void *opaque, AvioWriteBuffer bytes, int size)
{
	TsMuxer &muxer = *static_cast<TsMuxer *>(opaque);
	if (!muxer.sink_->write(bytes, static_cast<std::size_t>(size), muxer.sinkError_))
		return AVERROR(EIO);
	return size;
}

PacketFate TsMuxer::write(MuxedStream stream, AVPacket *packet, AVRational timeBase, int64_t &pts,
			  std::string &message)
{
	const bool isVideo = stream == MuxedStream::Video;
	// An encoder that holds pictures back may still give ones from before the
	// key picture asked for; a receiver connected anew could not decode them.
	if (isVideo && awaitingKeyPicture_) {
		if (!(packet->flags & AV_PKT_FLAG_KEY)) {
			av_packet_unref(packet);
			return PacketFate::Dropped;
		}
		awaitingKeyPicture_ = false;
	}
	AVStream *muxed = isVideo ? videoStream_ : audioStream_;
	av_packet_rescale_ts(packet, timeBase, muxed->time_base);
	packet->stream_index = muxed->index;
	pts = packet->pts;
	// In the order the encoders give them, each at once: FFmpeg's interleaving
	// would hold every picture until the audio had caught up with its time,
	// which the AAC encoder's frame and look-ahead keep some 30 ms (up to two
	// pictures) behind. The transport stream needs no interleaving: each PES
	// carries its own timestamps, and the audio trails its picture by less
	// than a decoder's buffer holds.
	const int result = av_write_frame(muxer_.get(), packet);
	av_packet_unref(packet);
	if (result < 0) {
		// The sink's own reason says more than the muxer's error code.
		message = std::string(isVideo ? "Failed to write encoded packet to SRT output: "
					      : "Failed to write encoded AAC packet to SRT output: ") +
			  (sinkError_.empty() ? ffmpegErrorText(result) : sinkError_);
		return PacketFate::Failed;
	}
	return PacketFate::Written;
}

void TsMuxer::restart(AVFrame *picture, bool dropEarlierPictures)
{
	// What the muxer still holds belongs to before the restart: it goes out
	// into the sink while that still drops it or writes it to its last file.
	av_write_frame(muxer_.get(), nullptr);
	avio_flush(muxer_->pb);
	sink_->beginRestart();
	av_opt_set(muxer_.get(), "mpegts_flags", "+resend_headers", AV_OPT_SEARCH_CHILDREN);
	picture->pict_type = AV_PICTURE_TYPE_I;
	awaitingKeyPicture_ = awaitingKeyPicture_ || dropEarlierPictures;
}

bool TsMuxer::writeTrailer(std::string &message)
{
	const int result = av_write_trailer(muxer_.get());
	if (result < 0) {
		message = "Failed to write SRT output trailer: " + ffmpegErrorText(result);
		return false;
	}
	return true;
}

} // namespace tiloran
