#include "common/platform/DeckLinkInput.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "common/platform/DeckLinkInterfaces_win.h"

namespace tiloran {

// How the pictures of a driver generation hand out their bytes.
enum class DeckLinkPictureLayout : unsigned char {
	// DriverCurrentFrame; bytes through DriverVideoBuffer (16.x).
	VideoBuffer,
	// DriverCurrentFrame; bytes through DriverVideoBuffer15 (15.x).
	VideoBuffer15,
	// DriverOlderFrame; bytes on the frame (11.6 to 14.2.1).
	FrameBytes,
};

namespace {

using namespace driver;

constexpr DeckLinkPictureLayout kCaptureInputPictures[] = {
	DeckLinkPictureLayout::VideoBuffer,
	DeckLinkPictureLayout::VideoBuffer15,
	DeckLinkPictureLayout::FrameBytes,
};
static_assert(std::size(kCaptureInputPictures) == std::size(kCaptureInputIds));

IUnknown *object(void *handle)
{
	return static_cast<IUnknown *>(handle);
}

// Both frame layouts agree up to GetFlags.
DriverCurrentFrame &currentFrame(void *handle)
{
	return *static_cast<DriverCurrentFrame *>(handle);
}

DeckLinkDisplayMode::FieldOrder fieldOrderOf(ULONG dominance)
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

std::string resultText(HRESULT result)
{
	static const char digits[] = "0123456789ABCDEF";
	std::string text = "0x";
	for (int shift = 28; shift >= 0; shift -= 4)
		text.push_back(digits[(static_cast<std::uint32_t>(result) >> shift) & 0xf]);
	return text;
}

// Keeps the process's multithreaded apartment, in which the driver's objects
// live, for as long as the input holds them, whichever threads come and go
// (the discovery that opened the input undoes its own COM initialisation).
// Move-only; released on any thread.
class ApartmentUsage
{
public:
	ApartmentUsage() = default;
	~ApartmentUsage() { release(); }
	ApartmentUsage(const ApartmentUsage &) = delete;
	ApartmentUsage &operator=(const ApartmentUsage &) = delete;

	bool acquire() { return CoIncrementMTAUsage(&cookie_) == S_OK; }
	void release()
	{
		if (cookie_)
			CoDecrementMTAUsage(cookie_);
		cookie_ = nullptr;
	}

private:
	CO_MTA_USAGE_COOKIE cookie_ = nullptr;
};

} // namespace

// The input callback handed to the driver. It belongs to the input's state,
// which outlives every reference the driver holds to it.
class DeckLinkInputCallbackObject final : public DriverInputCallback
{
public:
	explicit DeckLinkInputCallbackObject(DeckLinkInput::State &state) : state_(state) {}

	// The driver may ask the callback for itself; it answers to nothing else.
	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void **answer) override
	{
		*answer = nullptr;
		if (!IsEqualGUID(id, kUnknownId))
			return E_NOINTERFACE;
		AddRef();
		*answer = static_cast<IUnknown *>(this);
		return S_OK;
	}
	ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
	ULONG STDMETHODCALLTYPE Release() override { return --references_; }
	HRESULT STDMETHODCALLTYPE VideoInputFormatChanged(ULONG events, DriverDisplayMode *displayMode,
							  ULONG detectedSignalFlags) override;
	HRESULT STDMETHODCALLTYPE VideoInputFrameArrived(IUnknown *videoFrame, DriverAudioPacket *audioPacket) override;

private:
	DeckLinkInput::State &state_;
	std::atomic<ULONG> references_ = 1;
};

struct DeckLinkInput::State {
	State() : callback(*this) {}

	// Declared first, so that it is released last.
	ApartmentUsage apartment;
	DeckLinkInputCallbackObject callback;

	ComReference<DriverInput> input;
	std::size_t interfaceIndex = 0;
	std::string deviceName;
	std::optional<std::int64_t> maximumAudioChannels;
	bool streaming = false;

	// Guards handler: a callback in progress holds it, so that stop can wait
	// for the last one.
	std::mutex handlerMutex;
	DeckLinkInputHandler *handler = nullptr;

	DeckLinkPictureLayout pictureLayout() const { return kCaptureInputPictures[interfaceIndex]; }
};

