#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "FfmpegSupport.h"
#include "SourceInput.h"
#include "WorkerConfig.h"

namespace tiloran {

// One capture input of the worker. It decodes the input's video (and, for the
// master quadrant, its embedded audio) on a capture thread of its own and
// keeps the newest decoded picture. A picture is converted to NV12 at the
// source's own size when it is taken, straight into the caller's frame, so
// the pictures a live output skips cost nothing beyond their capture. The
// master's decoded audio waits in a queue of at most 64 frames, the oldest
// dropped first.
//
// Threads: the worker's main thread calls every operation; a conversion runs
// within the call that takes the picture, spread over the converter's own
// slice threads. The capture thread is internal. Only waitForFrame blocks,
// until a newer picture is published or the capture thread ends; the
// destructor asks the thread to stop, which takes effect once the read in
// progress returns, and joins it.
class SourceCapture
{
public:
	explicit SourceCapture(SourceInputOpener openInput = openSourceInput);
	~SourceCapture();
	SourceCapture(const SourceCapture &) = delete;
	SourceCapture &operator=(const SourceCapture &) = delete;

	// Opens the input, its decoders, the conversion to NV12 and the buffers.
	bool open(const QuadrantConfig &quadrant, bool isMaster, std::string &message);

	// Properties of the opened source; only open writes them.
	int32_t width() const;
	int32_t height() const;
	// The stream's average frame rate, or its real base rate when the average
	// is not set.
	AVRational frameRate() const;
	AVRational timeBase() const;
	// FFmpeg's field order value (AV_FIELD_*).
	int32_t fieldOrder() const;
	// The master's audio sample rate; 0 for other sources.
	int32_t sampleRate() const;
	const QuadrantConfig &quadrant() const;

	bool start(std::string &message);

	// Waits until a picture newer than the given counter has been published,
	// then copies the newest one into destination (NV12 of the source's size)
	// and sets counter to its number. Pictures published in between are
	// skipped. Fails with the capture thread's error, or when the thread ended
	// without publishing anything.
	bool waitForFrame(int64_t afterCounter, AVFrame *destination, int64_t &counter,
			  std::string &message);
	// Ends a waitForFrame in progress, and every later one, with failure and
	// an empty message. Any thread.
	void interruptWait();
	// When the picture taken last arrived from the input.
	std::chrono::steady_clock::time_point takenArrival() const;
	bool hasFrame() const;
	// Copies the newest picture without waiting.
	bool copyLatestFrame(AVFrame *destination, std::string &message);
	// Moves the oldest queued audio frame into destination (by reference);
	// got stays false when none is queued.
	bool popAudioFrame(AVFrame *destination, bool &got, std::string &message);

	struct Statistics {
		// Pictures the input delivered so far.
		int64_t pictures = 0;
		// When the newest one arrived; unset before the first.
		std::chrono::steady_clock::time_point lastArrival;
	};
	// Any thread.
	Statistics statistics() const;

private:
	struct State;

	void captureLoop();
	bool handleAudioPacket(std::string &error);
	bool handleVideoPacket(bool &firstFrameLogged, std::string &error);
	bool publishFrame(std::string &error);
	bool queueAudioFrame(std::string &error);
	bool takeLatestLocked(std::string &message);
	bool convertTakenPicture(AVFrame *destination, std::string &message);

	std::unique_ptr<State> state_;
};

} // namespace tiloran
