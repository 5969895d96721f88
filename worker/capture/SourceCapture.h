#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <functional>

#include "capture/CaptureSource.h"
#include "capture/CaptureSourceFactory.h"
#include "capture/SourceInput.h"
#include "common/protocol/EventCode.h"
#include "config/WorkerConfig.h"
#include "media/FfmpegSupport.h"
#include "media/Nv12Layout.h"

namespace tiloran {

// Whether an input has a signal: unknown until its first picture (or until
// it has been silent for the time it takes to lose a signal).
enum class InputSignal { Unknown, Ok, None };

// What a wait for a picture came to: a picture; an interruption
// (SourceCapture::interruptWait), which is no failure and has nothing to
// report; or a failure, whose reason is in the message. True for a picture
// only, so that a caller that stops at anything else can test it as a
// condition.
enum class WaitOutcome { Frame, Interrupted, Failed };
struct WaitResult {
	WaitOutcome outcome;
	explicit operator bool() const { return outcome == WaitOutcome::Frame; }
};

// One capture input of the worker. A capture source (CaptureSource.h: FFmpeg's
// input devices or the card's driver) delivers the input's pictures (and, for
// the master quadrant, its audio) on a thread of its own; this keeps the
// newest picture. A picture is converted to NV12 at the source's own size when
// it is taken, straight into the place the caller names (its tile in the
// composed picture), so the pictures a live output skips cost nothing beyond
// their capture. PictureConverter.h says how. Of the master's embedded audio
// the chosen pair of channels becomes its stereo, which waits in a queue of
// at most 64 frames, the oldest dropped first.
//
// The input has no signal while the source says so (a card's pictures
// without input), while it has delivered no picture for 10 picture times
// since its last one, its start or its last change of format (a card
// following its signal into another mode is no stall), and, for any input
// but the master, while its pictures are of another size than the one
// expected, until the first picture after it changed back. Each change is a
// console line and goes to the signal listener. A master whose format
// changes fails with "Master input format changed: " and the new format
// (failureCode() tells it from the input's other failures).
//
// Threads: the worker's main thread calls every operation but those marked
// otherwise; a conversion runs within the call that takes the picture. Only waitForFrame blocks,
// until a newer picture is published or the source ends; the destructor stops
// the source (a read in progress ends first) and waits for it.
class SourceCapture
{
public:
	explicit SourceCapture(SourceInputOpener openInput = openSourceInput);
	~SourceCapture();
	SourceCapture(const SourceCapture &) = delete;
	SourceCapture &operator=(const SourceCapture &) = delete;

	// Master only, before open: the embedded channels that become its
	// stereo; channels 1 and 2 unless told otherwise.
	void setAudioChannels(AudioChannelPair pair);
	// Opens the input through the capture kind that suits it, the
	// conversion to NV12 and the buffers. A master whose input lacks the
	// chosen channels is refused.
	bool open(const QuadrantConfig &quadrant, bool isMaster, std::string &message);
	CaptureKind kind() const;
	// Whether the input had a signal when it was opened; without one, its
	// size is only the one it was opened in.
	bool signalAtOpen() const;
	// Pictures of another size than this show as no signal. Before start.
	bool expectSize(int32_t width, int32_t height, std::string &message);

	// Told of each change of signal: its code, level ("info", "warning") and
	// text. Called on whichever thread sees the change. Before start.
	using SignalListener =
		std::function<void(EventCode code, const std::string &level, const std::string &message)>;
	void setSignalListener(SignalListener listener);
	// The signal now; reports a change. Any thread.
	InputSignal checkSignal();
	// What the capture's failure was: InputFormatChanged for the master's
	// change of format, InputFailed for any other. Any thread.
	EventCode failureCode() const;

	// Properties of the opened source; only open writes them.
	int32_t width() const;
	int32_t height() const;
	// The stream's average frame rate, or its real base rate when the average
	// is not set.
	AVRational frameRate() const;
	AVRational timeBase() const;
	// FFmpeg's field order value (AV_FIELD_*).
	int32_t fieldOrder() const;
	// The master's audio sample rate and the embedded channels its input
	// delivers (of which the chosen pair is kept); 0 for other sources.
	int32_t sampleRate() const;
	int32_t audioChannels() const;
	const QuadrantConfig &quadrant() const;

	bool start(std::string &message);

	// Waits until a picture newer than the given counter has been published,
	// then converts the newest one into target (NV12 of the source's size),
	// gives properties the picture's properties (timestamps, interlacing
	// marks, side data; no pixels) and sets counter to its number. Pictures
	// published in between are skipped. Fails with the capture thread's
	// error, or when the thread ended without publishing anything.
	WaitResult waitForFrame(int64_t afterCounter, const Nv12View &target, AVFrame *properties, int64_t &counter,
				std::string &message);
	// The same into a frame of its own, which gets an NV12 buffer of the
	// source's size unless it has a writable one.
	WaitResult waitForFrame(int64_t afterCounter, AVFrame *destination, int64_t &counter,
				std::string &message);
	// Ends a waitForFrame in progress, and every later one, as Interrupted.
	// Any thread.
	void interruptWait();
	// When the picture taken last arrived from the input.
	std::chrono::steady_clock::time_point takenArrival() const;
	bool hasFrame() const;
	// Converts the newest picture without waiting, into target (no
	// properties) or into a frame of its own (with them).
	bool copyLatestFrame(const Nv12View &target, std::string &message);
	bool copyLatestFrame(AVFrame *destination, std::string &message);
	// Moves the oldest queued audio frame (stereo: the chosen pair) into
	// destination (by reference); got stays false when none is queued.
	bool popAudioFrame(AVFrame *destination, bool &got, std::string &message);

	struct Statistics {
		// Pictures the input delivered so far.
		int64_t pictures = 0;
		// When the newest one arrived; unset before the first.
		std::chrono::steady_clock::time_point lastArrival;
		InputSignal signal = InputSignal::Unknown;
	};
	// Any thread; checks the signal.
	Statistics statistics();

private:
	struct State;

	bool takeLatestLocked(std::string &message);
	// Takes the newest picture, waiting (for one newer than afterCounter) or not.
	WaitOutcome waitForPicture(int64_t afterCounter, int64_t &counter, std::string &message);
	bool takeLatest(std::string &message);
	bool convertTakenPicture(const Nv12View &target, AVFrame *properties, std::string &message);
	bool convertTakenPicture(AVFrame *destination, std::string &message);

	std::unique_ptr<State> state_;
};

} // namespace tiloran