HRESULT DeckLinkInputCallbackObject::VideoInputFormatChanged(ULONG events, DriverDisplayMode *displayMode, ULONG)
{
	if (!displayMode || !(events & (kDisplayModeChanged | kFieldDominanceChanged)))
		return S_OK;
	DeckLinkDisplayMode mode;
	mode.code = displayMode->GetDisplayMode();
	mode.width = static_cast<std::int32_t>(displayMode->GetWidth());
	mode.height = static_cast<std::int32_t>(displayMode->GetHeight());
	LONGLONG frameDuration = 0;
	LONGLONG timeScale = 0;
	if (displayMode->GetFrameRate(&frameDuration, &timeScale) == S_OK) {
		mode.frameDuration = frameDuration;
		mode.timeScale = timeScale;
	}
	mode.fieldOrder = fieldOrderOf(displayMode->GetFieldDominance());

	std::lock_guard lock(state_.handlerMutex);
	if (state_.handler)
		state_.handler->inputFormatChanged(mode);
	return S_OK;
}

HRESULT DeckLinkInputCallbackObject::VideoInputFrameArrived(IUnknown *videoFrame, DriverAudioPacket *audioPacket)
{
	const DeckLinkVideoFrame picture(videoFrame, state_.pictureLayout());
	const DeckLinkAudioPacket audio(audioPacket);
	std::lock_guard lock(state_.handlerMutex);
	if (state_.handler)
		state_.handler->inputFrameArrived(videoFrame ? &picture : nullptr, audioPacket ? &audio : nullptr);
	return S_OK;
}

namespace driver {

std::unique_ptr<DeckLinkInput> makeDeckLinkInput(ComReference<DriverInput> input, std::size_t interfaceIndex,
						 std::string deviceName, std::optional<std::int64_t> maximumAudioChannels)
{
	auto state = std::make_unique<DeckLinkInput::State>();
	// Without the apartment kept the driver's objects would go with the
	// opening thread's COM; the input is then not handed out.
	if (!state->apartment.acquire())
		return nullptr;
	state->input = std::move(input);
	state->interfaceIndex = interfaceIndex;
	state->deviceName = std::move(deviceName);
	state->maximumAudioChannels = maximumAudioChannels;
	return std::make_unique<DeckLinkInput>(std::move(state));
}

} // namespace driver

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
	const HRESULT result = state_->input->EnableVideoInput(displayMode, kPixelFormat8BitYuv, kEnableFormatDetection);
	if (result != S_OK) {
		message = "Failed to enable video input of DeckLink device '" + state_->deviceName + "': " + resultText(result);
		return false;
	}
	return true;
}

bool DeckLinkInput::enableAudio(std::int32_t channels, std::string &message)
{
	const HRESULT result = state_->input->EnableAudioInput(kAudioSampleRate48kHz, kAudioSampleType16Bit,
							       static_cast<ULONG>(channels));
	if (result != S_OK) {
		message = "Failed to enable " + std::to_string(channels) + " audio channels of DeckLink device '" +
			  state_->deviceName + "': " + resultText(result);
		return false;
	}
	return true;
}

