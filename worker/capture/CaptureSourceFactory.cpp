#include "capture/CaptureSourceFactory.h"

extern "C" {
#include <libavdevice/avdevice.h>
}

#include <cstdlib>
#include <string_view>

#include "capture/DriverCaptureSource.h"
#include "capture/FfmpegCaptureSource.h"

namespace tiloran {

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
