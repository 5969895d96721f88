// A card simulator standing in for the capture-card driver's COM server on
// Windows: an in-process server of the driver's iterator class
// {BA6C6F44-6DA5-4DCE-94AA-EE2D1372A676}, registered in the Wine prefix by
// the test that uses it, so that the server's discovery and the worker's
// capture run their real COM calls. Its interfaces are declared here from the
// driver's published IDL, apart from the programs' own
// (common/platform/DeckLinkInterfaces_win.h), so that a slip in one does not
// hide in the other: a call that lands on another slot than meant is refused
// or counted as unexpected, and shows in the report.
//
// The devices come from the environment variable TILORAN_FAKE_DECKLINK_DEVICES:
// devices separated by ";", each a list of ","-separated settings:
//   name=TEXT           display name (default "Fake DeckLink")
//   peid=N              persistent id (default: the read fails)
//   mode=MODE           the signal's mode, written as the server's test
//                       inputs are (default 720x576i50)
//   colour=K            band colour K of the test inputs' table and a tone of
//                       K x 250 Hz (default: the device's position, 1 to 8)
//   audio-channels=N    the most embedded channels it captures (default 16);
//                       audio is enabled with 2, 8, 16, 32 or 64 up to that
//                       many, other counts are refused (E_INVALIDARG)
//   nosignal-after=S    the signal goes S seconds after the streams first
//                       start, for good
// Unset, the class factory makes no iterator; empty, an iterator without
// devices.
//
// As the driver does, an input refuses EnableVideoInput and EnableAudioInput
// while its streams run (E_ACCESSDENIED); following a format change takes
// PauseStreams, EnableVideoInput, FlushStreams and StartStreams. A frame's
// bytes are handed out only between StartAccess and EndAccess of its video
// buffer. An input whose enabled mode is not its signal's delivers black
// pictures flagged without input source in the enabled mode and, with format
// detection on, announces the signal's mode once per enable. StopStreams
// returns once no callback is in progress (from within a callback, at once).
// Pictures and audio are timed by one card clock for the process (1/90000 s
// from the library's loading), on a thread per input.
//
// Report: when TILORAN_FAKE_DECKLINK_REPORT names a file, each input that
// was called appends one line at its last release:
//   input pid=P device=N calls=video=1920x1080i50,audio,callback,start,...
//         frames=F no-buffer=B formats=K refused=R unexpected=U
// (":refused" follows a refused call in calls; an uncalled slot's call is
// named after its method and counted as unexpected), and a device that loses
// its signal one line at the first picture without it, with the picture's
// card time in 1/90000 s:
//   lost pid=P device=N at=TIME

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include "fake_decklink/FakeCardMode.h"
#include "fake_decklink/FakeCardPicture.h"

