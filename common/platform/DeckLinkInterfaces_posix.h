#pragma once

// The DeckLink driver's objects as its Linux runtime lays them out, shared by
// discovery and capture: each object begins with a pointer to its table of
// methods, QueryInterface, AddRef and Release first; every method takes the
// object as its first argument (the C++ ABI the driver is built with);
// interface ids are passed by value as 16 bytes in the order they are
// written; strings come back as malloc'ed UTF-8. The tables are spelt out
// rather than declared as C++ classes because the objects are not of any
// class of ours. Every slot up to the last one called is named; those that
// are never called hold their places. Results are tested for success only;
// the failure codes are those of the driver's Linux COM header, not Windows'.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

namespace tiloran {

class DeckLinkInput;

namespace decklink {

using HResult = std::int32_t;
inline constexpr HResult kOk = 0;
inline constexpr HResult kNoInterface = static_cast<HResult>(0x80000004u); // E_NOINTERFACE
// What AddRef and Release return: ULONG, an unsigned long on Linux.
using ReferenceCount = unsigned long;

struct InterfaceId {
	unsigned char bytes[16];
};

inline bool sameInterface(const InterfaceId &left, const InterfaceId &right)
{
	return std::memcmp(left.bytes, right.bytes, sizeof(left.bytes)) == 0;
}

struct DriverObject {
	const void *methods;
};

struct UnknownMethods {
	HResult (*queryInterface)(DriverObject *self, InterfaceId id, void **object);
	ReferenceCount (*addRef)(DriverObject *self);
	ReferenceCount (*release)(DriverObject *self);
};

template<typename Methods>
const Methods &methodsOf(DriverObject *object)
{
	return *static_cast<const Methods *>(object->methods);
}

// A slot of a table that is never called here.
using UncalledMethod = const void *;

// Slots of a method table, counted from 0. Each table below holds the
// interface's methods in the order the driver's published headers declare
// them (the order is the comment above it); the slot of every method called
// here is written once, in the static_assert under its table. The C++ ABI the
// driver is built with gives a virtual destructor two entries where the
// header declares it: last in each interface, so that the methods an
// interface adds to its base come two entries after the base's last one.
inline constexpr std::size_t kSlot = sizeof(void (*)());

// IUnknown: QueryInterface, AddRef, Release.
static_assert(offsetof(UnknownMethods, queryInterface) == 0 * kSlot);
static_assert(offsetof(UnknownMethods, addRef) == 1 * kSlot);
static_assert(offsetof(UnknownMethods, release) == 2 * kSlot);

// IDeckLinkIterator: IUnknown, Next.
struct IteratorMethods {
	UnknownMethods unknown;
	HResult (*next)(DriverObject *self, DriverObject **device);
};
static_assert(offsetof(IteratorMethods, next) == 3 * kSlot);

// IDeckLink: IUnknown, GetModelName, GetDisplayName, destructor.
struct DeviceMethods {
	UnknownMethods unknown;
	HResult (*getModelName)(DriverObject *self, const char **name);
	HResult (*getDisplayName)(DriverObject *self, const char **name);
};
static_assert(offsetof(DeviceMethods, getDisplayName) == 4 * kSlot);

// IDeckLinkProfileAttributes: IUnknown, GetFlag, GetInt, GetFloat, GetString,
// (16.x only) GetStringWithParam, destructor.
struct AttributesMethods {
	UnknownMethods unknown;
	HResult (*getFlag)(DriverObject *self, std::uint32_t attribute, bool *value);
	HResult (*getInt)(DriverObject *self, std::uint32_t attribute, std::int64_t *value);
	UncalledMethod getFloat;
	UncalledMethod getString;
};
static_assert(offsetof(AttributesMethods, getInt) == 4 * kSlot);

// IDeckLinkInput: IUnknown, DoesSupportVideoMode, GetDisplayMode,
// GetDisplayModeIterator, SetScreenPreviewCallback, EnableVideoInput, three
// that differ by version (up to 14.2.1 DisableVideoInput,
// GetAvailableVideoFrameCount, SetVideoInputFrameMemoryAllocator; from 15.0
// EnableVideoInputWithAllocatorProvider, DisableVideoInput,
// GetAvailableVideoFrameCount), EnableAudioInput, DisableAudioInput,
// GetAvailableAudioSampleFrameCount, StartStreams, StopStreams, PauseStreams,
// FlushStreams, SetCallback, GetHardwareReferenceClock, destructor.
struct InputMethods {
	UnknownMethods unknown;
	UncalledMethod doesSupportVideoMode;
	UncalledMethod getDisplayMode;
	UncalledMethod getDisplayModeIterator;
	UncalledMethod setScreenPreviewCallback;
	HResult (*enableVideoInput)(DriverObject *self, std::uint32_t displayMode, std::uint32_t pixelFormat,
				    std::uint32_t flags);
	UncalledMethod versionDependent[3];
	HResult (*enableAudioInput)(DriverObject *self, std::uint32_t sampleRate, std::uint32_t sampleType,
				    std::uint32_t channels);
	UncalledMethod disableAudioInput;
	UncalledMethod getAvailableAudioSampleFrameCount;
	HResult (*startStreams)(DriverObject *self);
	HResult (*stopStreams)(DriverObject *self);
	HResult (*pauseStreams)(DriverObject *self);
	HResult (*flushStreams)(DriverObject *self);
	HResult (*setCallback)(DriverObject *self, DriverObject *callback);
	UncalledMethod getHardwareReferenceClock;
};
static_assert(offsetof(InputMethods, enableVideoInput) == 7 * kSlot);
static_assert(offsetof(InputMethods, enableAudioInput) == 11 * kSlot);
static_assert(offsetof(InputMethods, startStreams) == 14 * kSlot);
static_assert(offsetof(InputMethods, stopStreams) == 15 * kSlot);
static_assert(offsetof(InputMethods, pauseStreams) == 16 * kSlot);
static_assert(offsetof(InputMethods, flushStreams) == 17 * kSlot);
static_assert(offsetof(InputMethods, setCallback) == 18 * kSlot);

// The picture handed to the input callback from 15.0 on
// (IDeckLinkVideoInputFrame over IDeckLinkVideoFrame 6502091C): IUnknown,
// GetWidth, GetHeight, GetRowBytes, GetPixelFormat, GetFlags, GetTimecode,
// GetAncillaryData, the base's destructor, then GetStreamTime,
// GetHardwareReferenceTimestamp (the frame's own destructor overrides the
// base's entries and adds none). Its bytes come only through a video-buffer
// interface.
struct CurrentFrameMethods {
	UnknownMethods unknown;
	long (*getWidth)(DriverObject *self);
	long (*getHeight)(DriverObject *self);
	long (*getRowBytes)(DriverObject *self);
	std::uint32_t (*getPixelFormat)(DriverObject *self);
	std::uint32_t (*getFlags)(DriverObject *self);
	UncalledMethod getTimecode;
	UncalledMethod getAncillaryData;
	UncalledMethod destructor[2];
	HResult (*getStreamTime)(DriverObject *self, std::int64_t *time, std::int64_t *duration, std::int64_t timeScale);
	UncalledMethod getHardwareReferenceTimestamp;
};
static_assert(offsetof(CurrentFrameMethods, getWidth) == 3 * kSlot);
static_assert(offsetof(CurrentFrameMethods, getHeight) == 4 * kSlot);
static_assert(offsetof(CurrentFrameMethods, getRowBytes) == 5 * kSlot);
static_assert(offsetof(CurrentFrameMethods, getPixelFormat) == 6 * kSlot);
static_assert(offsetof(CurrentFrameMethods, getFlags) == 7 * kSlot);
static_assert(offsetof(CurrentFrameMethods, getStreamTime) == 12 * kSlot);

// The same picture up to 14.2.1 (IDeckLinkVideoFrame 3F716FE0): as above
// with GetBytes between GetFlags and GetTimecode, so that everything from
// there on sits one slot later.
struct OlderFrameMethods {
	UnknownMethods unknown;
	long (*getWidth)(DriverObject *self);
	long (*getHeight)(DriverObject *self);
	long (*getRowBytes)(DriverObject *self);
	std::uint32_t (*getPixelFormat)(DriverObject *self);
	std::uint32_t (*getFlags)(DriverObject *self);
	HResult (*getBytes)(DriverObject *self, void **bytes);
	UncalledMethod getTimecode;
	UncalledMethod getAncillaryData;
	UncalledMethod destructor[2];
	HResult (*getStreamTime)(DriverObject *self, std::int64_t *time, std::int64_t *duration, std::int64_t timeScale);
	UncalledMethod getHardwareReferenceTimestamp;
};
static_assert(offsetof(OlderFrameMethods, getFlags) == 7 * kSlot);
static_assert(offsetof(OlderFrameMethods, getBytes) == 8 * kSlot);
static_assert(offsetof(OlderFrameMethods, getStreamTime) == 13 * kSlot);

// IDeckLinkVideoBuffer of 16.x (81F03D70): IUnknown, GetBytes, GetSize,
// StartAccess, EndAccess. GetBytes before StartAccess is refused.
struct VideoBufferMethods {
	UnknownMethods unknown;
	HResult (*getBytes)(DriverObject *self, void **bytes);
	UncalledMethod getSize;
	HResult (*startAccess)(DriverObject *self, std::uint32_t flags);
	HResult (*endAccess)(DriverObject *self, std::uint32_t flags);
};
static_assert(offsetof(VideoBufferMethods, getBytes) == 3 * kSlot);
static_assert(offsetof(VideoBufferMethods, startAccess) == 5 * kSlot);
static_assert(offsetof(VideoBufferMethods, endAccess) == 6 * kSlot);

// IDeckLinkVideoBuffer of 15.x (CCB4B64A, which 16.x headers keep as
// IDeckLinkVideoBuffer_v15_3_1): IUnknown, GetBytes, StartAccess, EndAccess;
// no GetSize.
struct VideoBuffer15Methods {
	UnknownMethods unknown;
	HResult (*getBytes)(DriverObject *self, void **bytes);
	HResult (*startAccess)(DriverObject *self, std::uint32_t flags);
	HResult (*endAccess)(DriverObject *self, std::uint32_t flags);
};
static_assert(offsetof(VideoBuffer15Methods, getBytes) == 3 * kSlot);
static_assert(offsetof(VideoBuffer15Methods, startAccess) == 4 * kSlot);
static_assert(offsetof(VideoBuffer15Methods, endAccess) == 5 * kSlot);

// IDeckLinkAudioInputPacket: IUnknown, GetSampleFrameCount, GetBytes,
// GetPacketTime, destructor.
struct AudioPacketMethods {
	UnknownMethods unknown;
	long (*getSampleFrameCount)(DriverObject *self);
	HResult (*getBytes)(DriverObject *self, void **bytes);
	HResult (*getPacketTime)(DriverObject *self, std::int64_t *time, std::int64_t timeScale);
};
static_assert(offsetof(AudioPacketMethods, getSampleFrameCount) == 3 * kSlot);
static_assert(offsetof(AudioPacketMethods, getBytes) == 4 * kSlot);
static_assert(offsetof(AudioPacketMethods, getPacketTime) == 5 * kSlot);

// IDeckLinkDisplayMode: IUnknown, GetName, GetDisplayMode, GetWidth,
// GetHeight, GetFrameRate, GetFieldDominance, GetFlags, destructor.
struct DisplayModeMethods {
	UnknownMethods unknown;
	UncalledMethod getName;
	std::uint32_t (*getDisplayMode)(DriverObject *self);
	long (*getWidth)(DriverObject *self);
	long (*getHeight)(DriverObject *self);
	HResult (*getFrameRate)(DriverObject *self, std::int64_t *frameDuration, std::int64_t *timeScale);
	std::uint32_t (*getFieldDominance)(DriverObject *self);
	UncalledMethod getFlags;
};
static_assert(offsetof(DisplayModeMethods, getDisplayMode) == 4 * kSlot);
static_assert(offsetof(DisplayModeMethods, getWidth) == 5 * kSlot);
static_assert(offsetof(DisplayModeMethods, getHeight) == 6 * kSlot);
static_assert(offsetof(DisplayModeMethods, getFrameRate) == 7 * kSlot);
static_assert(offsetof(DisplayModeMethods, getFieldDominance) == 8 * kSlot);

// The input callback, an object of ours that the driver calls
// (IDeckLinkInputCallback): IUnknown, VideoInputFormatChanged,
// VideoInputFrameArrived, destructor (which the driver never calls).
struct InputCallbackMethods {
	UnknownMethods unknown;
	HResult (*videoInputFormatChanged)(DriverObject *self, std::uint32_t events, DriverObject *displayMode,
					   std::uint32_t detectedSignalFlags);
	HResult (*videoInputFrameArrived)(DriverObject *self, DriverObject *videoFrame, DriverObject *audioPacket);
	void (*destructor[2])(DriverObject *self);
};
static_assert(offsetof(InputCallbackMethods, videoInputFormatChanged) == 3 * kSlot);
static_assert(offsetof(InputCallbackMethods, videoInputFrameArrived) == 4 * kSlot);

// The capture-input interface of 16.x, then those of earlier driver
// versions: 15.x, and 11.6 to 14.2.1. Each hands over pictures of its own
// generation (kCaptureInputPictures).
inline constexpr InterfaceId kCaptureInputIds[] = {
	// {6A515F8A-FBCE-4853-B0F7-2A09DB1ECA0B}
	{ { 0x6A, 0x51, 0x5F, 0x8A, 0xFB, 0xCE, 0x48, 0x53, 0xB0, 0xF7, 0x2A, 0x09, 0xDB, 0x1E, 0xCA, 0x0B } },
	// {4095DB82-E294-4B8C-AAA8-3B9E80C49336}
	{ { 0x40, 0x95, 0xDB, 0x82, 0xE2, 0x94, 0x4B, 0x8C, 0xAA, 0xA8, 0x3B, 0x9E, 0x80, 0xC4, 0x93, 0x36 } },
	// {C21CDB6E-F414-46E4-A636-80A566E0ED37}
	{ { 0xC2, 0x1C, 0xDB, 0x6E, 0xF4, 0x14, 0x46, 0xE4, 0xA6, 0x36, 0x80, 0xA5, 0x66, 0xE0, 0xED, 0x37 } },
};
inline constexpr const char *kCaptureInputNames[] = { "6A515F8A", "4095DB82", "C21CDB6E" };

} // namespace decklink

// How the pictures of a driver generation hand out their bytes.
enum class DeckLinkPictureLayout : unsigned char {
	// CurrentFrameMethods; bytes through VideoBufferMethods (16.x).
	VideoBuffer,
	// CurrentFrameMethods; bytes through VideoBuffer15Methods (15.x).
	VideoBuffer15,
	// OlderFrameMethods; bytes on the frame (11.6 to 14.2.1).
	FrameBytes,
};

namespace decklink {

inline constexpr DeckLinkPictureLayout kCaptureInputPictures[] = {
	DeckLinkPictureLayout::VideoBuffer,
	DeckLinkPictureLayout::VideoBuffer15,
	DeckLinkPictureLayout::FrameBytes,
};
static_assert(std::size(kCaptureInputPictures) == std::size(kCaptureInputIds));

// The attributes interface, current (16.x) and earlier.
inline constexpr InterfaceId kAttributesIds[] = {
	// {F47551D7-AD22-47AF-BCFD-6BE88AA879D9}
	{ { 0xF4, 0x75, 0x51, 0xD7, 0xAD, 0x22, 0x47, 0xAF, 0xBC, 0xFD, 0x6B, 0xE8, 0x8A, 0xA8, 0x79, 0xD9 } },
	// {17D4BF8E-4911-473A-80A0-731CF6FF345B}
	{ { 0x17, 0xD4, 0xBF, 0x8E, 0x49, 0x11, 0x47, 0x3A, 0x80, 0xA0, 0x73, 0x1C, 0xF6, 0xFF, 0x34, 0x5B } },
};

// The video-buffer interface of 16.x frames.
inline constexpr InterfaceId kVideoBufferIds[] = {
	// {81F03D70-DE13-4B17-873A-C8AC9689C682}
	{ { 0x81, 0xF0, 0x3D, 0x70, 0xDE, 0x13, 0x4B, 0x17, 0x87, 0x3A, 0xC8, 0xAC, 0x96, 0x89, 0xC6, 0x82 } },
};
// The video-buffer interface of 15.x frames.
inline constexpr InterfaceId kVideoBuffer15Ids[] = {
	// {CCB4B64A-5C86-4E02-B778-885D352709FE}
	{ { 0xCC, 0xB4, 0xB6, 0x4A, 0x5C, 0x86, 0x4E, 0x02, 0xB7, 0x78, 0x88, 0x5D, 0x35, 0x27, 0x09, 0xFE } },
};
// {00000000-0000-0000-C000-000000000046}
inline constexpr InterfaceId kUnknownId = {
	{ 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46 }
};

inline constexpr std::uint32_t kPersistentIdAttribute = 0x70656964; // 'peid'
inline constexpr std::uint32_t kTopologicalIdAttribute = 0x746F6964; // 'toid'
// The most embedded audio channels the device captures (an integer).
inline constexpr std::uint32_t kMaximumAudioChannelsAttribute = 0x6D616368; // 'mach'

inline constexpr std::uint32_t kPixelFormat8BitYuv = 0x32767579; // '2vuy'
inline constexpr std::uint32_t kEnableFormatDetection = 1u << 0;
inline constexpr std::uint32_t kFrameHasNoInputSource = 1u << 31;
inline constexpr std::uint32_t kDisplayModeChanged = 1u << 0;
inline constexpr std::uint32_t kFieldDominanceChanged = 1u << 1;
inline constexpr std::uint32_t kBufferAccessRead = 1;
inline constexpr std::uint32_t kAudioSampleRate48kHz = 48000;
inline constexpr std::uint32_t kAudioSampleType16Bit = 16;
inline constexpr std::uint32_t kLowerFieldFirst = 0x6C6F7772; // 'lowr'
inline constexpr std::uint32_t kUpperFieldFirst = 0x75707072; // 'uppr'
inline constexpr std::uint32_t kProgressiveFrame = 0x70726F67; // 'prog'
inline constexpr std::uint32_t kProgressiveSegmentedFrame = 0x70736620; // 'psf '

// Holds one reference to a driver object.
class DriverReference
{
public:
	DriverReference() = default;
	explicit DriverReference(DriverObject *object) : object_(object) {}
	~DriverReference() { reset(nullptr); }
	DriverReference(DriverReference &&other) noexcept : object_(other.release()) {}
	DriverReference &operator=(DriverReference &&other) noexcept
	{
		reset(other.release());
		return *this;
	}
	DriverReference(const DriverReference &) = delete;
	DriverReference &operator=(const DriverReference &) = delete;