bool DeckLinkInput::start(DeckLinkInputHandler &handler, std::string &message)
{
	State &state = *state_;
	{
		std::lock_guard lock(state.handlerMutex);
		state.handler = &handler;
	}
	HRESULT result = state.input->SetCallback(&state.callback);
	if (result == S_OK) {
		result = state.input->StartStreams();
		if (result == S_OK) {
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
	DriverInput &input = *state_->input.get();
	input.PauseStreams();
	const bool enabled = enableVideo(displayMode, message);
	input.FlushStreams();
	const HRESULT result = input.StartStreams();
	if (enabled && result != S_OK) {
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
	if (state.streaming)
		state.input->StopStreams();
	state.streaming = false;
	state.input->SetCallback(nullptr);
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
		if (layout_ == DeckLinkPictureLayout::VideoBuffer15)
			static_cast<DriverVideoBuffer15 *>(buffer_)->EndAccess(kBufferAccessRead);
		else
			static_cast<DriverVideoBuffer *>(buffer_)->EndAccess(kBufferAccessRead);
		object(buffer_)->Release();
	}
	if (frame_)
		object(frame_)->Release();
	frame_ = buffer_ = nullptr;
	data_ = nullptr;
}

std::int32_t DeckLinkVideoFrame::width() const
{
	return static_cast<std::int32_t>(currentFrame(frame_).GetWidth());
}

std::int32_t DeckLinkVideoFrame::height() const
{
	return static_cast<std::int32_t>(currentFrame(frame_).GetHeight());
}

std::int32_t DeckLinkVideoFrame::rowBytes() const
{
	return static_cast<std::int32_t>(currentFrame(frame_).GetRowBytes());
}

std::uint32_t DeckLinkVideoFrame::pixelFormat() const
{
	return currentFrame(frame_).GetPixelFormat();
}

bool DeckLinkVideoFrame::hasInputSource() const
{
	return !(currentFrame(frame_).GetFlags() & kFrameHasNoInputSource);
}

bool DeckLinkVideoFrame::streamTime(std::int64_t timeScale, std::int64_t &time, std::int64_t &duration) const
{
	LONGLONG frameTime = 0;
	LONGLONG frameDuration = 0;
	const HRESULT result =
		layout_ == DeckLinkPictureLayout::FrameBytes
			? static_cast<DriverOlderFrame *>(frame_)->GetStreamTime(&frameTime, &frameDuration, timeScale)
			: currentFrame(frame_).GetStreamTime(&frameTime, &frameDuration, timeScale);
	if (result != S_OK)
		return false;
	time = frameTime;
	duration = frameDuration;
	return true;
}

namespace {

// Opens the bytes of a picture whose driver hands them out through a video
// buffer of the given interface: only while access is open.
template<typename Buffer, std::size_t count>
Buffer *openVideoBuffer(IUnknown &frame, const GUID (&ids)[count], void *&data, std::string &message)
{
	ComReference<Buffer> buffer = queryFirst<Buffer>(frame, ids);
	if (!buffer) {
		message = "The DeckLink driver's picture has no video buffer";
		return nullptr;
	}
	if (buffer->StartAccess(kBufferAccessRead) != S_OK) {
		message = "The DeckLink driver refused to open a picture's bytes";
		return nullptr;
	}
	if (buffer->GetBytes(&data) != S_OK || !data) {
		buffer->EndAccess(kBufferAccessRead);
		message = "The DeckLink driver gave no picture bytes";
		return nullptr;
	}
	return buffer.release();
}

} // namespace

bool DeckLinkVideoFrame::keepBytes(DeckLinkPictureBytes &bytes, std::string &message) const
{
	bytes.reset();
	IUnknown &frame = *object(frame_);
	void *data = nullptr;
	void *buffer = nullptr;
	switch (layout_) {
	case DeckLinkPictureLayout::FrameBytes:
		if (static_cast<DriverOlderFrame *>(frame_)->GetBytes(&data) != S_OK || !data) {
			message = "The DeckLink driver gave no picture bytes";
			return false;
		}
		break;
	case DeckLinkPictureLayout::VideoBuffer15:
		buffer = openVideoBuffer<DriverVideoBuffer15>(frame, kVideoBuffer15Ids, data, message);
		if (!buffer)
			return false;
		break;
	case DeckLinkPictureLayout::VideoBuffer:
		buffer = openVideoBuffer<DriverVideoBuffer>(frame, kVideoBufferIds, data, message);
		if (!buffer)
			return false;
		break;
	}
	frame.AddRef();
	bytes.frame_ = frame_;
	bytes.buffer_ = buffer;
	bytes.layout_ = layout_;
	bytes.data_ = static_cast<const std::uint8_t *>(data);
	return true;
}

std::int32_t DeckLinkAudioPacket::sampleFrames() const
{
	return static_cast<std::int32_t>(static_cast<DriverAudioPacket *>(packet_)->GetSampleFrameCount());
}

const void *DeckLinkAudioPacket::bytes() const
{
	void *data = nullptr;
	if (static_cast<DriverAudioPacket *>(packet_)->GetBytes(&data) != S_OK)
		return nullptr;
	return data;
}

bool DeckLinkAudioPacket::packetTime(std::int64_t timeScale, std::int64_t &time) const
{
	LONGLONG packetTime = 0;
	if (static_cast<DriverAudioPacket *>(packet_)->GetPacketTime(&packetTime, timeScale) != S_OK)
		return false;
	time = packetTime;
	return true;
}

} // namespace tiloran
