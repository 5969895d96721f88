#pragma once

// The DeckLink driver's COM interfaces on Windows, shared by discovery and
// capture. They are declared as the driver's published IDL declares them, in
// COM layout: each interface's methods follow its base's in the order written
// (the comment above each lists them all), with no destructor entries. Every
// method up to the last one called here is declared, so that each one called
// sits at its slot; those never called keep their places under their own
// names. The declarations have external linkage on purpose: in an unnamed
// namespace the compiler would see no implementation of them and could turn
// the calls into calls of pure virtual methods. Windows' types apply: long is
// 32 bits, strings are BSTRs, flags are BOOLs.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

namespace tiloran {

class DeckLinkInput;

namespace driver {

// IDeckLink: IUnknown, GetModelName, GetDisplayName.
struct DriverDevice : public IUnknown {
	virtual HRESULT STDMETHODCALLTYPE GetModelName(BSTR *name) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetDisplayName(BSTR *name) = 0;
};

// IDeckLinkIterator: IUnknown, Next.
struct DriverIterator : public IUnknown {
	virtual HRESULT STDMETHODCALLTYPE Next(DriverDevice **device) = 0;
};

// IDeckLinkProfileAttributes: IUnknown, GetFlag, GetInt, GetFloat, GetString.
struct DriverAttributes : public IUnknown {
	virtual HRESULT STDMETHODCALLTYPE GetFlag(ULONG attribute, BOOL *value) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetInt(ULONG attribute, LONGLONG *value) = 0;
};

// IDeckLinkDisplayMode: IUnknown, GetName, GetDisplayMode, GetWidth,
// GetHeight, GetFrameRate, GetFieldDominance, GetFlags.
struct DriverDisplayMode : public IUnknown {
	virtual HRESULT STDMETHODCALLTYPE GetName(BSTR *name) = 0;
	virtual ULONG STDMETHODCALLTYPE GetDisplayMode() = 0;
	virtual long STDMETHODCALLTYPE GetWidth() = 0;
	virtual long STDMETHODCALLTYPE GetHeight() = 0;
	virtual HRESULT STDMETHODCALLTYPE GetFrameRate(LONGLONG *frameDuration, LONGLONG *timeScale) = 0;
	virtual ULONG STDMETHODCALLTYPE GetFieldDominance() = 0;
};

// The picture handed to the input callback from 15.0 on
// (IDeckLinkVideoInputFrame over IDeckLinkVideoFrame 6502091C): IUnknown,
// GetWidth, GetHeight, GetRowBytes, GetPixelFormat, GetFlags, GetTimecode,
// GetAncillaryData, then GetStreamTime, GetHardwareReferenceTimestamp. Its
// bytes come only through a video-buffer interface.
struct DriverCurrentFrame : public IUnknown {
	virtual long STDMETHODCALLTYPE GetWidth() = 0;
	virtual long STDMETHODCALLTYPE GetHeight() = 0;
	virtual long STDMETHODCALLTYPE GetRowBytes() = 0;
	virtual ULONG STDMETHODCALLTYPE GetPixelFormat() = 0;
	virtual ULONG STDMETHODCALLTYPE GetFlags() = 0;
	virtual HRESULT STDMETHODCALLTYPE GetTimecode(ULONG format, IUnknown **timecode) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetAncillaryData(IUnknown **ancillary) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetStreamTime(LONGLONG *time, LONGLONG *duration, LONGLONG timeScale) = 0;
};

// The same picture up to 14.2.1 (IDeckLinkVideoFrame 3F716FE0): as above
// with GetBytes between GetFlags and GetTimecode.
struct DriverOlderFrame : public IUnknown {
	virtual long STDMETHODCALLTYPE GetWidth() = 0;
	virtual long STDMETHODCALLTYPE GetHeight() = 0;
	virtual long STDMETHODCALLTYPE GetRowBytes() = 0;
	virtual ULONG STDMETHODCALLTYPE GetPixelFormat() = 0;
	virtual ULONG STDMETHODCALLTYPE GetFlags() = 0;
	virtual HRESULT STDMETHODCALLTYPE GetBytes(void **bytes) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetTimecode(ULONG format, IUnknown **timecode) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetAncillaryData(IUnknown **ancillary) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetStreamTime(LONGLONG *time, LONGLONG *duration, LONGLONG timeScale) = 0;
};

// IDeckLinkVideoBuffer of 16.x (81F03D70): IUnknown, GetBytes, GetSize,
// StartAccess, EndAccess. GetBytes before StartAccess is refused.
struct DriverVideoBuffer : public IUnknown {
	virtual HRESULT STDMETHODCALLTYPE GetBytes(void **bytes) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetSize(ULONGLONG *size) = 0;
	virtual HRESULT STDMETHODCALLTYPE StartAccess(ULONG flags) = 0;
	virtual HRESULT STDMETHODCALLTYPE EndAccess(ULONG flags) = 0;
};

// IDeckLinkVideoBuffer of 15.x (CCB4B64A): IUnknown, GetBytes, StartAccess,
// EndAccess; no GetSize.
struct DriverVideoBuffer15 : public IUnknown {
	virtual HRESULT STDMETHODCALLTYPE GetBytes(void **bytes) = 0;
	virtual HRESULT STDMETHODCALLTYPE StartAccess(ULONG flags) = 0;
	virtual HRESULT STDMETHODCALLTYPE EndAccess(ULONG flags) = 0;
};

// IDeckLinkAudioInputPacket: IUnknown, GetSampleFrameCount, GetBytes,
// GetPacketTime.
struct DriverAudioPacket : public IUnknown {
	virtual long STDMETHODCALLTYPE GetSampleFrameCount() = 0;
	virtual HRESULT STDMETHODCALLTYPE GetBytes(void **bytes) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetPacketTime(LONGLONG *time, LONGLONG timeScale) = 0;
};

// IDeckLinkInputCallback, implemented by the capture input and called by the
// driver: IUnknown, VideoInputFormatChanged, VideoInputFrameArrived.
struct DriverInputCallback : public IUnknown {
	virtual HRESULT STDMETHODCALLTYPE VideoInputFormatChanged(ULONG events, DriverDisplayMode *displayMode,
								  ULONG detectedSignalFlags) = 0;
	virtual HRESULT STDMETHODCALLTYPE VideoInputFrameArrived(IUnknown *videoFrame, DriverAudioPacket *audioPacket) = 0;
};

// IDeckLinkInput: IUnknown, DoesSupportVideoMode, GetDisplayMode,
// GetDisplayModeIterator, SetScreenPreviewCallback, EnableVideoInput, three
// that differ by version (up to 14.2.1 DisableVideoInput,
// GetAvailableVideoFrameCount, SetVideoInputFrameMemoryAllocator; from 15.0
// EnableVideoInputWithAllocatorProvider, DisableVideoInput,
// GetAvailableVideoFrameCount), EnableAudioInput, DisableAudioInput,
// GetAvailableAudioSampleFrameCount, StartStreams, StopStreams, PauseStreams,
// FlushStreams, SetCallback, GetHardwareReferenceClock. The three that
// differ are never called and are declared by their 15.0 names.
struct DriverInput : public IUnknown {
	virtual HRESULT STDMETHODCALLTYPE DoesSupportVideoMode(ULONG connection, ULONG mode, ULONG pixelFormat,
							       ULONG conversion, ULONG flags, ULONG *actualMode,
							       BOOL *supported) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetDisplayMode(ULONG mode, DriverDisplayMode **displayMode) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetDisplayModeIterator(IUnknown **iterator) = 0;
	virtual HRESULT STDMETHODCALLTYPE SetScreenPreviewCallback(IUnknown *callback) = 0;
	virtual HRESULT STDMETHODCALLTYPE EnableVideoInput(ULONG displayMode, ULONG pixelFormat, ULONG flags) = 0;
	virtual HRESULT STDMETHODCALLTYPE EnableVideoInputWithAllocatorProvider(ULONG displayMode, ULONG pixelFormat,
										ULONG flags, IUnknown *provider) = 0;
	virtual HRESULT STDMETHODCALLTYPE DisableVideoInput() = 0;
	virtual HRESULT STDMETHODCALLTYPE GetAvailableVideoFrameCount(ULONG *count) = 0;
	virtual HRESULT STDMETHODCALLTYPE EnableAudioInput(ULONG sampleRate, ULONG sampleType, ULONG channels) = 0;
	virtual HRESULT STDMETHODCALLTYPE DisableAudioInput() = 0;
	virtual HRESULT STDMETHODCALLTYPE GetAvailableAudioSampleFrameCount(ULONG *count) = 0;
	virtual HRESULT STDMETHODCALLTYPE StartStreams() = 0;
	virtual HRESULT STDMETHODCALLTYPE StopStreams() = 0;
	virtual HRESULT STDMETHODCALLTYPE PauseStreams() = 0;
	virtual HRESULT STDMETHODCALLTYPE FlushStreams() = 0;
	virtual HRESULT STDMETHODCALLTYPE SetCallback(DriverInputCallback *callback) = 0;
};

// {BA6C6F44-6DA5-4DCE-94AA-EE2D1372A676}
inline constexpr GUID kIteratorClass = { 0xBA6C6F44, 0x6DA5, 0x4DCE, { 0x94, 0xAA, 0xEE, 0x2D, 0x13, 0x72, 0xA6, 0x76 } };
// {50FB36CD-3063-4B73-BDBB-958087F2D8BA}
inline constexpr GUID kIteratorInterface = { 0x50FB36CD, 0x3063, 0x4B73, { 0xBD, 0xBB, 0x95, 0x80, 0x87, 0xF2, 0xD8, 0xBA } };

// The capture-input interface of 16.x, then those of earlier driver
// versions: 15.x, and 11.6 to 14.2.1. Each hands over pictures of its own
// generation (kCaptureInputPictures in DeckLinkInput_win.cpp).
inline constexpr GUID kCaptureInputIds[] = {
	// {6A515F8A-FBCE-4853-B0F7-2A09DB1ECA0B}
	{ 0x6A515F8A, 0xFBCE, 0x4853, { 0xB0, 0xF7, 0x2A, 0x09, 0xDB, 0x1E, 0xCA, 0x0B } },
	// {4095DB82-E294-4B8C-AAA8-3B9E80C49336}
	{ 0x4095DB82, 0xE294, 0x4B8C, { 0xAA, 0xA8, 0x3B, 0x9E, 0x80, 0xC4, 0x93, 0x36 } },
	// {C21CDB6E-F414-46E4-A636-80A566E0ED37}
	{ 0xC21CDB6E, 0xF414, 0x46E4, { 0xA6, 0x36, 0x80, 0xA5, 0x66, 0xE0, 0xED, 0x37 } },
};
inline constexpr const char *kCaptureInputNames[] = { "6A515F8A", "4095DB82", "C21CDB6E" };
static_assert(std::size(kCaptureInputNames) == std::size(kCaptureInputIds));

// The attributes interface, current and earlier.
inline constexpr GUID kAttributesIds[] = {
	// {F47551D7-AD22-47AF-BCFD-6BE88AA879D9}
	{ 0xF47551D7, 0xAD22, 0x47AF, { 0xBC, 0xFD, 0x6B, 0xE8, 0x8A, 0xA8, 0x79, 0xD9 } },
	// {17D4BF8E-4911-473A-80A0-731CF6FF345B}
	{ 0x17D4BF8E, 0x4911, 0x473A, { 0x80, 0xA0, 0x73, 0x1C, 0xF6, 0xFF, 0x34, 0x5B } },
};

// The video-buffer interface of 16.x frames.
inline constexpr GUID kVideoBufferIds[] = {
	// {81F03D70-DE13-4B17-873A-C8AC9689C682}
	{ 0x81F03D70, 0xDE13, 0x4B17, { 0x87, 0x3A, 0xC8, 0xAC, 0x96, 0x89, 0xC6, 0x82 } },
};
// The video-buffer interface of 15.x frames.
inline constexpr GUID kVideoBuffer15Ids[] = {
	// {CCB4B64A-5C86-4E02-B778-885D352709FE}
	{ 0xCCB4B64A, 0x5C86, 0x4E02, { 0xB7, 0x78, 0x88, 0x5D, 0x35, 0x27, 0x09, 0xFE } },
};

// {00000000-0000-0000-C000-000000000046}
inline constexpr GUID kUnknownId = { 0x00000000, 0x0000, 0x0000, { 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46 } };

inline constexpr ULONG kPersistentIdAttribute = 0x70656964; // 'peid'
inline constexpr ULONG kTopologicalIdAttribute = 0x746F6964; // 'toid'
// The most embedded audio channels the device captures (an integer).
inline constexpr ULONG kMaximumAudioChannelsAttribute = 0x6D616368; // 'mach'

inline constexpr ULONG kPixelFormat8BitYuv = 0x32767579; // '2vuy'
inline constexpr ULONG kEnableFormatDetection = 1u << 0;
inline constexpr ULONG kFrameHasNoInputSource = 1u << 31;
inline constexpr ULONG kDisplayModeChanged = 1u << 0;
inline constexpr ULONG kFieldDominanceChanged = 1u << 1;
inline constexpr ULONG kBufferAccessRead = 1;
inline constexpr ULONG kAudioSampleRate48kHz = 48000;
inline constexpr ULONG kAudioSampleType16Bit = 16;
inline constexpr ULONG kLowerFieldFirst = 0x6C6F7772; // 'lowr'
inline constexpr ULONG kUpperFieldFirst = 0x75707072; // 'uppr'
inline constexpr ULONG kProgressiveFrame = 0x70726F67; // 'prog'
inline constexpr ULONG kProgressiveSegmentedFrame = 0x70736620; // 'psf '

// Holds one reference to a COM object. Move-only.
template<typename Interface>
class ComReference
{
public:
	ComReference() = default;
	explicit ComReference(Interface *object) : object_(object) {}
	~ComReference() { reset(nullptr); }
	ComReference(ComReference &&other) noexcept : object_(other.release()) {}
	ComReference &operator=(ComReference &&other) noexcept
	{
		reset(other.release());
		return *this;
	}
	ComReference(const ComReference &) = delete;
	ComReference &operator=(const ComReference &) = delete;

