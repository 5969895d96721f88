#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tiloran {

// How the pictures of the driver's generation hand out their bytes; the
// platform layer defines it.
enum class DeckLinkPictureLayout : unsigned char;

// A video mode as the DeckLink driver describes it.
struct DeckLinkDisplayMode {
	enum class FieldOrder { Unknown, UpperFirst, LowerFirst, Progressive };

	// The driver's own code of the mode, handed back to it to capture in it.
	std::uint32_t code = 0;
	std::int32_t width = 0;
	std::int32_t height = 0;
	// A frame lasts frameDuration / timeScale seconds.
	std::int64_t frameDuration = 0;
	std::int64_t timeScale = 0;
	FieldOrder fieldOrder = FieldOrder::Unknown;
};

// The bytes of a picture kept past the call that handed it over: one
// reference to the driver's frame, with its bytes open for reading. The
// destructor closes them and drops the reference exactly once, on whichever
// thread it runs. Move-only.
class DeckLinkPictureBytes
{
public:
	DeckLinkPictureBytes() = default;
	~DeckLinkPictureBytes();
	DeckLinkPictureBytes(DeckLinkPictureBytes &&other) noexcept;
	DeckLinkPictureBytes &operator=(DeckLinkPictureBytes &&other) noexcept;
	DeckLinkPictureBytes(const DeckLinkPictureBytes &) = delete;
	DeckLinkPictureBytes &operator=(const DeckLinkPictureBytes &) = delete;

	const std::uint8_t *data() const { return data_; }
	explicit operator bool() const { return data_ != nullptr; }
	void reset();

private:
	friend class DeckLinkVideoFrame;

	// The driver's frame and, where the driver hands bytes out through a
	// separate interface, that interface: opaque handles of the platform layer.
	void *frame_ = nullptr;
	void *buffer_ = nullptr;
	DeckLinkPictureLayout layout_{};
	const std::uint8_t *data_ = nullptr;
};

// A picture the driver hands to an input's handler; valid during that call
// only.
class DeckLinkVideoFrame
{
public:
	// frame is the platform layer's handle of the driver's frame.
	DeckLinkVideoFrame(void *frame, DeckLinkPictureLayout layout) : frame_(frame), layout_(layout) {}

	std::int32_t width() const;
	std::int32_t height() const;
	std::int32_t rowBytes() const;
	// The driver's pixel format code ('2vuy' for 8-bit 4:2:2).
	std::uint32_t pixelFormat() const;
	// False for the pictures the driver goes on delivering without a signal.
	bool hasInputSource() const;
	// When the picture began and how long it lasts on the input's stream
	// clock, in units of 1 / timeScale seconds.
	bool streamTime(std::int64_t timeScale, std::int64_t &time, std::int64_t &duration) const;
	// Keeps the picture past the call and opens its bytes for reading.
	bool keepBytes(DeckLinkPictureBytes &bytes, std::string &message) const;

private:
	void *frame_;
	DeckLinkPictureLayout layout_;
};

// The audio that came with a picture; valid during the call only. Samples are
// interleaved signed 16-bit, as many channels as the input was enabled with.
class DeckLinkAudioPacket
{
public:
	explicit DeckLinkAudioPacket(void *packet) : packet_(packet) {}

	std::int32_t sampleFrames() const;
	// Null when the driver hands out none.
	const void *bytes() const;
	// When the first sample was taken, in units of 1 / timeScale seconds.
	bool packetTime(std::int64_t timeScale, std::int64_t &time) const;

private:
	void *packet_;
};

// Receives what an input captures, on the driver's callback thread, one call
// at a time.
class DeckLinkInputHandler
{
public:
	// The signal changed to another mode; pictures keep the mode the input is
	// enabled with until followMode.
	virtual void inputFormatChanged(const DeckLinkDisplayMode &mode) = 0;
	// Either argument may be null.
	virtual void inputFrameArrived(const DeckLinkVideoFrame *picture, const DeckLinkAudioPacket *audio) = 0;

protected:
	~DeckLinkInputHandler() = default;
};

// The capture input of one DeckLink device (DeckLinkDiscovery::openCaptureInput).
//
// Threads: the owner's thread calls everything but followMode, which the
// handler calls on the driver's callback thread. The destructor stops the
// input and releases it.
class DeckLinkInput
{
public:
	struct State;
	explicit DeckLinkInput(std::unique_ptr<State> state);
	~DeckLinkInput();
	DeckLinkInput(const DeckLinkInput &) = delete;
	DeckLinkInput &operator=(const DeckLinkInput &) = delete;

	const std::string &deviceName() const;
	// The interface id the device answered to, for messages.
	const char *interfaceName() const;

	// 8-bit 4:2:2 pictures (UYVY byte order) in the given mode, with the
	// driver's detection of the signal's format on.
	bool enableVideo(std::uint32_t displayMode, std::string &message);
	// 48 kHz 16-bit stereo.
	bool enableAudio(std::string &message);
	// Hands every picture and format change to handler from now on.
	bool start(DeckLinkInputHandler &handler, std::string &message);
	// From the handler, on a format change: captures in the new mode.
	bool followMode(std::uint32_t displayMode, std::string &message);
	// Stops capturing; once it returns the handler is not called any more.
	// start may follow.
	void stop();

private:
	std::unique_ptr<State> state_;
};

} // namespace tiloran
