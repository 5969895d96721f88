#include "common/platform/DeckLinkInput.h"

#include <utility>

#include "common/platform/DeckLinkDiscovery.h"

// Capture through the driver's COM server is not built for Windows yet: no
// input is ever opened, so the worker reports every card as unavailable and
// shows its slate. What an input does once opened stays as the interface says,
// ready for the COM implementation to take this file's place.

namespace tiloran {

struct DeckLinkInput::State {
	std::string deviceName;
};

std::unique_ptr<DeckLinkInput> DeckLinkDiscovery::openCaptureInput(const std::string &deviceId, std::string &message)
{
	message = "Capture from DeckLink device '" + deviceId +
		  "' through the driver's COM server is not available in this Windows build";
	return nullptr;
}

DeckLinkInput::DeckLinkInput(std::unique_ptr<State> state) : state_(std::move(state))
{
}

DeckLinkInput::~DeckLinkInput() = default;

const std::string &DeckLinkInput::deviceName() const
{
	return state_->deviceName;
}

const char *DeckLinkInput::interfaceName() const
{
	return "none";
}

std::optional<std::int64_t> DeckLinkInput::maximumAudioChannels() const
{
	return std::nullopt;
}

namespace {

bool unavailable(const DeckLinkInput &input, std::string &message)
{
	message = "DeckLink device '" + input.deviceName() + "' cannot capture in this Windows build";
	return false;
}

} // namespace

bool DeckLinkInput::enableVideo(std::uint32_t, std::string &message)
{
	return unavailable(*this, message);
}

bool DeckLinkInput::enableAudio(std::int32_t, std::string &message)
{
	return unavailable(*this, message);
}

bool DeckLinkInput::start(DeckLinkInputHandler &, std::string &message)
{
	return unavailable(*this, message);
}

bool DeckLinkInput::followMode(std::uint32_t, std::string &message)
{
	return unavailable(*this, message);
}

void DeckLinkInput::stop()
{
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
	frame_ = buffer_ = nullptr;
	data_ = nullptr;
}

// No picture or audio packet reaches a handler without an input, so these
// answer as for an empty one.

std::int32_t DeckLinkVideoFrame::width() const
{
	return 0;
}

std::int32_t DeckLinkVideoFrame::height() const
{
	return 0;
}

std::int32_t DeckLinkVideoFrame::rowBytes() const
{
	return 0;
}

std::uint32_t DeckLinkVideoFrame::pixelFormat() const
{
	return 0;
}

bool DeckLinkVideoFrame::hasInputSource() const
{
	return false;
}

bool DeckLinkVideoFrame::streamTime(std::int64_t, std::int64_t &, std::int64_t &) const
{
	return false;
}

bool DeckLinkVideoFrame::keepBytes(DeckLinkPictureBytes &, std::string &message) const
{
	message = "no DeckLink picture in this Windows build";
	return false;
}

std::int32_t DeckLinkAudioPacket::sampleFrames() const
{
	return 0;
}

const void *DeckLinkAudioPacket::bytes() const
{
	return nullptr;
}

bool DeckLinkAudioPacket::packetTime(std::int64_t, std::int64_t &) const
{
	return false;
}

} // namespace tiloran
