#include "capture/CaptureSource.h"

extern "C" {
#include <libavdevice/avdevice.h>
}

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "capture/DriverCaptureSource.h"
#include "capture/FfmpegCaptureSource.h"

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

CaptureKind captureKindFor(const QuadrantConfig &quadrant)
{
	if (std::string_view(quadrant.source_id).starts_with("test-"))
		return CaptureKind::TestPattern;
	const char *chosen = std::getenv("TILORAN_CAPTURE");
	if (chosen && std::string_view(chosen) == "ffmpeg")
		return CaptureKind::FfmpegDevice;
	if (chosen && std::string_view(chosen) == "driver")
		return CaptureKind::Driver;
	avdevice_register_all();
	return av_find_input_format("decklink") ? CaptureKind::FfmpegDevice : CaptureKind::Driver;
}

const char *captureKindText(CaptureKind kind)
{
	switch (kind) {
	case CaptureKind::TestPattern:
		return "test pattern";
	case CaptureKind::FfmpegDevice:
		return "FFmpeg DeckLink input";
	case CaptureKind::Driver:
		return "DeckLink driver";
	}
	return "unknown";
}

std::unique_ptr<CaptureSource> makeCaptureSource(CaptureKind kind, SourceInputOpener openInput,
						 int32_t audioChannels)
{
	if (kind == CaptureKind::Driver)
		return std::make_unique<DriverCaptureSource>();
	return std::make_unique<FfmpegCaptureSource>(std::move(openInput), audioChannels);
}

} // namespace tiloran
