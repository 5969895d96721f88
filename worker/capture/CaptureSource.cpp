#include "capture/CaptureSource.h"

#include <cstdio>

namespace tiloran {

std::string captureFormatText(int32_t width, int32_t height, bool interlaced, AVRational frameRate)
{
	std::string text = std::to_string(width) + "x" + std::to_string(height) + (interlaced ? "i" : "p");
	// Interlaced modes are named by their fields per second.
	const AVRational rate = interlaced ? av_mul_q(frameRate, AVRational{ 2, 1 }) : frameRate;
	if (rate.num < 1 || rate.den < 1)
		return text + "?";
	if (rate.num % rate.den == 0)
		return text + std::to_string(rate.num / rate.den);
	char decimals[32];
	std::snprintf(decimals, sizeof(decimals), "%.2f", av_q2d(rate));
	return text + decimals;
}

} // namespace tiloran
