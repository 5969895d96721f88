#pragma once

#include <cstdint>
#include <string>

#include "media/FfmpegSupport.h"
#include "output/EncoderLoop.h"

namespace tiloran {

// The stereo AAC encoder of the master's audio: FFmpeg's AAC encoder on
// planar float samples, its time base the worker's. Its frame size is what
// the AAC framer cuts the samples into (AacFramer.h).
//
// Threads: open on the main thread before the output thread starts; encode
// on the output thread alone from then on; context on any thread after open.
class AacEncoder
{
public:
	bool open(int32_t sampleRate, int64_t bitsPerSecond, std::string &message);
	// One frame of the encoder's frame size, or none to flush; each packet
	// goes to handle.
	bool encode(const AVFrame *frame, const PacketHandler &handle, std::string &message);

	const AVCodecContext &context() const { return *context_; }

private:
	CodecContextHolder context_;
};

} // namespace tiloran