// The driver's interfaces as its IDL declares them (COM layout: the methods
// in the order written, after IUnknown's, no destructor entries). External
// linkage on purpose: in an unnamed namespace the compiler would see no
// implementation of the application's callback and could drop the calls.
namespace fakedriver {

struct IFakeDisplayMode : public IUnknown {
	virtual HRESULT STDMETHODCALLTYPE GetName(BSTR *name) = 0;
	virtual ULONG STDMETHODCALLTYPE GetDisplayMode() = 0;
	virtual long STDMETHODCALLTYPE GetWidth() = 0;
	virtual long STDMETHODCALLTYPE GetHeight() = 0;
	virtual HRESULT STDMETHODCALLTYPE GetFrameRate(LONGLONG *frameDuration, LONGLONG *timeScale) = 0;
	virtual ULONG STDMETHODCALLTYPE GetFieldDominance() = 0;
	virtual ULONG STDMETHODCALLTYPE GetFlags() = 0;
};

// IDeckLinkVideoInputFrame of 16.x over its IDeckLinkVideoFrame.
struct IFakeVideoInputFrame : public IUnknown {
	virtual long STDMETHODCALLTYPE GetWidth() = 0;
	virtual long STDMETHODCALLTYPE GetHeight() = 0;
	virtual long STDMETHODCALLTYPE GetRowBytes() = 0;
	virtual ULONG STDMETHODCALLTYPE GetPixelFormat() = 0;
	virtual ULONG STDMETHODCALLTYPE GetFlags() = 0;
	virtual HRESULT STDMETHODCALLTYPE GetTimecode(ULONG format, IUnknown **timecode) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetAncillaryData(IUnknown **ancillary) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetStreamTime(LONGLONG *time, LONGLONG *duration, LONGLONG timeScale) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetHardwareReferenceTimestamp(LONGLONG timeScale, LONGLONG *time,
									LONGLONG *duration) = 0;
};

// IDeckLinkVideoBuffer of 16.x.
struct IFakeVideoBuffer : public IUnknown {
	virtual HRESULT STDMETHODCALLTYPE GetBytes(void **bytes) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetSize(ULONGLONG *size) = 0;
	virtual HRESULT STDMETHODCALLTYPE StartAccess(ULONG flags) = 0;
	virtual HRESULT STDMETHODCALLTYPE EndAccess(ULONG flags) = 0;
};

struct IFakeAudioInputPacket : public IUnknown {
	virtual long STDMETHODCALLTYPE GetSampleFrameCount() = 0;
	virtual HRESULT STDMETHODCALLTYPE GetBytes(void **bytes) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetPacketTime(LONGLONG *time, LONGLONG timeScale) = 0;
};

struct IFakeInputCallback : public IUnknown {
	virtual HRESULT STDMETHODCALLTYPE VideoInputFormatChanged(ULONG events, IFakeDisplayMode *mode, ULONG signal) = 0;
	virtual HRESULT STDMETHODCALLTYPE VideoInputFrameArrived(IFakeVideoInputFrame *frame,
								 IFakeAudioInputPacket *audio) = 0;
};

// IDeckLinkInput of 16.x.
struct IFakeInput : public IUnknown {
	virtual HRESULT STDMETHODCALLTYPE DoesSupportVideoMode(ULONG connection, ULONG mode, ULONG pixelFormat,
							       ULONG conversion, ULONG flags, ULONG *actualMode,
							       BOOL *supported) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetDisplayMode(ULONG mode, IFakeDisplayMode **displayMode) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetDisplayModeIterator(IUnknown **iterator) = 0;
	virtual HRESULT STDMETHODCALLTYPE SetScreenPreviewCallback(IUnknown *callback) = 0;
	virtual HRESULT STDMETHODCALLTYPE EnableVideoInput(ULONG mode, ULONG pixelFormat, ULONG flags) = 0;
	virtual HRESULT STDMETHODCALLTYPE EnableVideoInputWithAllocatorProvider(ULONG mode, ULONG pixelFormat,
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
	virtual HRESULT STDMETHODCALLTYPE SetCallback(IFakeInputCallback *callback) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetHardwareReferenceClock(LONGLONG timeScale, LONGLONG *hardwareTime,
								    LONGLONG *timeInFrame, LONGLONG *ticksPerFrame) = 0;
};

// IDeckLinkProfileAttributes.
struct IFakeAttributes : public IUnknown {
	virtual HRESULT STDMETHODCALLTYPE GetFlag(ULONG attribute, BOOL *value) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetInt(ULONG attribute, LONGLONG *value) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetFloat(ULONG attribute, double *value) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetString(ULONG attribute, BSTR *value) = 0;
};

struct IFakeDevice : public IUnknown {
	virtual HRESULT STDMETHODCALLTYPE GetModelName(BSTR *name) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetDisplayName(BSTR *name) = 0;
};

struct IFakeIterator : public IUnknown {
	virtual HRESULT STDMETHODCALLTYPE Next(IFakeDevice **device) = 0;
};

} // namespace fakedriver

namespace {

using namespace fakecard;
using namespace fakedriver;
using Clock = std::chrono::steady_clock;

constexpr GUID kIteratorClass = { 0xBA6C6F44, 0x6DA5, 0x4DCE, { 0x94, 0xAA, 0xEE, 0x2D, 0x13, 0x72, 0xA6, 0x76 } };
constexpr GUID kIteratorInterface = { 0x50FB36CD, 0x3063, 0x4B73, { 0xBD, 0xBB, 0x95, 0x80, 0x87, 0xF2, 0xD8, 0xBA } };
constexpr GUID kInputInterface = { 0x6A515F8A, 0xFBCE, 0x4853, { 0xB0, 0xF7, 0x2A, 0x09, 0xDB, 0x1E, 0xCA, 0x0B } };
constexpr GUID kAttributesInterface = { 0xF47551D7, 0xAD22, 0x47AF, { 0xBC, 0xFD, 0x6B, 0xE8, 0x8A, 0xA8, 0x79, 0xD9 } };
constexpr GUID kVideoBufferInterface = { 0x81F03D70, 0xDE13, 0x4B17, { 0x87, 0x3A, 0xC8, 0xAC, 0x96, 0x89, 0xC6, 0x82 } };
constexpr GUID kUnknownInterface = { 0x00000000, 0x0000, 0x0000, { 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46 } };
constexpr GUID kClassFactoryInterface = { 0x00000001, 0x0000, 0x0000, { 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46 } };

constexpr ULONG kPersistentId = 0x70656964; // 'peid'
constexpr ULONG kMaximumAudioChannels = 0x6D616368; // 'mach'
constexpr ULONG kPixelFormat8BitYuv = 0x32767579; // '2vuy'
constexpr ULONG kFormatDetection = 1u << 0;
constexpr ULONG kNoInputSource = 1u << 31;
constexpr ULONG kDisplayModeChanged = 1u << 0;
constexpr ULONG kFieldDominanceChanged = 1u << 1;
constexpr ULONG kDetectedYCbCr422 = 1u << 0;
constexpr ULONG kUpperFieldFirst = 0x75707072; // 'uppr'
constexpr ULONG kLowerFieldFirst = 0x6C6F7772; // 'lowr'
constexpr ULONG kProgressiveFrame = 0x70726F67; // 'prog'
constexpr ULONG kBufferAccessRead = 1;
constexpr int kSampleRate = 48000;
constexpr int kBuffers = 4;

// The band colours of the worker's test inputs (worker/SourceInput.h).
constexpr Colour kColours[] = {
	{ 82, 90, 240 }, { 145, 54, 34 }, { 41, 240, 110 }, { 210, 16, 146 },
	{ 170, 166, 16 }, { 106, 202, 222 }, { 146, 53, 193 }, { 235, 128, 128 },
};

const Clock::time_point cardClockOrigin = Clock::now();

bool sameInterface(REFIID left, const GUID &right)
{
	return IsEqualGUID(left, right) != 0;
}

std::wstring wide(std::string_view text)
{
	std::wstring result(text.size(), L'\0');
	const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), result.data(), int(result.size()));
	result.resize(size > 0 ? std::size_t(size) : 0);
	return result;
}

