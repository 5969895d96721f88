#pragma once

#include <functional>
#include <string>

#include "media/FfmpegSupport.h"

namespace tiloran {

// The texts of one encoder's failures; each but the allocation one is
// followed by the FFmpeg error text.
struct EncoderMessages {
	const char *send;
	const char *allocate;
	const char *receive;
};

// Takes one packet of an encoder, its timestamps in the encoder's time base;
// the packet is emptied after. False, with the reason, ends the encoding.
using PacketHandler = std::function<bool(AVPacket *packet, std::string &message)>;

// Sends frame (or, with none, the end of the stream) to an opened encoder and
// hands every packet it gives back to handle, in order.
bool encodeFrame(AVCodecContext *encoder, const AVFrame *frame, const EncoderMessages &messages,
		 const PacketHandler &handle, std::string &message);

} // namespace tiloran
