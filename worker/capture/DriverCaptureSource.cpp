#include "capture/DriverCaptureSource.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <utility>

#include "common/ConsoleLine.h"
#include "common/PrintableText.h"
#include "common/DeckLinkDevice.h"
#include "common/platform/DeckLinkDiscovery.h"
#include "common/platform/DeckLinkInput.h"
#include "media/WorkerTime.h"

namespace tiloran {

namespace {

constexpr int kSampleRate = 48000;
constexpr std::uint32_t kPixelFormat8BitYuv = 0x32767579; // '2vuy'

// The mode an input is opened in before its signal is known: the driver
// reports the signal's own mode at once where it differs.
constexpr DeckLinkDisplayMode kOpeningMode = { 0x48693530 /* 'Hi50' */, 1920, 1080, 1000, 25000,
					      DeckLinkDisplayMode::FieldOrder::UpperFirst };
// How long open waits for a picture with signal: that many pictures without
// signal, or that long without any picture.
constexpr int kProbePictures = 25;
constexpr std::chrono::seconds kProbeTime{ 3 };

bool isInterlaced(const DeckLinkDisplayMode &mode)
{
	return mode.fieldOrder == DeckLinkDisplayMode::FieldOrder::UpperFirst ||
	       mode.fieldOrder == DeckLinkDisplayMode::FieldOrder::LowerFirst;
}

CaptureFormat formatOf(const DeckLinkDisplayMode &mode, bool isMaster)
{
	CaptureFormat format;
	format.width = mode.width;
	format.height = mode.height;
	format.pixelFormat = AV_PIX_FMT_UYVY422;
	if (mode.frameDuration > 0 && mode.timeScale > 0) {
		av_reduce(&format.timeBase.num, &format.timeBase.den, mode.frameDuration, mode.timeScale, INT32_MAX);
		format.frameRate = { format.timeBase.den, format.timeBase.num };
	}
	switch (mode.fieldOrder) {
	case DeckLinkDisplayMode::FieldOrder::UpperFirst:
		format.fieldOrder = AV_FIELD_TT;
		break;
	case DeckLinkDisplayMode::FieldOrder::LowerFirst:
		format.fieldOrder = AV_FIELD_BB;
		break;
	case DeckLinkDisplayMode::FieldOrder::Progressive:
		format.fieldOrder = AV_FIELD_PROGRESSIVE;
		break;
	case DeckLinkDisplayMode::FieldOrder::Unknown:
		format.fieldOrder = AV_FIELD_UNKNOWN;
		break;
	}
	if (isMaster)
		format.sampleRate = kSampleRate;
	format.text = captureFormatText(format.width, format.height, isInterlaced(mode), format.frameRate);
	return format;
}

// Drops the picture's reference to the driver's frame with FFmpeg's last
// reference to its bytes.
void releasePicture(void *opaque, uint8_t *)
{
	std::unique_ptr<DeckLinkPictureBytes> bytes(static_cast<DeckLinkPictureBytes *>(opaque));
}

// count sample frames of 16-bit silence in that many channels, at pts.
FrameHolder silence(int count, int channels, int64_t pts)
{
	FrameHolder frame = allocateFrame();
	if (!frame)
		return nullptr;
	frame->format = AV_SAMPLE_FMT_S16;
	frame->sample_rate = kSampleRate;
	frame->nb_samples = count;
	av_channel_layout_default(&frame->ch_layout, channels);
	if (av_frame_get_buffer(frame.get(), 0) < 0)
		return nullptr;
	av_samples_set_silence(frame->data, 0, count, channels, AV_SAMPLE_FMT_S16);
	frame->pts = pts;
	return frame;
}

} // namespace

struct DriverCaptureSource::State final : DeckLinkInputHandler {
	void inputFormatChanged(const DeckLinkDisplayMode &newMode) override;
	void inputFrameArrived(const DeckLinkVideoFrame *picture, const DeckLinkAudioPacket *audio) override;

	FrameHolder wrapPicture(const DeckLinkVideoFrame &picture, const DeckLinkDisplayMode &pictureMode,
				std::string &message) const;
	FrameHolder audioFor(const DeckLinkVideoFrame *picture, const DeckLinkAudioPacket *audio, bool hasSignal) const;

	QuadrantConfig quadrant;
	bool isMaster = false;
	// The master's embedded channels.
	int32_t audioChannels = 0;
	std::unique_ptr<DeckLinkInput> input;

