#pragma once

#include <memory>

#include "capture/CaptureSource.h"

namespace tiloran {

// A card captured through its driver's library (common/platform/DeckLinkInput.h),
// found by the quadrant's source id as discovery names it: 8-bit 4:2:2 video
// with the driver's format detection on and, for the master, 48 kHz 16-bit
// audio of as many embedded channels as the card takes: 16, 8, or 2 where
// the driver does not say. open starts the input and waits a moment for its
// signal to learn its format, the input following its signal into the
// signal's own mode (open fails when the driver refuses that mode); pictures
// reach the sink from start on, on the driver's callback thread, each holding
// a reference to the driver's frame that is dropped when the last FFmpeg
// reference to the picture goes. Pictures
// without signal come with silence in place of whatever audio the driver
// gives, and a master picture without any audio with a picture's worth of
// silence, so that the master's audio never has a hole.
//
// A master follows no format change: it reports it and delivers nothing more.
// Any other input follows the signal to its new format and goes on.
//
// Threads: the owner's thread calls open, start and stop; the driver's
// thread calls the sink. The destructor stops the input and releases it.
class DriverCaptureSource final : public CaptureSource
{
public:
	DriverCaptureSource();
	~DriverCaptureSource() override;

	bool open(const QuadrantConfig &quadrant, bool isMaster, CaptureFormat &format,
		  std::string &message) override;
	bool start(CaptureSink &sink, std::string &message) override;
	void stop() override;

	struct State;

private:
	std::unique_ptr<State> state_;
};

} // namespace tiloran
