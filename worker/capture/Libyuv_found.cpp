#include "capture/Libyuv.h"

#include <libyuv/planar_functions.h>

namespace tiloran {

bool libyuvAvailable()
{
	return true;
}

bool libyuvUyvyToNv12(const uint8_t *source, int sourceStride, uint8_t *luma, int lumaStride, uint8_t *chroma,
		      int chromaStride, int width, int height)
{
	return libyuv::UYVYToNV12(source, sourceStride, luma, lumaStride, chroma, chromaStride, width, height) == 0;
}

} // namespace tiloran