	// Guards what follows; the driver's thread and the owner's meet here.
	std::mutex mutex;
	std::condition_variable probed;
	// The mode the input captures in.
	DeckLinkDisplayMode mode = kOpeningMode;
	// While open waits: pictures seen, whether one had a signal, and why the
	// input could not follow its signal to the signal's mode.
	int probePictures = 0;
	bool signalSeen = false;
	std::string followFailure;
	CaptureSink *sink = nullptr;
	// Nothing more is delivered: the master's format changed or the source failed.
	bool ended = false;
};

DriverCaptureSource::DriverCaptureSource() : state_(std::make_unique<State>())
{
}

DriverCaptureSource::~DriverCaptureSource()
{
	stop();
	state_->input.reset();
}

bool DriverCaptureSource::open(const QuadrantConfig &quadrant, bool isMaster, CaptureFormat &format,
			       std::string &message)
{
	State &state = *state_;
	state.quadrant = quadrant;
	state.isMaster = isMaster;
	{
		DeckLinkDiscovery discovery;
		if (!discovery.isAvailable()) {
			message = "DeckLink driver library is not available: " + DeckLinkDiscovery::driverLocation();
			return false;
		}
		state.input = discovery.openCaptureInput(quadrant.source_id, message);
		if (!state.input)
			return false;
	}
	DeckLinkInput &input = *state.input;
	if (isMaster)
		state.audioChannels = deckLinkCaptureChannels(input.maximumAudioChannels());
	if (!input.enableVideo(kOpeningMode.code, message) ||
	    (isMaster && !input.enableAudio(state.audioChannels, message)) ||
	    !input.start(state, message))
		return false;

	std::unique_lock lock(state.mutex);
	state.probed.wait_for(lock, kProbeTime, [&state] {
		return state.signalSeen || state.probePictures >= kProbePictures || !state.followFailure.empty();
	});
	// An input that cannot be put in its signal's mode would show no signal
	// for as long as it runs.
	if (!state.followFailure.empty()) {
		message = state.followFailure;
		return false;
	}
	format = formatOf(state.mode, isMaster);
	format.channels = state.audioChannels;
	format.signalAtOpen = state.signalSeen;
	lock.unlock();

	printLine("[SourceCapture] DeckLink driver input for quadrant " + std::to_string(quadrant.id) + " (" +
		  printableText(quadrant.source_name) + "): device=" + printableText(input.deviceName()) +
		  " interface=" + printableText(input.interfaceName()) +
		  " mode=" + format.text + " pixel_format=uyvy422 width=" + std::to_string(format.width) +
		  " height=" + std::to_string(format.height) + " time_base=" + rationalText(format.timeBase) +
		  " frame_rate=" + rationalText(format.frameRate) + " field_order=" + std::to_string(format.fieldOrder) +
		  " signal=" + (format.signalAtOpen ? "ok" : "none"));
	if (isMaster)
		format.audioText = "codec=pcm_s16le sample_format=s16 sample_rate=" + std::to_string(kSampleRate) +
				   " channels=" + std::to_string(state.audioChannels) + " time_base=" +
				   rationalText(kWorkerTimeBase);
	return true;
}

bool DriverCaptureSource::start(CaptureSink &sink, std::string &message)
{
	State &state = *state_;
	if (!state.input) {
		message = "SourceCapture is not open";
		return false;
	}
	std::lock_guard lock(state.mutex);
	if (state.sink) {
		message = "SourceCapture is already running";
		return false;
	}
	state.sink = &sink;
	return true;
}

void DriverCaptureSource::stop()
{
	State &state = *state_;
	if (state.input)
		state.input->stop();
	std::lock_guard lock(state.mutex);
	state.sink = nullptr;
}

void DriverCaptureSource::State::inputFormatChanged(const DeckLinkDisplayMode &newMode)
{
	std::unique_lock lock(mutex);
	if (ended)
		return;
	if (sink && isMaster) {
		// The output was set up for the master's format: the run cannot go on.
		ended = true;
		CaptureSink &target = *sink;
		lock.unlock();
		target.formatChanged(formatOf(newMode, isMaster));
		return;
	}

	std::string message;
	if (!input->followMode(newMode.code, message)) {
		ended = true;
		if (sink) {
			CaptureSink &target = *sink;
			lock.unlock();
			target.sourceFailed(message);
		} else {
			followFailure = message;
			probed.notify_all();
		}
		return;
	}
	mode = newMode;
	signalSeen = false;
	if (sink) {
		CaptureSink &target = *sink;
		lock.unlock();
		target.formatChanged(formatOf(newMode, isMaster));
	}
}

void DriverCaptureSource::State::inputFrameArrived(const DeckLinkVideoFrame *picture, const DeckLinkAudioPacket *audio)
{
	std::unique_lock lock(mutex);
	if (ended)
		return;
	const bool hasSignal = !picture || picture->hasInputSource();
	if (!sink) {
		// open is still learning the input's format.
		if (picture) {
			++probePictures;
			if (hasSignal && picture->width() == mode.width && picture->height() == mode.height)
				signalSeen = true;
			probed.notify_all();
		}
		return;
	}
	CaptureSink &target = *sink;
	const DeckLinkDisplayMode pictureMode = mode;
	lock.unlock();

	// The audio of a picture is queued before the picture is published, so
	// that whoever takes the picture finds its audio waiting.
	if (isMaster && (picture || audio)) {
		if (FrameHolder samples = audioFor(picture, audio, hasSignal))
			target.audioArrived(std::move(samples));
	}
	if (!picture)
		return;
	std::string message;
	FrameHolder frame = wrapPicture(*picture, pictureMode, message);
	if (!frame) {
		lock.lock();
		ended = true;
		lock.unlock();
		target.sourceFailed(message);
		return;
	}
	target.pictureArrived(std::move(frame), hasSignal);
}

FrameHolder DriverCaptureSource::State::wrapPicture(const DeckLinkVideoFrame &picture,
						    const DeckLinkDisplayMode &pictureMode, std::string &message) const
{
	const int32_t width = picture.width();
	const int32_t height = picture.height();
	const int32_t rowBytes = picture.rowBytes();
	if (picture.pixelFormat() != kPixelFormat8BitYuv || width < 2 || height < 1 || rowBytes < 2 * width) {
		message = "DeckLink device '" + quadrant.source_name + "' delivered a picture that is not 8-bit 4:2:2";
		return nullptr;
	}
	auto bytes = std::make_unique<DeckLinkPictureBytes>();
	if (!picture.keepBytes(*bytes, message))
		return nullptr;

	FrameHolder frame = allocateFrame();
	if (!frame) {
		message = "Failed to allocate source packet or decoded frame";
		return nullptr;
	}
	uint8_t *data = const_cast<uint8_t *>(bytes->data());
	AVBufferRef *buffer = av_buffer_create(data, size_t(rowBytes) * size_t(height), releasePicture, bytes.get(),
					       AV_BUFFER_FLAG_READONLY);
	if (!buffer) {
		message = "Failed to allocate source packet or decoded frame";
		return nullptr;
	}
	// The buffer owns the reference from now on.
	bytes.release();
	frame->buf[0] = buffer;
	frame->data[0] = data;
	frame->linesize[0] = rowBytes;
	frame->format = AV_PIX_FMT_UYVY422;
	frame->width = width;
	frame->height = height;

	int64_t time = 0;
	int64_t duration = 0;
	if (picture.streamTime(kWorkerTicksPerSecond, time, duration))
		frame->pts = time;
	setFrameInterlaced(frame.get(), isInterlaced(pictureMode),
			   pictureMode.fieldOrder == DeckLinkDisplayMode::FieldOrder::UpperFirst);
	return frame;
}

FrameHolder DriverCaptureSource::State::audioFor(const DeckLinkVideoFrame *picture, const DeckLinkAudioPacket *audio,
						 bool hasSignal) const
{
	int64_t time = 0;
	if (audio && audio->sampleFrames() > 0 && audio->packetTime(kWorkerTicksPerSecond, time)) {
		const int count = audio->sampleFrames();
		FrameHolder frame = silence(count, audioChannels, time);
		const void *samples = audio->bytes();
		// Without a signal a card's audio is whatever its input picks up.
		if (frame && samples && hasSignal)
			std::memcpy(frame->data[0], samples, size_t(count) * size_t(audioChannels) * sizeof(int16_t));
		return frame;
	}
	// No audio with this picture: its time in silence, counted on the
	// sample clock so that consecutive pictures add up exactly.
	int64_t start = 0;
	int64_t length = 0;
	if (!picture || !picture->streamTime(kSampleRate, start, length) || length < 1)
		return nullptr;
	return silence(int(length), audioChannels, av_rescale(start, kWorkerTicksPerSecond, kSampleRate));
}

} // namespace tiloran
