#pragma once

// Which kind of source captures a quadrant, and the making of it: the one
// place that knows the implementations of the CaptureSource seam.

#include <cstdint>
#include <memory>

#include "capture/CaptureSource.h"
#include "capture/SourceInput.h"
#include "config/WorkerConfig.h"

namespace tiloran {

enum class CaptureKind {
	// FFmpeg's "lavfi" device making a test pattern (source ids "test-K").
	TestPattern,
	// A card through FFmpeg's "decklink" input device.
	FfmpegDevice,
	// A card through its driver's library.
	Driver,
};

// The kind that captures a quadrant. Cards go through FFmpeg where its build
// has the "decklink" input, else through the driver; the environment
// variable TILORAN_CAPTURE ("ffmpeg" or "driver") chooses for them.
CaptureKind captureKindFor(const QuadrantConfig &quadrant);
const char *captureKindText(CaptureKind kind);

// openInput opens the inputs of the FFmpeg kinds; a card through FFmpeg is
// asked for audioChannels embedded channels (2, 8 or 16). The driver
// captures as many as the card takes.
std::unique_ptr<CaptureSource> makeCaptureSource(CaptureKind kind, SourceInputOpener openInput,
						 int32_t audioChannels);

} // namespace tiloran
