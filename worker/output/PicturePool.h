#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "media/FfmpegSupport.h"

namespace tiloran {

// The output's pictures: a fixed number of NV12 pictures of the output size,
// made once; no picture is ever made after. Used last in, first out: while
// the encoder keeps up the same picture is reused, and pictures never needed
// are never touched, so they cost address space rather than memory.
//
// Threads: not synchronised; the output thread's hand-over (OutputThread.h)
// guards it. prepare needs no guard: it touches only the picture taken.
class PicturePool
{
public:
	bool fill(std::size_t count, int32_t width, int32_t height, std::string &message);

	bool empty() const { return pictures_.empty(); }
	FrameHolder take();
	// The first to be taken again.
	void giveBack(FrameHolder picture);

	// Makes a taken picture the taker's to write: an encoder may keep a
	// reference to a picture it was given past the packets it returned; that
	// buffer stays the encoder's, and the picture gets a new one. The taker
	// writes it from start to end, so the old content is of no use.
	bool prepare(AVFrame *picture, std::string &message) const;

private:
	int32_t width_ = 0;
	int32_t height_ = 0;
	std::deque<FrameHolder> pictures_;
};

} // namespace tiloran
