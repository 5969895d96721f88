#include "capture/SourceCapture.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include "capture/PictureConverter.h"
#include "common/ConsoleLine.h"
#include "common/PrintableText.h"

namespace tiloran {

namespace {

using Clock = std::chrono::steady_clock;

// An input that delivers no picture for this many picture times has no signal.
constexpr double signalLostPictures = 10;
constexpr size_t kAudioQueueLimit = 64;

// The pair's two channels of an audio frame of packed signed 16-bit samples,
// as a stereo frame with its properties.
FrameHolder stereoOf(const AVFrame *audio, AudioChannelPair pair)
{
	FrameHolder stereo = allocateFrame();
	if (!stereo)
		return nullptr;
	stereo->format = AV_SAMPLE_FMT_S16;
	stereo->sample_rate = audio->sample_rate;
	stereo->nb_samples = audio->nb_samples;
	av_channel_layout_default(&stereo->ch_layout, 2);
	if (av_frame_get_buffer(stereo.get(), 0) < 0 || av_frame_copy_props(stereo.get(), audio) < 0)
		return nullptr;
	const int channels = audio->ch_layout.nb_channels;
	const auto *samples = reinterpret_cast<const int16_t *>(audio->data[0]);
	auto *out = reinterpret_cast<int16_t *>(stereo->data[0]);
	for (int index = 0; index < audio->nb_samples; ++index) {
		const int16_t *sampleFrame = samples + static_cast<ptrdiff_t>(index) * channels;
		out[2 * index] = sampleFrame[pair.left - 1];
		out[2 * index + 1] = sampleFrame[pair.right - 1];
	}
	return stereo;
}

std::string channelsText(AudioChannelPair pair)
{
	return std::to_string(pair.left) + " and " + std::to_string(pair.right);
}
} // namespace

// The hand-over between the source's thread and the main thread; the sink
// the source delivers into.
struct SourceCapture::State final : CaptureSink {
	explicit State(SourceInputOpener opener) : openInput(std::move(opener)) {}

	void pictureArrived(FrameHolder picture, bool hasSignal) override;
	void audioArrived(FrameHolder audio) override;
	void formatChanged(const CaptureFormat &newFormat) override;
	void sourceFailed(const std::string &message) override;

	// The signal now and, when a format that does not fit is why there is
	// none, that format's text (else empty).
	InputSignal signalLocked(Clock::time_point now, std::string &misfit) const;
	std::string label() const
	{
		return "quadrant " + std::to_string(quadrant.id) + " (" + printableText(quadrant.name) + ")";
	}

	SourceInputOpener openInput;
	std::unique_ptr<CaptureSource> source;
	CaptureKind kind = CaptureKind::TestPattern;

	QuadrantConfig quadrant;
	bool isMaster = false;
	AudioChannelPair audioChannels;
	CaptureFormat format;
	// The size pictures must have; the source's own unless told otherwise.
	int32_t width = 0;
	int32_t height = 0;
	PictureConverter converter;
	// Ten picture times of the input.
	Clock::duration signalTimeout = std::chrono::milliseconds(400);
	SignalListener listener;

	// The newest picture, its timestamps in worker time. It holds a
	// reference, not a copy: no source writes into a picture it has handed
	// out.
	FrameHolder latestPicture;
	// The main thread's reference to the picture it converts, taken under the
	// mutex so that the conversion runs outside it.
	FrameHolder takenPicture;
	Clock::time_point latestArrival;
	Clock::time_point takenArrival;
	int64_t frameCounter = 0;
	std::deque<FrameHolder> audioQueue;

