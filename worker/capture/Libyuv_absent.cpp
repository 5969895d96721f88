#include "capture/Libyuv.h"

namespace tiloran {

bool libyuvAvailable()
{
	return false;
}

bool libyuvUyvyToNv12(const uint8_t *, int, uint8_t *, int, uint8_t *, int, int, int)
{
	return false;
}

} // namespace tiloran