void reportLine(const std::string &line)
{
	const char *path = std::getenv("TILORAN_FAKE_DECKLINK_REPORT");
	if (!path || !*path)
		return;
	const HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
					FILE_ATTRIBUTE_NORMAL, nullptr);
	if (file == INVALID_HANDLE_VALUE)
		return;
	const std::string whole = line + "\n";
	DWORD written = 0;
	WriteFile(file, whole.data(), DWORD(whole.size()), &written, nullptr);
	CloseHandle(file);
}

struct DeviceSettings {
	int position = 0;
	std::wstring name = L"Fake DeckLink";
	std::optional<LONGLONG> persistentId;
	Mode signal;
	int colour = 0;
	int audioChannels = 16;
	std::optional<double> noSignalAfterSeconds;
};

std::vector<DeviceSettings> parseDevices(std::string_view text)
{
	std::vector<DeviceSettings> devices;
	while (!text.empty()) {
		const std::size_t end = std::min(text.find(';'), text.size());
		std::string_view device = text.substr(0, end);
		text.remove_prefix(std::min(end + 1, text.size()));
		DeviceSettings settings;
		settings.position = int(devices.size()) + 1;
		settings.colour = (settings.position - 1) % 8 + 1;
		settings.signal = *parseMode("720x576i50");
		while (!device.empty()) {
			const std::size_t comma = std::min(device.find(','), device.size());
			const std::string_view setting = device.substr(0, comma);
			device.remove_prefix(std::min(comma + 1, device.size()));
			const std::size_t equals = setting.find('=');
			const std::string_view key = setting.substr(0, equals);
			const std::string value(equals == std::string_view::npos ? "" : setting.substr(equals + 1));
			if (key == "name")
				settings.name = wide(value);
			else if (key == "peid")
				settings.persistentId = std::stoll(value);
			else if (key == "mode" && parseMode(value))
				settings.signal = *parseMode(value);
			else if (key == "colour")
				settings.colour = std::clamp(std::stoi(value), 1, 8);
			else if (key == "audio-channels")
				settings.audioChannels = std::stoi(value);
			else if (key == "nosignal-after")
				settings.noSignalAfterSeconds = std::stod(value);
		}
		devices.push_back(std::move(settings));
	}
	return devices;
}

// Reference counting for the simulator's objects, each deleted at its last
// release.
template<typename... Interfaces>
class ComObject : public Interfaces...
{
public:
	virtual ~ComObject() = default;

	ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
	ULONG STDMETHODCALLTYPE Release() override
	{
		const ULONG left = --references_;
		if (left == 0)
			delete this;
		return left;
	}

private:
	std::atomic<ULONG> references_ = 1;
};