	// Guards everything the source's thread touches.
	std::mutex mutex;
	std::condition_variable condition;
	bool running = false;
	bool waitInterrupted = false;
	std::string error;
	// What error is: a master's change of format, or another failure.
	EventCode errorCode = EventCode::InputFailed;
	Clock::time_point startedAt;
	// The last picture the source delivered, taken or not: when, and
	// whether it came with a signal.
	Clock::time_point lastDelivery;
	bool lastHadSignal = false;
	bool delivered = false;
	// When the input's format last changed: its pictures start anew.
	Clock::time_point changedAt;
	// The input's format does not fit: its text, or empty.
	std::string mismatch;
	// The input changed back to a format that fits; the mismatch stands
	// until the first picture of it.
	bool refitting = false;
	// What was last reported, and that it is being reported: changes are
	// reported one at a time, in order.
	InputSignal reportedSignal = InputSignal::Unknown;
	std::string reportedMismatch;
	std::mutex reportMutex;
};

SourceCapture::SourceCapture(SourceInputOpener openInput)
	: state_(std::make_unique<State>(std::move(openInput)))
{
}

SourceCapture::~SourceCapture()
{
	// The source's thread is done with the state once stop returns.
	if (state_->source)
		state_->source->stop();
	state_->audioQueue.clear();
	state_->latestPicture.reset();
	state_->takenPicture.reset();
	state_->source.reset();
}

bool SourceCapture::open(const QuadrantConfig &quadrant, bool isMaster, std::string &message)
{
	State &state = *state_;
	state.quadrant = quadrant;
	state.isMaster = isMaster;
	const std::string label =
		"quadrant " + std::to_string(quadrant.id) + " (" + printableText(quadrant.source_name) + ")";

	state.kind = captureKindFor(quadrant);
	printLine("[SourceCapture] Capture for " + label + ": " + captureKindText(state.kind));
	state.source = makeCaptureSource(state.kind, state.openInput, isMaster ? state.audioChannels.channelsNeeded() : 2);
	if (!state.source->open(quadrant, isMaster, state.format, message))
		return false;
	const AudioChannelPair &pair = state.audioChannels;
	if (isMaster && (pair.left > state.format.channels || pair.right > state.format.channels)) {
		message = "Master source '" + quadrant.source_name + "' has " + std::to_string(state.format.channels) +
			  " audio channels, not channels " + channelsText(pair);
		return false;
	}

	const CaptureFormat &format = state.format;
	const double rate = format.frameRate.num > 0 && format.frameRate.den > 0 ? av_q2d(format.frameRate) : 25.0;
	state.signalTimeout = std::chrono::duration_cast<Clock::duration>(
		std::chrono::duration<double>(signalLostPictures / rate));
	if (!expectSize(format.width, format.height, message))
		return false;
	printLine("[SourceCapture] Worker pixel format for " + label + ": nv12");
	if (isMaster)
		printLine("[SourceCapture] Master audio stream for " + label + ": " + format.audioText);

	state.latestPicture = allocateFrame();
	state.takenPicture = allocateFrame();
	if (!state.latestPicture || !state.takenPicture) {
		message = "Failed to allocate frame";
		return false;
	}
	return true;
}

bool SourceCapture::expectSize(int32_t width, int32_t height, std::string &message)
{
	State &state = *state_;
	if (width <= 0 || height <= 0) {
		message = "Invalid source video size";
		return false;
	}
	if (!state.converter.open(width, height, state.format.pixelFormat, message))
		return false;
	state.width = width;
	state.height = height;
	return true;
}

CaptureKind SourceCapture::kind() const
{
	return state_->kind;
}

bool SourceCapture::signalAtOpen() const
{
	return state_->format.signalAtOpen;
}

int32_t SourceCapture::width() const
{
	return state_->width;
}

int32_t SourceCapture::height() const
{
	return state_->height;
}

AVRational SourceCapture::frameRate() const
{
	return state_->format.frameRate;
}

AVRational SourceCapture::timeBase() const
{
	return state_->format.timeBase;
}

int32_t SourceCapture::fieldOrder() const
{
	return state_->format.fieldOrder;
}

int32_t SourceCapture::sampleRate() const
{
	return state_->format.sampleRate;
}

int32_t SourceCapture::audioChannels() const
{
	return state_->format.channels;
}

void SourceCapture::setAudioChannels(AudioChannelPair pair)
{
	state_->audioChannels = pair;
}

const QuadrantConfig &SourceCapture::quadrant() const
{
	return state_->quadrant;
}

EventCode SourceCapture::failureCode() const
{
	std::lock_guard<std::mutex> lock(state_->mutex);
	return state_->errorCode;
}

void SourceCapture::setSignalListener(SignalListener listener)
{
	state_->listener = std::move(listener);
}

bool SourceCapture::start(std::string &message)
{
	State &state = *state_;
	if (!state.source || !state.latestPicture) {
		message = "SourceCapture is not open";
		return false;
	}
	{
		std::lock_guard<std::mutex> lock(state.mutex);
		if (state.running) {
			message = "SourceCapture is already running";
			return false;
		}
		state.error.clear();
		state.running = true;
		state.startedAt = Clock::now();
	}
	if (!state.source->start(state, message)) {
		std::lock_guard<std::mutex> lock(state.mutex);
		state.running = false;
		return false;
	}
	return true;
}

void SourceCapture::State::pictureArrived(FrameHolder picture, bool hasSignal)
{
	const bool fits = picture->width == width && picture->height == height;
	{
		std::lock_guard<std::mutex> lock(mutex);
		const Clock::time_point now = Clock::now();
		delivered = true;
		lastDelivery = now;
		lastHadSignal = hasSignal;
		if (fits) {
			// A picture of the right size with a signal ends a mismatch;
			// one without (a card's in its previous mode) does not, unless
			// the input has changed to the format that fits.
			if (hasSignal || refitting) {
				mismatch.clear();
				refitting = false;
			}
			av_frame_unref(latestPicture.get());
			av_frame_move_ref(latestPicture.get(), picture.get());
			latestArrival = now;
			++frameCounter;
		} else if (hasSignal && isMaster) {
			errorCode = EventCode::InputFormatChanged;
			error = "Master input format changed: " +
				captureFormatText(picture->width, picture->height, frameIsInterlaced(picture.get()),
						  format.frameRate);
			running = false;
		} else if (hasSignal && mismatch.empty()) {
			// A format change named the whole format already.
			mismatch = std::to_string(picture->width) + "x" + std::to_string(picture->height);
		}
	}
	condition.notify_all();
}

void SourceCapture::State::audioArrived(FrameHolder audio)
{
	if (!isMaster)
		return;
	// Stereo of channels 1 and 2 goes on as it came.
	const int channels = audio->ch_layout.nb_channels;
	if (channels != 2 || audioChannels != AudioChannelPair{}) {
		if (audioChannels.left > channels || audioChannels.right > channels) {
			sourceFailed("Master audio of source '" + quadrant.source_name + "' has " + std::to_string(channels) +
				     " channels, not channels " + channelsText(audioChannels));
			return;
		}
		audio = stereoOf(audio.get(), audioChannels);
		if (!audio) {
			sourceFailed("Failed to allocate master audio frame");
			return;
		}
	}
	std::lock_guard<std::mutex> lock(mutex);
	if (audioQueue.size() >= kAudioQueueLimit)
		audioQueue.pop_front();
	audioQueue.push_back(std::move(audio));
}

void SourceCapture::State::formatChanged(const CaptureFormat &newFormat)
{
	{
		std::lock_guard<std::mutex> lock(mutex);
		// Following the signal into its new mode takes the input a moment
		// without pictures, which is no stall.
		changedAt = Clock::now();
		if (isMaster) {
			errorCode = EventCode::InputFormatChanged;
			error = "Master input format changed: " + newFormat.text;
			running = false;
		} else if (newFormat.width != width || newFormat.height != height) {
			mismatch = newFormat.text;
			refitting = false;
		} else if (!mismatch.empty()) {
			// Restored once a picture shows it, not before.
			refitting = true;
		}
	}
	condition.notify_all();
}

void SourceCapture::State::sourceFailed(const std::string &message)
{
	{
		std::lock_guard<std::mutex> lock(mutex);
		if (error.empty()) {
			error = message;
			errorCode = EventCode::InputFailed;
		}
		running = false;
	}
	condition.notify_all();
}

InputSignal SourceCapture::State::signalLocked(Clock::time_point now, std::string &misfit) const
{
	// A stall: no picture for ten picture times since the last one, the
	// start or the last change of format, whichever came last.
	const bool stalled = now - std::max(delivered ? lastDelivery : startedAt, changedAt) > signalTimeout;
	// An input back in a format that fits stays the one that did not fit
	// until its first picture, or until it stalls.
	misfit = refitting && stalled ? std::string() : mismatch;
	if (!misfit.empty())
		return InputSignal::None;
	if (!delivered)
		return running && stalled ? InputSignal::None : InputSignal::Unknown;
	if (stalled)
		return InputSignal::None;
	// A picture with a signal was either published or made a mismatch, so
	// with a signal there is a picture to take.
	return lastHadSignal ? InputSignal::Ok : InputSignal::None;
}

InputSignal SourceCapture::checkSignal()
{
	State &state = *state_;
	std::lock_guard<std::mutex> reporting(state.reportMutex);
	InputSignal signal;
	std::string mismatch;
	{
		std::lock_guard<std::mutex> lock(state.mutex);
		signal = state.signalLocked(Clock::now(), mismatch);
	}
	if (signal == state.reportedSignal && mismatch == state.reportedMismatch)
		return signal;

	std::string level;
	std::string text;
	EventCode code = EventCode::InputSignalLost;
	if (!mismatch.empty()) {
		code = EventCode::InputFormatMismatch;
		level = "warning";
		text = "Input on " + state.label() + ": format does not match the master (" + mismatch + ")";
	} else if (signal == InputSignal::None) {
		level = "warning";
		text = "Input lost on " + state.label();
	} else if (signal == InputSignal::Ok && state.reportedSignal == InputSignal::None) {
		code = EventCode::InputSignalRestored;
		level = "info";
		text = "Input restored on " + state.label();
	}
	state.reportedSignal = signal;
	state.reportedMismatch = mismatch;
	if (!text.empty()) {
		printLine("[SourceCapture] " + text);
		if (state.listener)
			state.listener(code, level, text);
	}
	return signal;
}

bool SourceCapture::convertTakenPicture(const Nv12View &target, AVFrame *properties, std::string &message)
{
	State &state = *state_;
	AVFrame *taken = state.takenPicture.get();
	bool converted = state.converter.convert(taken, target, message);
	if (converted && properties) {
		const int result = replaceFrameProps(properties, taken);
		if (result < 0) {
			message = "Failed to copy latest source frame props: " + ffmpegErrorText(result);
			converted = false;
		}
	}
	// The source's picture is not held past the conversion.
	av_frame_unref(taken);
	return converted;
}

bool SourceCapture::convertTakenPicture(AVFrame *destination, std::string &message)
{
	State &state = *state_;
	int result = 0;
	if (destination->format != AV_PIX_FMT_NV12 || destination->width != state.width ||
	    destination->height != state.height || !destination->data[0]) {
		av_frame_unref(destination);
		result = allocateNv12Buffer(destination, state.width, state.height);
	} else {
		result = av_frame_make_writable(destination);
	}
	if (result < 0) {
		av_frame_unref(state.takenPicture.get());
		message = "Failed to make destination frame writable: " + ffmpegErrorText(result);
		return false;
	}
	return convertTakenPicture(nv12ViewOf(destination), destination, message);
}

bool SourceCapture::takeLatestLocked(std::string &message)
{
	const int result = av_frame_ref(state_->takenPicture.get(), state_->latestPicture.get());
	if (result < 0) {
		message = "Failed to reference latest source frame: " + ffmpegErrorText(result);
		return false;
	}
	state_->takenArrival = state_->latestArrival;
	return true;
}

void SourceCapture::interruptWait()
{
	{
		std::lock_guard<std::mutex> lock(state_->mutex);
		state_->waitInterrupted = true;
	}
	state_->condition.notify_all();
}

std::chrono::steady_clock::time_point SourceCapture::takenArrival() const
{
	return state_->takenArrival;
}

SourceCapture::Statistics SourceCapture::statistics()
{
	const InputSignal signal = checkSignal();
	std::lock_guard<std::mutex> lock(state_->mutex);
	return { state_->frameCounter, state_->latestArrival, signal };
}

WaitResult SourceCapture::waitForFrame(int64_t afterCounter, const Nv12View &target, AVFrame *properties,
				       int64_t &counter, std::string &message)
{
	const WaitOutcome waited = waitForPicture(afterCounter, counter, message);
	if (waited != WaitOutcome::Frame)
		return { waited };
	return { convertTakenPicture(target, properties, message) ? WaitOutcome::Frame : WaitOutcome::Failed };
}

WaitResult SourceCapture::waitForFrame(int64_t afterCounter, AVFrame *destination, int64_t &counter,
				       std::string &message)
{
	const WaitOutcome waited = waitForPicture(afterCounter, counter, message);
	if (waited != WaitOutcome::Frame)
		return { waited };
	return { convertTakenPicture(destination, message) ? WaitOutcome::Frame : WaitOutcome::Failed };
}

WaitOutcome SourceCapture::waitForPicture(int64_t afterCounter, int64_t &counter, std::string &message)
{
	State &state = *state_;
	std::unique_lock<std::mutex> lock(state.mutex);
	state.condition.wait(lock, [&] {
		return state.frameCounter > afterCounter || !state.error.empty() || !state.running ||
		       state.waitInterrupted;
	});
	if (state.waitInterrupted)
		return WaitOutcome::Interrupted;
	if (!state.error.empty()) {
		message = state.error;
		return WaitOutcome::Failed;
	}
	if (state.frameCounter == 0) {
		message = "Source stopped before producing a frame: " + state.quadrant.source_name;
		return WaitOutcome::Failed;
	}
	if (!takeLatestLocked(message))
		return WaitOutcome::Failed;
	counter = state.frameCounter;
	return WaitOutcome::Frame;
}

bool SourceCapture::hasFrame() const
{
	std::lock_guard<std::mutex> lock(state_->mutex);
	return state_->frameCounter > 0;
}

bool SourceCapture::copyLatestFrame(const Nv12View &target, std::string &message)
{
	return takeLatest(message) && convertTakenPicture(target, nullptr, message);
}

bool SourceCapture::copyLatestFrame(AVFrame *destination, std::string &message)
{
	return takeLatest(message) && convertTakenPicture(destination, message);
}

bool SourceCapture::takeLatest(std::string &message)
{
	State &state = *state_;
	std::lock_guard<std::mutex> lock(state.mutex);
	if (!state.error.empty()) {
		message = state.error;
		return false;
	}
	if (state.frameCounter == 0) {
		message = "Source has no frame yet: " + state.quadrant.source_name;
		return false;
	}
	return takeLatestLocked(message);
}

bool SourceCapture::popAudioFrame(AVFrame *destination, bool &got, std::string &message)
{
	State &state = *state_;
	got = false;
	std::lock_guard<std::mutex> lock(state.mutex);
	if (!state.error.empty()) {
		message = state.error;
		return false;
	}
	if (!state.isMaster || state.audioQueue.empty())
		return true;

	av_frame_unref(destination);
	const int result = av_frame_ref(destination, state.audioQueue.front().get());
	if (result < 0) {
		message = "Failed to reference decoded audio frame: " + ffmpegErrorText(result);
		return false;
	}
	state.audioQueue.pop_front();
	got = true;
	return true;
}

} // namespace tiloran