	DriverObject *get() const { return object_; }
	explicit operator bool() const { return object_ != nullptr; }

	void reset(DriverObject *object)
	{
		if (object_)
			methodsOf<UnknownMethods>(object_).release(object_);
		object_ = object;
	}

	DriverObject *release()
	{
		DriverObject *object = object_;
		object_ = nullptr;
		return object;
	}

private:
	DriverObject *object_ = nullptr;
};

// The first of the interfaces that the object answers, and its index in ids;
// none (and the size of ids) when it answers none.
template<std::size_t count>
DriverReference queryFirst(DriverObject *object, const InterfaceId (&ids)[count], std::size_t *answered = nullptr)
{
	for (std::size_t index = 0; index < count; ++index) {
		void *answer = nullptr;
		if (methodsOf<UnknownMethods>(object).queryInterface(object, ids[index], &answer) == kOk && answer) {
			if (answered)
				*answered = index;
			return DriverReference(static_cast<DriverObject *>(answer));
		}
	}
	if (answered)
		*answered = count;
	return DriverReference();
}

// The capture input of a device, over the interface it answered to.
std::unique_ptr<DeckLinkInput> makeDeckLinkInput(DriverReference input, std::size_t interfaceIndex,
						 std::string deviceName, std::optional<std::int64_t> maximumAudioChannels);

} // namespace decklink
} // namespace tiloran
