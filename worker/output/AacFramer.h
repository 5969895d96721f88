#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "media/FfmpegSupport.h"

namespace tiloran {

// Cuts the master's audio into the frames its AAC encoder takes: the first
// two channels of each packed signed 16-bit frame, as planar float, in frames
// of the encoder's frame size. The audio clock stamps them: it starts at the
// first frame's pts (0 without one) and then advances by the samples framed,
// so the input's own later timestamps play no part. Samples that do not fill
// a frame wait for the next audio; at the end they are dropped.
//
// Threads: the output thread alone.
class AacFramer
{
public:
	// Frames for encoder (opened, with a frame size), which outlives it.
	explicit AacFramer(const AVCodecContext &encoder);

	// Takes one framed picture of audio (planar float, pts in the worker
	// time base); false with the reason ends the framing.
	using FrameHandler = std::function<bool(const AVFrame *frame, std::string &message)>;
	// Takes a master audio frame (at least two packed 16-bit channels at the
	// encoder's sample rate) and hands every whole frame on.
	bool add(const AVFrame *audio, const FrameHandler &encode, std::string &message);
	// Hands on every whole frame still pending.
	bool framePending(const FrameHandler &encode, std::string &message);

private:
	const AVCodecContext &encoder_;
	// Interleaved left and right samples not framed yet.
	std::vector<int16_t> pendingSamples_;
	// The pts of the next frame, in the worker time base.
	int64_t nextPts_ = 0;
	bool clockStarted_ = false;
};

} // namespace tiloran