	Interface *get() const { return object_; }
	Interface *operator->() const { return object_; }
	explicit operator bool() const { return object_ != nullptr; }

	void reset(Interface *object)
	{
		if (object_)
			object_->Release();
		object_ = object;
	}

	Interface *release()
	{
		Interface *object = object_;
		object_ = nullptr;
		return object;
	}

private:
	Interface *object_ = nullptr;
};

// The first of the interfaces that the object answers, and its index in ids;
// none (and the size of ids) when it answers none.
template<typename Interface, std::size_t count>
ComReference<Interface> queryFirst(IUnknown &object, const GUID (&ids)[count], std::size_t *answered = nullptr)
{
	for (std::size_t index = 0; index < count; ++index) {
		void *answer = nullptr;
		if (object.QueryInterface(ids[index], &answer) == S_OK && answer) {
			if (answered)
				*answered = index;
			return ComReference<Interface>(static_cast<Interface *>(answer));
		}
	}
	if (answered)
		*answered = count;
	return ComReference<Interface>();
}

// The capture input of a device, over the interface it answered to
// (an index into kCaptureInputIds).
std::unique_ptr<DeckLinkInput> makeDeckLinkInput(ComReference<DriverInput> input, std::size_t interfaceIndex,
						 std::string deviceName, std::optional<std::int64_t> maximumAudioChannels);

} // namespace driver
} // namespace tiloran