template<typename Interface, typename Object>
HRESULT answer(Object *self, void **object)
{
	self->AddRef();
	*object = static_cast<Interface *>(self);
	return S_OK;
}

class FakeDisplayMode final : public ComObject<IFakeDisplayMode>
{
public:
	explicit FakeDisplayMode(const Mode &mode) : mode_(mode) {}

	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void **object) override
	{
		*object = nullptr;
		return sameInterface(id, kUnknownInterface) ? answer<IUnknown>(this, object) : E_NOINTERFACE;
	}
	HRESULT STDMETHODCALLTYPE GetName(BSTR *name) override
	{
		*name = SysAllocString(wide(mode_.text).c_str());
		return S_OK;
	}
	ULONG STDMETHODCALLTYPE GetDisplayMode() override { return mode_.code; }
	long STDMETHODCALLTYPE GetWidth() override { return mode_.width; }
	long STDMETHODCALLTYPE GetHeight() override { return mode_.height; }
	HRESULT STDMETHODCALLTYPE GetFrameRate(LONGLONG *frameDuration, LONGLONG *timeScale) override
	{
		*frameDuration = mode_.frameDuration;
		*timeScale = mode_.timeScale;
		return S_OK;
	}
	ULONG STDMETHODCALLTYPE GetFieldDominance() override
	{
		return !mode_.interlaced ? kProgressiveFrame : mode_.lowerFieldFirst ? kLowerFieldFirst : kUpperFieldFirst;
	}
	ULONG STDMETHODCALLTYPE GetFlags() override { return 0; }

private:
	const Mode mode_;
};

// The picture buffers an input captures into; a buffer still held by the
// application cannot be captured into. Shared by the input and its frames,
// which may outlive it.
struct BufferPool {
	struct Buffer {
		std::vector<std::uint8_t> bytes;
		BufferContent content;
		bool held = false;
	};
	std::mutex mutex;
	Buffer buffers[kBuffers];

	Buffer *take()
	{
		std::lock_guard lock(mutex);
		for (Buffer &buffer : buffers) {
			if (!buffer.held) {
				buffer.held = true;
				return &buffer;
			}
		}
		return nullptr;
	}
	void give(Buffer &buffer)
	{
		std::lock_guard lock(mutex);
		buffer.held = false;
	}
};

