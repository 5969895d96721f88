#pragma once

#include <memory>

#include "capture/CaptureSource.h"
#include "capture/SourceInput.h"

namespace tiloran {

// A source read through FFmpeg: a card through the "decklink" input device or
// a test pattern, opened by openInput; a card with audioChannels embedded
// channels. A capture thread of its own reads the
// input, decodes its video (and, for the master, its audio) and hands every
// picture and audio frame to the sink. stop takes effect once the read in
// progress returns.
//
// Threads: the owner's thread calls open, start and stop; the capture thread
// calls the sink. The destructor stops and joins the thread.
class FfmpegCaptureSource final : public CaptureSource
{
public:
	FfmpegCaptureSource(SourceInputOpener openInput, int32_t audioChannels);
	~FfmpegCaptureSource() override;

	bool open(const QuadrantConfig &quadrant, bool isMaster, CaptureFormat &format,
		  std::string &message) override;
	bool start(CaptureSink &sink, std::string &message) override;
	void stop() override;

private:
	struct State;
	std::unique_ptr<State> state_;
};

} // namespace tiloran
