#include "output/EncoderLoop.h"

namespace tiloran {

bool encodeFrame(AVCodecContext *encoder, const AVFrame *frame, const EncoderMessages &messages,
		 const PacketHandler &handle, std::string &message)
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
		const bool handled = handle(packet.get(), message);
		av_packet_unref(packet.get());
		if (!handled)
			return false;
	}
}

} // namespace tiloran