class FakeFrame final : public ComObject<IFakeVideoInputFrame, IFakeVideoBuffer>
{
public:
	FakeFrame(std::shared_ptr<BufferPool> pool, BufferPool::Buffer &buffer, const Mode &mode, ULONG flags,
		  std::int64_t time, std::atomic<int> &refused)
		: pool_(std::move(pool)), buffer_(buffer), mode_(mode), flags_(flags), time_(time), refused_(refused)
	{
	}
	~FakeFrame() override { pool_->give(buffer_); }

	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void **object) override
	{
		*object = nullptr;
		if (sameInterface(id, kUnknownInterface))
			return answer<IFakeVideoInputFrame>(this, object);
		if (sameInterface(id, kVideoBufferInterface))
			return answer<IFakeVideoBuffer>(this, object);
		return E_NOINTERFACE;
	}
	long STDMETHODCALLTYPE GetWidth() override { return mode_.width; }
	long STDMETHODCALLTYPE GetHeight() override { return mode_.height; }
	long STDMETHODCALLTYPE GetRowBytes() override { return mode_.width * 2; }
	ULONG STDMETHODCALLTYPE GetPixelFormat() override { return kPixelFormat8BitYuv; }
	ULONG STDMETHODCALLTYPE GetFlags() override { return flags_; }
	HRESULT STDMETHODCALLTYPE GetTimecode(ULONG, IUnknown **timecode) override
	{
		*timecode = nullptr;
		return S_FALSE;
	}
	HRESULT STDMETHODCALLTYPE GetAncillaryData(IUnknown **ancillary) override
	{
		*ancillary = nullptr;
		return S_FALSE;
	}
	// The picture's time on the card clock, in the caller's units.
	HRESULT STDMETHODCALLTYPE GetStreamTime(LONGLONG *time, LONGLONG *duration, LONGLONG timeScale) override
	{
		if (timeScale <= 0)
			return E_INVALIDARG;
		*time = time_ * mode_.frameDuration * timeScale / mode_.timeScale;
		*duration = mode_.frameDuration * timeScale / mode_.timeScale;
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE GetHardwareReferenceTimestamp(LONGLONG timeScale, LONGLONG *time,
								LONGLONG *duration) override
	{
		return GetStreamTime(time, duration, timeScale);
	}

	HRESULT STDMETHODCALLTYPE GetBytes(void **bytes) override
	{
		*bytes = nullptr;
		if (accesses_ == 0) {
			++refused_;
			return E_ACCESSDENIED;
		}
		*bytes = buffer_.bytes.data();
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE GetSize(ULONGLONG *size) override
	{
		*size = buffer_.bytes.size();
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE StartAccess(ULONG flags) override
	{
		if (flags != kBufferAccessRead)
			return E_INVALIDARG;
		++accesses_;
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE EndAccess(ULONG) override
	{
		if (accesses_ == 0) {
			++refused_;
			return E_FAIL;
		}
		--accesses_;
		return S_OK;
	}

private:
	std::shared_ptr<BufferPool> pool_;
	BufferPool::Buffer &buffer_;
	const Mode mode_;
	const ULONG flags_;
	// The frame's number on the card clock, in frames of its mode.
	const std::int64_t time_;
	std::atomic<int> accesses_ = 0;
	std::atomic<int> &refused_;
};

class FakeAudioPacket final : public ComObject<IFakeAudioInputPacket>
{
public:
	FakeAudioPacket(std::vector<std::int16_t> samples, int count, std::int64_t first)
		: samples_(std::move(samples)), count_(count), first_(first)
	{
	}

	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void **object) override
	{
		*object = nullptr;
		return sameInterface(id, kUnknownInterface) ? answer<IUnknown>(this, object) : E_NOINTERFACE;
	}
	long STDMETHODCALLTYPE GetSampleFrameCount() override { return count_; }
	HRESULT STDMETHODCALLTYPE GetBytes(void **bytes) override
	{
		*bytes = samples_.data();
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE GetPacketTime(LONGLONG *time, LONGLONG timeScale) override
	{
		if (timeScale <= 0)
			return E_INVALIDARG;
		*time = first_ * timeScale / kSampleRate;
		return S_OK;
	}

private:
	std::vector<std::int16_t> samples_;
	const int count_;
	// The first sample's number on the 48 kHz card clock.
	const std::int64_t first_;
};

// A device's capture input: its streams on a thread of its own, which calls
// the application's callback.
class FakeInput final : public ComObject<IFakeInput>
{
public:
	explicit FakeInput(const DeviceSettings &device) : device_(device) {}

	~FakeInput() override
	{
		{
			std::lock_guard lock(mutex_);
			quit_ = true;
			if (callback_)
				callback_->Release();
			callback_ = nullptr;
		}
		wake_.notify_all();
		if (thread_.joinable()) {
			if (thread_.get_id() == std::this_thread::get_id())
				thread_.detach();
			else
				thread_.join();
		}
		if (!calls_.empty())
			reportLine("input pid=" + std::to_string(GetCurrentProcessId()) + " device=" +
				   std::to_string(device_.position) + " calls=" + calls_ + " frames=" + std::to_string(frames_) +
				   " no-buffer=" + std::to_string(noBuffer_) + " formats=" + std::to_string(formats_) +
				   " refused=" + std::to_string(refused_) + " unexpected=" + std::to_string(unexpected_));
	}

	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void **object) override
	{
		*object = nullptr;
		if (sameInterface(id, kUnknownInterface) || sameInterface(id, kInputInterface))
			return answer<IFakeInput>(this, object);
		return E_NOINTERFACE;
	}

	HRESULT STDMETHODCALLTYPE DoesSupportVideoMode(ULONG, ULONG, ULONG, ULONG, ULONG, ULONG *, BOOL *) override
	{
		return unexpected("DoesSupportVideoMode");
	}
	HRESULT STDMETHODCALLTYPE GetDisplayMode(ULONG, IFakeDisplayMode **) override { return unexpected("GetDisplayMode"); }
	HRESULT STDMETHODCALLTYPE GetDisplayModeIterator(IUnknown **) override { return unexpected("GetDisplayModeIterator"); }
	HRESULT STDMETHODCALLTYPE SetScreenPreviewCallback(IUnknown *) override
	{
		return unexpected("SetScreenPreviewCallback");
	}

	HRESULT STDMETHODCALLTYPE EnableVideoInput(ULONG code, ULONG pixelFormat, ULONG flags) override
	{
		const std::optional<Mode> mode = modeOfCode(code);
		std::lock_guard lock(mutex_);
		const std::string call = "video=" + (mode ? mode->text : std::to_string(code));
		if (!mode || pixelFormat != kPixelFormat8BitYuv)
			return refuse(call, E_INVALIDARG);
		if (running())
			return refuse(call, E_ACCESSDENIED);
		enabled_ = *mode;
		detection_ = flags & kFormatDetection;
		announced_ = false;
		generator_ = std::make_shared<PictureGenerator>(*mode, kColours[device_.colour - 1]);
		note(call);
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE EnableVideoInputWithAllocatorProvider(ULONG, ULONG, ULONG, IUnknown *) override
	{
		return unexpected("EnableVideoInputWithAllocatorProvider");
	}
	HRESULT STDMETHODCALLTYPE DisableVideoInput() override { return unexpected("DisableVideoInput"); }
	HRESULT STDMETHODCALLTYPE GetAvailableVideoFrameCount(ULONG *) override
	{
		return unexpected("GetAvailableVideoFrameCount");
	}

	// 2, 8, 16, 32 or 64 embedded channels, up to the device's most.
	HRESULT STDMETHODCALLTYPE EnableAudioInput(ULONG sampleRate, ULONG sampleType, ULONG channels) override
	{
		std::lock_guard lock(mutex_);
		const bool counted = channels == 2 || channels == 8 || channels == 16 || channels == 32 || channels == 64;
		if (sampleRate != ULONG(kSampleRate) || sampleType != 16 || !counted || int(channels) > device_.audioChannels)
			return refuse("audio", E_INVALIDARG);
		if (running())
			return refuse("audio", E_ACCESSDENIED);
		tones_ = std::make_unique<ToneGenerator>(device_.colour * 250, int(channels));
		note("audio");
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE DisableAudioInput() override { return unexpected("DisableAudioInput"); }
	HRESULT STDMETHODCALLTYPE GetAvailableAudioSampleFrameCount(ULONG *) override
	{
		return unexpected("GetAvailableAudioSampleFrameCount");
	}

	// Starts the streams, or resumes them after PauseStreams.
	HRESULT STDMETHODCALLTYPE StartStreams() override
	{
		std::lock_guard lock(mutex_);
		if (!enabled_)
			return refuse("start", E_ACCESSDENIED);
		if (!firstStart_)
			firstStart_ = Clock::now();
		streaming_ = true;
		paused_ = false;
		if (!thread_.joinable())
			thread_ = std::thread([this] { run(); });
		wake_.notify_all();
		note("start");
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE StopStreams() override
	{
		std::unique_lock lock(mutex_);
		streaming_ = paused_ = false;
		note("stop");
		if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
			idle_.wait(lock, [this] { return !inCallback_; });
		return S_OK;
	}
	// The card clock runs on while paused; no picture is delivered until
	// StartStreams.
	HRESULT STDMETHODCALLTYPE PauseStreams() override
	{
		std::lock_guard lock(mutex_);
		if (!streaming_)
			return refuse("pause", E_ACCESSDENIED);
		paused_ = true;
		note("pause");
		return S_OK;
	}
	// A picture is handed over when it is taken: nothing waits to be dropped.
	HRESULT STDMETHODCALLTYPE FlushStreams() override
	{
		std::lock_guard lock(mutex_);
		note("flush");
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE SetCallback(IFakeInputCallback *callback) override
	{
		std::lock_guard lock(mutex_);
		if (callback)
			callback->AddRef();
		if (callback_)
			callback_->Release();
		callback_ = callback;
		note(callback ? "callback" : "callback=none");
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE GetHardwareReferenceClock(LONGLONG, LONGLONG *, LONGLONG *, LONGLONG *) override
	{
		return unexpected("GetHardwareReferenceClock");
	}

private:
	// Called with mutex_ held.
	bool running() const { return streaming_ && !paused_; }
	void note(const std::string &call) { calls_ += (calls_.empty() ? "" : ",") + call; }
	HRESULT refuse(const std::string &call, HRESULT result)
	{
		note(call + ":refused");
		++refused_;
		return result;
	}
	HRESULT unexpected(const char *method)
	{
		std::lock_guard lock(mutex_);
		note(method);
		++unexpected_;
		return E_NOTIMPL;
	}

	bool hasSignal(Clock::time_point now) const
	{
		return !device_.noSignalAfterSeconds ||
		       now - *firstStart_ < std::chrono::duration<double>(*device_.noSignalAfterSeconds);
	}

	// The streams' thread: a picture at each frame time of the enabled mode on
	// the card clock while the streams run; a thread that falls behind skips
	// to the newest frame time, as a card not read in time does.
	void run()
	{
		std::unique_lock lock(mutex_);
		std::int64_t next = -1;
		std::optional<Mode> nextMode;
		while (!quit_) {
			if (!running() || !enabled_) {
				next = -1;
				wake_.wait(lock);
				continue;
			}
			const Mode mode = *enabled_;
			const auto frameTime = std::chrono::duration<double>(double(mode.frameDuration) / double(mode.timeScale));
			const auto sinceOrigin = std::chrono::duration<double>(Clock::now() - cardClockOrigin);
			const std::int64_t current = std::int64_t(sinceOrigin / frameTime);
			if (next < 0 || !nextMode || !(*nextMode == mode))
				next = current + 1;
			nextMode = mode;
			next = std::max(next, current);
			const auto due = cardClockOrigin + std::chrono::duration_cast<Clock::duration>(frameTime * double(next));
			if (Clock::now() < due) {
				wake_.wait_until(lock, due);
				continue;
			}
			deliver(lock, mode, next);
			++next;
		}
	}

	// Hands picture number `number` of mode over, with its audio; called with
	// the lock held, which the callback runs without.
	void deliver(std::unique_lock<std::mutex> &lock, const Mode &mode, std::int64_t number)
	{
		if (!callback_)
			return;
		const bool signal = hasSignal(Clock::now());
		if (!signal && !lossReported_) {
			lossReported_ = true;
			reportLine("lost pid=" + std::to_string(GetCurrentProcessId()) + " device=" +
				   std::to_string(device_.position) +
				   " at=" + std::to_string(number * mode.frameDuration * 90000 / mode.timeScale));
		}
		const bool inMode = device_.signal == mode;
		IFakeDisplayMode *announce = nullptr;
		ULONG events = 0;
		if (signal && !inMode && detection_ && !announced_) {
			announced_ = true;
			++formats_;
			announce = new FakeDisplayMode(device_.signal);
			events = kDisplayModeChanged;
			if (device_.signal.interlaced != mode.interlaced || device_.signal.lowerFieldFirst != mode.lowerFieldFirst)
				events |= kFieldDominanceChanged;
		}

		FakeFrame *frame = nullptr;
		if (BufferPool::Buffer *buffer = pool_->take()) {
			const std::shared_ptr<PictureGenerator> generator = generator_;
			buffer->bytes.resize(generator->size());
			if (signal && inMode)
				generator->draw(buffer->bytes, buffer->content, number);
			else
				generator->drawBlack(buffer->bytes, buffer->content);
			frame = new FakeFrame(pool_, *buffer, mode, signal && inMode ? 0 : kNoInputSource, number, refused_);
			++frames_;
		} else {
			++noBuffer_;
		}

		FakeAudioPacket *audio = nullptr;
		if (tones_) {
			const std::int64_t first = number * mode.frameDuration * kSampleRate / mode.timeScale;
			const std::int64_t last = (number + 1) * mode.frameDuration * kSampleRate / mode.timeScale;
			const int count = int(last - first);
			std::vector<std::int16_t> samples(std::size_t(count) * std::size_t(tones_->channels()), 0);
			if (signal)
				tones_->fill(samples.data(), first, count);
			audio = new FakeAudioPacket(std::move(samples), count, first);
		}

		IFakeInputCallback *callback = callback_;
		callback->AddRef();
		inCallback_ = true;
		lock.unlock();
		if (announce)
			callback->VideoInputFormatChanged(events, announce, kDetectedYCbCr422);
		if (frame || audio)
			callback->VideoInputFrameArrived(frame, audio);
		if (announce)
			announce->Release();
		if (frame)
			frame->Release();
		if (audio)
			audio->Release();
		callback->Release();
		lock.lock();
		inCallback_ = false;
		idle_.notify_all();
	}

	const DeviceSettings device_;
	const std::shared_ptr<BufferPool> pool_ = std::make_shared<BufferPool>();

	std::mutex mutex_;
	std::condition_variable wake_;
	std::condition_variable idle_;
	std::thread thread_;
	bool quit_ = false;
	bool streaming_ = false;
	bool paused_ = false;
	bool inCallback_ = false;
	std::optional<Clock::time_point> firstStart_;
	std::optional<Mode> enabled_;
	bool detection_ = false;
	bool announced_ = false;
	bool lossReported_ = false;
	std::shared_ptr<PictureGenerator> generator_;
	std::unique_ptr<ToneGenerator> tones_;
	IFakeInputCallback *callback_ = nullptr;

	std::string calls_;
	std::int64_t frames_ = 0;
	std::int64_t noBuffer_ = 0;
	int formats_ = 0;
	std::atomic<int> refused_ = 0;
	int unexpected_ = 0;
};

class FakeAttributes final : public ComObject<IFakeAttributes>
{
public:
	explicit FakeAttributes(const DeviceSettings &device) : device_(device) {}

	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void **object) override
	{
		*object = nullptr;
		return sameInterface(id, kUnknownInterface) ? answer<IUnknown>(this, object) : E_NOINTERFACE;
	}
	HRESULT STDMETHODCALLTYPE GetFlag(ULONG, BOOL *) override { return E_INVALIDARG; }
	HRESULT STDMETHODCALLTYPE GetInt(ULONG attribute, LONGLONG *value) override
	{
		if (attribute == kPersistentId && device_.persistentId) {
			*value = *device_.persistentId;
			return S_OK;
		}
		if (attribute == kMaximumAudioChannels) {
			*value = device_.audioChannels;
			return S_OK;
		}
		return E_INVALIDARG;
	}
	HRESULT STDMETHODCALLTYPE GetFloat(ULONG, double *) override { return E_INVALIDARG; }
	HRESULT STDMETHODCALLTYPE GetString(ULONG, BSTR *) override { return E_INVALIDARG; }

private:
	const DeviceSettings device_;
};

class FakeDevice final : public ComObject<IFakeDevice>
{
public:
	explicit FakeDevice(const DeviceSettings &device) : device_(device) {}

	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void **object) override
	{
		*object = nullptr;
		if (sameInterface(id, kUnknownInterface))
			return answer<IFakeDevice>(this, object);
		if (sameInterface(id, kInputInterface))
			*object = static_cast<IFakeInput *>(new FakeInput(device_));
		else if (sameInterface(id, kAttributesInterface))
			*object = static_cast<IFakeAttributes *>(new FakeAttributes(device_));
		return *object ? S_OK : E_NOINTERFACE;
	}
	HRESULT STDMETHODCALLTYPE GetModelName(BSTR *name) override
	{
		*name = SysAllocString(L"Fake DeckLink");
		return S_OK;
	}
	HRESULT STDMETHODCALLTYPE GetDisplayName(BSTR *name) override
	{
		*name = SysAllocString(device_.name.c_str());
		return S_OK;
	}

private:
	const DeviceSettings device_;
};

class FakeIterator final : public ComObject<IFakeIterator>
{
public:
	explicit FakeIterator(std::vector<DeviceSettings> devices) : devices_(std::move(devices)) {}

	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void **object) override
	{
		*object = nullptr;
		if (sameInterface(id, kUnknownInterface) || sameInterface(id, kIteratorInterface))
			return answer<IFakeIterator>(this, object);
		return E_NOINTERFACE;
	}
	HRESULT STDMETHODCALLTYPE Next(IFakeDevice **device) override
	{
		*device = nullptr;
		if (next_ >= devices_.size())
			return S_FALSE;
		*device = new FakeDevice(devices_[next_++]);
		return S_OK;
	}

private:
	const std::vector<DeviceSettings> devices_;
	std::size_t next_ = 0;
};

// The class object of the iterator: one for the process, never deleted.
class IteratorFactory final : public IClassFactory
{
public:
	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void **object) override
	{
		*object = nullptr;
		if (!sameInterface(id, kUnknownInterface) && !sameInterface(id, kClassFactoryInterface))
			return E_NOINTERFACE;
		*object = static_cast<IClassFactory *>(this);
		return S_OK;
	}
	ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
	ULONG STDMETHODCALLTYPE Release() override { return 1; }
	HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID id, void **object) override
	{
		*object = nullptr;
		if (outer)
			return CLASS_E_NOAGGREGATION;
		const char *devices = std::getenv("TILORAN_FAKE_DECKLINK_DEVICES");
		if (!devices)
			return E_FAIL;
		auto *iterator = new FakeIterator(parseDevices(devices));
		const HRESULT result = iterator->QueryInterface(id, object);
		iterator->Release();
		return result;
	}
	HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

IteratorFactory factory;

} // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID id, REFIID wanted, void **object)
{
	*object = nullptr;
	if (!sameInterface(id, kIteratorClass))
		return CLASS_E_CLASSNOTAVAILABLE;
	return factory.QueryInterface(wanted, object);
}

// Its threads and the objects applications still hold keep it loaded.
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
	return S_FALSE;
}
