#include "common/platform/DeckLinkInput.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "common/platform/DeckLinkInterfaces_posix.h"

namespace tiloran {

namespace {

using namespace decklink;

DriverObject *object(void *handle)
{
	return static_cast<DriverObject *>(handle);
}

DeckLinkDisplayMode::FieldOrder fieldOrderOf(std::uint32_t dominance)
{
	switch (dominance) {
	case kUpperFieldFirst:
		return DeckLinkDisplayMode::FieldOrder::UpperFirst;
	case kLowerFieldFirst:
		return DeckLinkDisplayMode::FieldOrder::LowerFirst;
	case kProgressiveFrame:
	case kProgressiveSegmentedFrame:
		return DeckLinkDisplayMode::FieldOrder::Progressive;
	default:
		return DeckLinkDisplayMode::FieldOrder::Unknown;
	}
}

std::string resultText(HResult result)
{
	static const char digits[] = "0123456789ABCDEF";
	std::string text = "0x";
	for (int shift = 28; shift >= 0; shift -= 4)
		text.push_back(digits[(static_cast<std::uint32_t>(result) >> shift) & 0xf]);
	return text;
}

} // namespace

namespace {

// The input callback handed to the driver: an object laid out as the driver
// expects of any, the pointer to its method table first.
struct CallbackObject {
	const InputCallbackMethods *methods;
	DeckLinkInput::State *state;
	// The references the driver holds; the object belongs to the input's
	// state, which outlives them all.
	std::atomic<ReferenceCount> references;
};

} // namespace

struct DeckLinkInput::State {
	CallbackObject callback;

	DriverReference input;
	std::size_t interfaceIndex = 0;
	std::string deviceName;
	std::optional<std::int64_t> maximumAudioChannels;
	bool streaming = false;

	// Guards handler: a callback in progress holds it, so that stop can wait
	// for the last one.
	std::mutex handlerMutex;
	DeckLinkInputHandler *handler = nullptr;

