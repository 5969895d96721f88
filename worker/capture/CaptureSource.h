#pragma once

// The seam between SourceCapture, which keeps the newest picture of an input
// and converts it when it is taken, and what captures it: FFmpeg's input
// devices (a card through FFmpeg's "decklink" input, or a test pattern) or the
// card's driver directly. A source delivers pictures in its own pixel format
// and audio as signed 16-bit samples of all its embedded channels, both with
// timestamps in worker time (1/90000 s), on a thread of its own or the
// driver's.

#include <cstdint>
#include <string>

#include "config/WorkerConfig.h"
#include "media/FfmpegSupport.h"

namespace tiloran {

// What a source delivers.
struct CaptureFormat {
	int32_t width = 0;
	int32_t height = 0;
	AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;
	AVRational timeBase{ 0, 1 };
	// The average rate, or the real base rate when the average is not set.
	AVRational frameRate{ 0, 1 };
	// FFmpeg's field order value (AV_FIELD_*).
	int32_t fieldOrder = 0;
	// The master's audio: its rate and the embedded channels it delivers;
	// 0 for other sources.
	int32_t sampleRate = 0;
	int32_t channels = 0;
	// The master's audio as the console line shows it: codec, sample format,
	// rate, channels, time base.
	std::string audioText;
	// Whether the input had a signal when it was opened; without one the
	// format is only the one the input was opened in.
	bool signalAtOpen = true;
	// As a broadcast mode is written: "720x576i50", "1280x720p59.94".
	std::string text;
};

// "WIDTHxHEIGHT", "i" and fields per second or "p" and frames per second;
// whole rates as numbers, others with two decimals.
std::string captureFormatText(int32_t width, int32_t height, bool interlaced, AVRational frameRate);

// Receives what a source captures, on the source's thread, one call at a time.
class CaptureSink
{
public:
	// A picture of the source's pixel format, timestamps in worker time.
	// hasSignal is false for the pictures a card goes on delivering without
	// an input signal.
	virtual void pictureArrived(FrameHolder picture, bool hasSignal) = 0;
	// Master only: packed signed 16-bit samples of all the channels it
	// delivers, at least two.
	virtual void audioArrived(FrameHolder audio) = 0;
	// The input's signal changed to another format; its pictures follow.
	virtual void formatChanged(const CaptureFormat &format) = 0;
	// The source delivers no more, for this reason.
	virtual void sourceFailed(const std::string &message) = 0;

protected:
	~CaptureSink() = default;
};

// One input. Threads: the owner's thread calls everything; the sink is called
// on the source's own thread between start and stop.
class CaptureSource
{
public:
	virtual ~CaptureSource() = default;

	// Opens the input and describes it; prints the input's stream format.
	virtual bool open(const QuadrantConfig &quadrant, bool isMaster, CaptureFormat &format,
			  std::string &message) = 0;
	// Delivers into sink from now on.
	virtual bool start(CaptureSink &sink, std::string &message) = 0;
	// Once it returns, the sink is not called any more.
	virtual void stop() = 0;
};

} // namespace tiloran
