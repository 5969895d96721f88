#pragma once

#include <cstdint>

namespace tiloran {

// The part of libyuv the worker uses, for builds that may not have it
// (Libyuv_found.cpp or Libyuv_absent.cpp, chosen by the build).

// Whether this build has libyuv.
bool libyuvAvailable();

// UYVY to NV12 of the same size, each chroma sample the rounded average of
// its two lines. False without libyuv or when libyuv refuses the sizes.
bool libyuvUyvyToNv12(const uint8_t *source, int sourceStride, uint8_t *luma, int lumaStride, uint8_t *chroma,
		      int chromaStride, int width, int height);

} // namespace tiloran
