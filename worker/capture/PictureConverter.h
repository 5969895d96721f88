#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "media/Nv12Layout.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace tiloran {

// Converts a source's pictures to NV12 of the same size, straight into a
// place the caller names (Nv12View): a tile inside the composed picture.
//
// UYVY pictures (what cards and the test inputs deliver) go through a direct
// conversion: libyuv's UYVYToNV12 where the build has libyuv, otherwise
// swscale's two unscaled steps (UYVY to planar 4:2:0, planar to NV12). Both
// take each chroma sample as the average of the two lines it covers; neither
// mixes more lines than that. Any other format goes through swscale's
// bilinear scaler.
//
// An interlaced picture is converted one field at a time, each as a picture of
// its own in every other row of the target, so that chroma never mixes the
// two fields. A picture whose height is not a multiple of 4 has fields whose
// chroma rows do not interleave and is converted as one picture.
//
// Threads: one thread at a time.
class PictureConverter
{
public:
	PictureConverter();
	~PictureConverter();
	PictureConverter(PictureConverter &&) noexcept;
	PictureConverter &operator=(PictureConverter &&) noexcept;

	// For pictures of width x height in sourceFormat; an opened converter is
	// opened anew. Without useLibyuv, UYVY takes swscale's direct steps.
	bool open(int32_t width, int32_t height, AVPixelFormat sourceFormat, std::string &message,
		  bool useLibyuv = true);
	// Writes the picture's pixels into target, which must be of its size.
	bool convert(const AVFrame *picture, const Nv12View &target, std::string &message);
	// Which conversion open chose: "libyuv", "swscale direct" or "swscale bilinear".
	const char *path() const;

	// Whether this build converts UYVY through libyuv.
	static bool hasLibyuv();

private:
	struct State;
	std::unique_ptr<State> state_;
};

} // namespace tiloran
