#include "output/PicturePool.h"

#include <utility>

#include "media/Nv12Layout.h"

namespace tiloran {

bool PicturePool::fill(std::size_t count, int32_t width, int32_t height, std::string &message)
{
	width_ = width;
	height_ = height;
	for (std::size_t index = 0; index < count; ++index) {
		FrameHolder picture = allocateFrame();
		if (!picture) {
			message = "Failed to allocate frame";
			return false;
		}
		const int result = allocateNv12Buffer(picture.get(), width, height);
		if (result < 0) {
			message = "Failed to allocate frame buffer: " + ffmpegErrorText(result);
			return false;
		}
		pictures_.push_back(std::move(picture));
	}
	return true;
}

FrameHolder PicturePool::take()
{
	FrameHolder picture = std::move(pictures_.front());
	pictures_.pop_front();
	return picture;
}

void PicturePool::giveBack(FrameHolder picture)
{
	pictures_.push_front(std::move(picture));
}

bool PicturePool::prepare(AVFrame *picture, std::string &message) const
{
	if (av_frame_is_writable(picture))
		return true;
	av_frame_unref(picture);
	const int result = allocateNv12Buffer(picture, width_, height_);
	if (result < 0) {
		message = "Failed to allocate frame buffer: " + ffmpegErrorText(result);
		return false;
	}
	return true;
}

} // namespace tiloran