	DeckLinkPictureLayout pictureLayout() const { return kCaptureInputPictures[interfaceIndex]; }
	const InputMethods &inputMethods() const { return methodsOf<InputMethods>(input.get()); }
	DriverObject *callbackObject() { return reinterpret_cast<DriverObject *>(&callback); }
};

namespace {

CallbackObject &callbackOf(DriverObject *self)
{
	return *reinterpret_cast<CallbackObject *>(self);
}

DeckLinkInput::State &stateOf(DriverObject *self)
{
	return *callbackOf(self).state;
}

// The driver may ask the callback for itself; it answers to nothing else.
HResult callbackQueryInterface(DriverObject *self, InterfaceId id, void **answer)
{
	*answer = nullptr;
	if (!sameInterface(id, kUnknownId))
		return kNoInterface;
	++callbackOf(self).references;
	*answer = self;
	return kOk;
}

ReferenceCount callbackAddRef(DriverObject *self)
{
	return ++callbackOf(self).references;
}

ReferenceCount callbackRelease(DriverObject *self)
{
	return --callbackOf(self).references;
}

HResult formatChanged(DriverObject *self, std::uint32_t events, DriverObject *displayMode, std::uint32_t)
{
	DeckLinkInput::State &state = stateOf(self);
	if (!displayMode || !(events & (kDisplayModeChanged | kFieldDominanceChanged)))
		return kOk;
	const DisplayModeMethods &methods = methodsOf<DisplayModeMethods>(displayMode);
	DeckLinkDisplayMode mode;
	mode.code = methods.getDisplayMode(displayMode);
	mode.width = static_cast<std::int32_t>(methods.getWidth(displayMode));
	mode.height = static_cast<std::int32_t>(methods.getHeight(displayMode));
	if (methods.getFrameRate(displayMode, &mode.frameDuration, &mode.timeScale) != kOk)
		mode.frameDuration = mode.timeScale = 0;
	mode.fieldOrder = fieldOrderOf(methods.getFieldDominance(displayMode));

	std::lock_guard lock(state.handlerMutex);
	if (state.handler)
		state.handler->inputFormatChanged(mode);
	return kOk;
}

HResult frameArrived(DriverObject *self, DriverObject *videoFrame, DriverObject *audioPacket)
{
	DeckLinkInput::State &state = stateOf(self);
	const DeckLinkVideoFrame picture(videoFrame, state.pictureLayout());
	const DeckLinkAudioPacket audio(audioPacket);
	std::lock_guard lock(state.handlerMutex);
	if (state.handler)
		state.handler->inputFrameArrived(videoFrame ? &picture : nullptr, audioPacket ? &audio : nullptr);
	return kOk;
}

void neverCalled(DriverObject *)
{
}

const InputCallbackMethods kCallbackMethods = {
	{ callbackQueryInterface, callbackAddRef, callbackRelease },
	formatChanged,
	frameArrived,
	{ neverCalled, neverCalled },
};

} // namespace

namespace decklink {

std::unique_ptr<DeckLinkInput> makeDeckLinkInput(DriverReference input, std::size_t interfaceIndex,
						 std::string deviceName, std::optional<std::int64_t> maximumAudioChannels)
{
	auto state = std::make_unique<DeckLinkInput::State>();
	state->callback.methods = &kCallbackMethods;
	state->callback.state = state.get();
	state->callback.references = 1;
	state->input = std::move(input);
	state->interfaceIndex = interfaceIndex;
	state->deviceName = std::move(deviceName);
	state->maximumAudioChannels = maximumAudioChannels;
	return std::make_unique<DeckLinkInput>(std::move(state));
}

} // namespace decklink

DeckLinkInput::DeckLinkInput(std::unique_ptr<State> state) : state_(std::move(state))
{
}

DeckLinkInput::~DeckLinkInput()
{
	stop();
	state_->input.reset(nullptr);
}

const std::string &DeckLinkInput::deviceName() const
{
	return state_->deviceName;
}

const char *DeckLinkInput::interfaceName() const
{
	return kCaptureInputNames[state_->interfaceIndex];
}

std::optional<std::int64_t> DeckLinkInput::maximumAudioChannels() const
{
	return state_->maximumAudioChannels;
}

bool DeckLinkInput::enableVideo(std::uint32_t displayMode, std::string &message)
{
	DriverObject *input = state_->input.get();
	const HResult result =
		state_->inputMethods().enableVideoInput(input, displayMode, kPixelFormat8BitYuv, kEnableFormatDetection);
	if (result != kOk) {
		message = "Failed to enable video input of DeckLink device '" + state_->deviceName + "': " + resultText(result);
		return false;
	}
	return true;
}

bool DeckLinkInput::enableAudio(std::int32_t channels, std::string &message)
{
	DriverObject *input = state_->input.get();
	const HResult result = state_->inputMethods().enableAudioInput(input, kAudioSampleRate48kHz, kAudioSampleType16Bit,
								       static_cast<std::uint32_t>(channels));
	if (result != kOk) {
		message = "Failed to enable " + std::to_string(channels) + " audio channels of DeckLink device '" +
			  state_->deviceName + "': " + resultText(result);
		return false;
	}
	return true;
}

bool DeckLinkInput::start(DeckLinkInputHandler &handler, std::string &message)
{
	State &state = *state_;
	DriverObject *input = state.input.get();
	{
		std::lock_guard lock(state.handlerMutex);
		state.handler = &handler;
	}
	HResult result = state.inputMethods().setCallback(input, state.callbackObject());
	if (result == kOk) {
		result = state.inputMethods().startStreams(input);
		if (result == kOk) {
			state.streaming = true;
			return true;
		}
		message = "Failed to start capturing from DeckLink device '" + state.deviceName + "': " + resultText(result);
	} else {
		message = "Failed to set the input callback of DeckLink device '" + state.deviceName + "': " +
			  resultText(result);
	}
	stop();
	return false;
}

bool DeckLinkInput::followMode(std::uint32_t displayMode, std::string &message)
{
	// As the driver's own samples do: the streams pause while the input
	// changes its mode, and what was captured in the old one is dropped.
	const InputMethods &methods = state_->inputMethods();
	DriverObject *input = state_->input.get();
	methods.pauseStreams(input);
	const bool enabled = enableVideo(displayMode, message);
	methods.flushStreams(input);
	const HResult result = methods.startStreams(input);
	if (enabled && result != kOk) {
		message = "Failed to restart capturing from DeckLink device '" + state_->deviceName + "': " +
			  resultText(result);
		return false;
	}
	return enabled;
}

void DeckLinkInput::stop()
{
	State &state = *state_;
	if (!state.input)
		return;
	DriverObject *input = state.input.get();
	if (state.streaming)
		state.inputMethods().stopStreams(input);
	state.streaming = false;
	state.inputMethods().setCallback(input, nullptr);
	// A callback still in progress ends before the handler is forgotten.
	std::lock_guard lock(state.handlerMutex);
	state.handler = nullptr;
}

DeckLinkPictureBytes::~DeckLinkPictureBytes()
{
	reset();
}

DeckLinkPictureBytes::DeckLinkPictureBytes(DeckLinkPictureBytes &&other) noexcept
	: frame_(std::exchange(other.frame_, nullptr)), buffer_(std::exchange(other.buffer_, nullptr)),
	  layout_(other.layout_), data_(std::exchange(other.data_, nullptr))
{
}

DeckLinkPictureBytes &DeckLinkPictureBytes::operator=(DeckLinkPictureBytes &&other) noexcept
{
	if (this != &other) {
		reset();
		frame_ = std::exchange(other.frame_, nullptr);
		buffer_ = std::exchange(other.buffer_, nullptr);
		layout_ = other.layout_;
		data_ = std::exchange(other.data_, nullptr);
	}
	return *this;
}

void DeckLinkPictureBytes::reset()
{
	if (buffer_) {
		DriverObject *buffer = object(buffer_);
		if (layout_ == DeckLinkPictureLayout::VideoBuffer15)
			methodsOf<VideoBuffer15Methods>(buffer).endAccess(buffer, kBufferAccessRead);
		else
			methodsOf<VideoBufferMethods>(buffer).endAccess(buffer, kBufferAccessRead);
		methodsOf<UnknownMethods>(buffer).release(buffer);
	}
	if (frame_)
		methodsOf<UnknownMethods>(object(frame_)).release(object(frame_));
	frame_ = buffer_ = nullptr;
	data_ = nullptr;
}

std::int32_t DeckLinkVideoFrame::width() const
{
	// Both layouts agree up to the flags.
	return static_cast<std::int32_t>(methodsOf<CurrentFrameMethods>(object(frame_)).getWidth(object(frame_)));
}

std::int32_t DeckLinkVideoFrame::height() const
{
	return static_cast<std::int32_t>(methodsOf<CurrentFrameMethods>(object(frame_)).getHeight(object(frame_)));
}

std::int32_t DeckLinkVideoFrame::rowBytes() const
{
	return static_cast<std::int32_t>(methodsOf<CurrentFrameMethods>(object(frame_)).getRowBytes(object(frame_)));
}

std::uint32_t DeckLinkVideoFrame::pixelFormat() const
{
	return methodsOf<CurrentFrameMethods>(object(frame_)).getPixelFormat(object(frame_));
}

bool DeckLinkVideoFrame::hasInputSource() const
{
	return !(methodsOf<CurrentFrameMethods>(object(frame_)).getFlags(object(frame_)) & kFrameHasNoInputSource);
}

bool DeckLinkVideoFrame::streamTime(std::int64_t timeScale, std::int64_t &time, std::int64_t &duration) const
{
	DriverObject *frame = object(frame_);
	const HResult result = layout_ == DeckLinkPictureLayout::FrameBytes
				       ? methodsOf<OlderFrameMethods>(frame).getStreamTime(frame, &time, &duration, timeScale)
				       : methodsOf<CurrentFrameMethods>(frame).getStreamTime(frame, &time, &duration, timeScale);
	return result == kOk;
}

namespace {

// Opens the bytes of a picture whose driver hands them out through a video
// buffer of the given table: only while access is open.
template<typename Methods, std::size_t count>
DriverObject *openVideoBuffer(DriverObject *frame, const InterfaceId (&ids)[count], void *&data, std::string &message)
{
	DriverReference buffer = queryFirst(frame, ids);
	if (!buffer) {
		message = "The DeckLink driver's picture has no video buffer";
		return nullptr;
	}
	const Methods &methods = methodsOf<Methods>(buffer.get());
	if (methods.startAccess(buffer.get(), kBufferAccessRead) != kOk) {
		message = "The DeckLink driver refused to open a picture's bytes";
		return nullptr;
	}
	if (methods.getBytes(buffer.get(), &data) != kOk || !data) {
		methods.endAccess(buffer.get(), kBufferAccessRead);
		message = "The DeckLink driver gave no picture bytes";
		return nullptr;
	}
	return buffer.release();
}

} // namespace

bool DeckLinkVideoFrame::keepBytes(DeckLinkPictureBytes &bytes, std::string &message) const
{
	bytes.reset();
	DriverObject *frame = object(frame_);
	void *data = nullptr;
	DriverObject *buffer = nullptr;
	switch (layout_) {
	case DeckLinkPictureLayout::FrameBytes:
		if (methodsOf<OlderFrameMethods>(frame).getBytes(frame, &data) != kOk || !data) {
			message = "The DeckLink driver gave no picture bytes";
			return false;
		}
		break;
	case DeckLinkPictureLayout::VideoBuffer15:
		buffer = openVideoBuffer<VideoBuffer15Methods>(frame, kVideoBuffer15Ids, data, message);
		if (!buffer)
			return false;
		break;
	case DeckLinkPictureLayout::VideoBuffer:
		buffer = openVideoBuffer<VideoBufferMethods>(frame, kVideoBufferIds, data, message);
		if (!buffer)
			return false;
		break;
	}
	methodsOf<UnknownMethods>(frame).addRef(frame);
	bytes.frame_ = frame;
	bytes.buffer_ = buffer;
	bytes.layout_ = layout_;
	bytes.data_ = static_cast<const std::uint8_t *>(data);
	return true;
}

std::int32_t DeckLinkAudioPacket::sampleFrames() const
{
	DriverObject *packet = object(packet_);
	return static_cast<std::int32_t>(methodsOf<AudioPacketMethods>(packet).getSampleFrameCount(packet));
}

const void *DeckLinkAudioPacket::bytes() const
{
	DriverObject *packet = object(packet_);
	void *data = nullptr;
	if (methodsOf<AudioPacketMethods>(packet).getBytes(packet, &data) != kOk)
		return nullptr;
	return data;
}

bool DeckLinkAudioPacket::packetTime(std::int64_t timeScale, std::int64_t &time) const
{
	DriverObject *packet = object(packet_);
	return methodsOf<AudioPacketMethods>(packet).getPacketTime(packet, &time, timeScale) == kOk;
}

} // namespace tiloran
