// A card simulator standing in for the capture-card driver's Linux runtime
// library, so that the server's discovery and the worker's capture run their
// real code in tests and demos. Its objects are laid out by hand the way the
// driver's are: a pointer to a table of methods, QueryInterface, AddRef and
// Release first, the object passed as the first argument, interface ids
// passed by value as 16 bytes. The tables are written here from the driver's
// published layout, apart from the worker's own, so that a slip in one does
// not hide in the other.
//
// The devices come from the environment variable TILORAN_FAKE_DECKLINK_DEVICES:
// devices separated by ";", each a list of ","-separated settings:
//   name=TEXT        display name (default "Fake DeckLink")
//   name-fails       the display-name call fails
//   name-null        the display-name call succeeds without a name
//   peid=N, toid=N   persistent and topological id (default: the read fails)
//   no-capture       no capture-input interface
//   capture=older1   the capture input answers only to the first earlier id
//                    (15.x; its frames hand out their bytes through the
//                    video buffer of 15.x, without GetSize)
//   capture=older2   ... only to the second earlier id (11.6 to 14.2.1; its
//                    frames hand out their bytes themselves)
//   attributes=older the attributes answer only to the earlier id
//   attributes=none  no attributes interface
//   mode=MODE        the signal's broadcast mode, written as the server's
//                    test inputs are (default 720x576i50)
//   colour=K         band colour K of the test inputs' table and tones as
//                    test input K has them: K x 250 Hz on channels 1 and 2,
//                    1000 Hz more on each following pair (default: the
//                    device's position, 1 to 8)
//   audio-channels=N the most embedded audio channels it captures, as its
//                    attributes say (default 16); audio is enabled with 2, 8,
//                    16, 32 or 64 channels up to that many, other counts are
//                    refused as the driver refuses them (E_INVALIDARG)
//   no-audio-attribute  the attribute's read fails (the device still
//                    captures up to audio-channels)
//   buffers=N        frames the device captures into (default 4): a frame
//                    still held by the application cannot be captured into
//   nosignal         no signal from the start, until a "signal" switch
//   audio-without-signal=silence|tone|none
//                    audio while there is no signal: silent packets (the
//                    default), the tone as before, or no packets at all
// Unset, the factory hands out no iterator; empty, an iterator without devices.
//
// A capturing device delivers moving pictures (see FakeCardPicture.h) and
// its tone on a thread of its own at its mode's rate, timed by one clock for
// all devices of the process (the card clock, which starts when the library
// is loaded: stream times are card times). Pictures without signal are black
// and flagged so. Interlaced modes are upper field first, NTSC lower field
// first, as the driver's modes are. A device whose enabled mode is not its
// signal's delivers flagged pictures in the enabled mode and, with format
// detection on, announces the signal's mode once per enable. A callback
// thread that falls more frames behind than its buffers, counting from the
// start of the streams too, skips to the newest ones ("skipped" in the
// report), as a card that is not read in time does.
//
// As the driver does, the input refuses EnableVideoInput and EnableAudioInput
// while its streams run (E_ACCESSDENIED); following a format change takes
// PauseStreams, EnableVideoInput, FlushStreams and StartStreams, as the
// driver's samples do. PauseStreams keeps the stream's position (the card
// clock runs on and no picture is delivered) and StartStreams resumes it;
// StopStreams may be called from within a callback. Each call on an input is
// noted (FakeDeckLinkReport: "calls=video=720x576i50,audio,callback,start,...",
// ":refused" after one refused), and a call of a slot that the simulator does
// not offer counts as unexpected.
//
// Switches: tests append lines "DEVICE SWITCH [ARGUMENTS]" to the file named
// by TILORAN_FAKE_DECKLINK_CONTROL (DEVICE is the position in the list, from
// 1); each capturing device applies its own at its next picture:
//   N nosignal SECONDS   no signal for that long
//   N signal             the signal comes back now
//   N stall SECONDS      no callbacks for that long (frames are missed)
//   N format MODE        the signal changes to another mode
//   N slow MS SECONDS    for that long each callback is followed by MS of
//                        the consumer's time, as if it had taken that long
// Lines already in the file when the library is first used are ignored.
//
// Report: when TILORAN_FAKE_DECKLINK_REPORT names a file, the simulator
// appends a line per switch applied ("switch pid=P device=N ..." with card
// times in 1/90000 s) and, when the library is unloaded (at the process's
// end), one per device and one for every other object
// ("unload pid=P device=N frames=... frames-held=0 ..."; see balance()).
// FakeDeckLinkBalance() returns the same lines at any moment, for tests in
// the same process; FakeDeckLinkReport() the objects handed out since the
// last iterator with their references and the calls made on devices.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <pthread.h>
#include <unistd.h>

#include "FakeCardControl.h"
#include "FakeCardMode.h"
#include "FakeCardPicture.h"

namespace {

using namespace fakecard;
using Clock = std::chrono::steady_clock;

using HResult = std::int32_t;
constexpr HResult kOk = 0;
constexpr HResult kFalse = 1;
// The failure codes of the driver's Linux COM header, which differ from Windows'.
constexpr HResult kFail = static_cast<HResult>(0x80000008u);
constexpr HResult kNoInterface = static_cast<HResult>(0x80000004u);
constexpr HResult kNotImplemented = static_cast<HResult>(0x80000001u);
constexpr HResult kInvalidArgument = static_cast<HResult>(0x80000003u);
constexpr HResult kAccessDenied = static_cast<HResult>(0x80000009u);
// AddRef and Release return ULONG, an unsigned long there.
using ReferenceCount = unsigned long;

struct InterfaceId {
	unsigned char bytes[16];
};

constexpr InterfaceId kCaptureInput = { { 0x6A, 0x51, 0x5F, 0x8A, 0xFB, 0xCE, 0x48, 0x53, 0xB0, 0xF7, 0x2A, 0x09, 0xDB, 0x1E, 0xCA, 0x0B } };
constexpr InterfaceId kCaptureInputOlder1 = { { 0x40, 0x95, 0xDB, 0x82, 0xE2, 0x94, 0x4B, 0x8C, 0xAA, 0xA8, 0x3B, 0x9E, 0x80, 0xC4, 0x93, 0x36 } };
constexpr InterfaceId kCaptureInputOlder2 = { { 0xC2, 0x1C, 0xDB, 0x6E, 0xF4, 0x14, 0x46, 0xE4, 0xA6, 0x36, 0x80, 0xA5, 0x66, 0xE0, 0xED, 0x37 } };
constexpr InterfaceId kAttributes = { { 0xF4, 0x75, 0x51, 0xD7, 0xAD, 0x22, 0x47, 0xAF, 0xBC, 0xFD, 0x6B, 0xE8, 0x8A, 0xA8, 0x79, 0xD9 } };
constexpr InterfaceId kAttributesOlder = { { 0x17, 0xD4, 0xBF, 0x8E, 0x49, 0x11, 0x47, 0x3A, 0x80, 0xA0, 0x73, 0x1C, 0xF6, 0xFF, 0x34, 0x5B } };
constexpr InterfaceId kVideoBuffer = { { 0x81, 0xF0, 0x3D, 0x70, 0xDE, 0x13, 0x4B, 0x17, 0x87, 0x3A, 0xC8, 0xAC, 0x96, 0x89, 0xC6, 0x82 } };
constexpr InterfaceId kVideoBuffer15 = { { 0xCC, 0xB4, 0xB6, 0x4A, 0x5C, 0x86, 0x4E, 0x02, 0xB7, 0x78, 0x88, 0x5D, 0x35, 0x27, 0x09, 0xFE } };
constexpr InterfaceId kUnknown = { { 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46 } };

constexpr std::uint32_t kPersistentId = 0x70656964;
constexpr std::uint32_t kTopologicalId = 0x746F6964;
constexpr std::uint32_t kMaximumAudioChannels = 0x6D616368; // 'mach'
constexpr std::uint32_t kPixelFormat8BitYuv = 0x32767579; // '2vuy'
constexpr std::uint32_t kFormatDetection = 1u << 0;
constexpr std::uint32_t kNoInputSource = 1u << 31;
constexpr std::uint32_t kDisplayModeChanged = 1u << 0;
constexpr std::uint32_t kFieldDominanceChanged = 1u << 1;
constexpr std::uint32_t kDetectedYCbCr422 = 1u << 0;
constexpr std::uint32_t kUpperFieldFirst = 0x75707072; // 'uppr'
constexpr std::uint32_t kLowerFieldFirst = 0x6C6F7772; // 'lowr'
constexpr std::uint32_t kProgressiveFrame = 0x70726F67; // 'prog'
constexpr std::int64_t kCardTicks = 90000;
constexpr int kSampleRate = 48000;

// The band colours of the worker's test inputs (worker/SourceInput.h).
constexpr Colour kColours[] = {
	{ 82, 90, 240 }, { 145, 54, 34 }, { 41, 240, 110 }, { 210, 16, 146 },
	{ 170, 166, 16 }, { 106, 202, 222 }, { 146, 53, 193 }, { 235, 128, 128 },
};

bool operator==(const InterfaceId &left, const InterfaceId &right)
{
	return std::memcmp(left.bytes, right.bytes, sizeof(left.bytes)) == 0;
}

const Clock::time_point cardClockOrigin = Clock::now();

std::string pid()
{
	return std::to_string(::getpid());
}

struct Object;
struct Hardware;

// The driver generations a capture input can be of: the interface id it
// answers, and with it how its pictures hand out their bytes.
enum class Generation {
	// 16.x: through the video buffer 81F03D70.
	Current,
	// 15.x: through the video buffer CCB4B64A.
	V15,
	// 11.6 to 14.2.1: on the frame itself.
	Older,
};

// Slots are counted from 0; the tables below hold the methods in the order of
// the driver's published headers (the comment above each), and the slots
// that the worker calls are pinned by the static_asserts under them. A
// virtual destructor takes two entries where it is declared, last.
constexpr std::size_t kSlot = sizeof(void (*)());

void logCall(Object *self, const std::string &call);

struct UnknownMethods {
	HResult (*queryInterface)(Object *self, InterfaceId id, void **object);
	ReferenceCount (*addRef)(Object *self);
	ReferenceCount (*release)(Object *self);
};

// IDeckLinkIterator: IUnknown, Next.
struct IteratorMethods {
	UnknownMethods unknown;
	HResult (*next)(Object *self, Object **device);
};
static_assert(offsetof(IteratorMethods, next) == 3 * kSlot);

// IDeckLink: IUnknown, GetModelName, GetDisplayName, destructor.
struct DeviceMethods {
	UnknownMethods unknown;
	HResult (*getModelName)(Object *self, const char **name);
	HResult (*getDisplayName)(Object *self, const char **name);
};
static_assert(offsetof(DeviceMethods, getDisplayName) == 4 * kSlot);

// IDeckLinkProfileAttributes: IUnknown, GetFlag, GetInt, GetFloat, GetString,
// (16.x only) GetStringWithParam, destructor.
struct AttributesMethods {
	UnknownMethods unknown;
	HResult (*getFlag)(Object *self, std::uint32_t attribute, bool *value);
	HResult (*getInt)(Object *self, std::uint32_t attribute, std::int64_t *value);
};
static_assert(offsetof(AttributesMethods, getInt) == 4 * kSlot);

using Unexpected = HResult (*)(Object *);

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
	Unexpected doesSupportVideoMode, getDisplayMode, getDisplayModeIterator, setScreenPreviewCallback;
	HResult (*enableVideoInput)(Object *self, std::uint32_t mode, std::uint32_t pixelFormat, std::uint32_t flags);
	Unexpected versionDependent[3];
	HResult (*enableAudioInput)(Object *self, std::uint32_t sampleRate, std::uint32_t sampleType,
				    std::uint32_t channels);
	HResult (*disableAudioInput)(Object *self);
	Unexpected getAvailableAudioSampleFrameCount;
	HResult (*startStreams)(Object *self);
	HResult (*stopStreams)(Object *self);
	HResult (*pauseStreams)(Object *self);
	HResult (*flushStreams)(Object *self);
	HResult (*setCallback)(Object *self, Object *callback);
	Unexpected getHardwareReferenceClock;
};
static_assert(offsetof(InputMethods, enableVideoInput) == 7 * kSlot);
static_assert(offsetof(InputMethods, enableAudioInput) == 11 * kSlot);
static_assert(offsetof(InputMethods, disableAudioInput) == 12 * kSlot);
static_assert(offsetof(InputMethods, startStreams) == 14 * kSlot);
static_assert(offsetof(InputMethods, stopStreams) == 15 * kSlot);
static_assert(offsetof(InputMethods, pauseStreams) == 16 * kSlot);
static_assert(offsetof(InputMethods, flushStreams) == 17 * kSlot);
static_assert(offsetof(InputMethods, setCallback) == 18 * kSlot);
static_assert(offsetof(InputMethods, getHardwareReferenceClock) == 19 * kSlot);

// IDeckLinkInputCallback, which the application implements: IUnknown,
// VideoInputFormatChanged, VideoInputFrameArrived, destructor.
struct CallbackMethods {
	UnknownMethods unknown;
	HResult (*videoInputFormatChanged)(Object *self, std::uint32_t events, Object *mode, std::uint32_t flags);
	HResult (*videoInputFrameArrived)(Object *self, Object *frame, Object *packet);
};
static_assert(offsetof(CallbackMethods, videoInputFormatChanged) == 3 * kSlot);
static_assert(offsetof(CallbackMethods, videoInputFrameArrived) == 4 * kSlot);

template<typename Methods>
const Methods &methodsOf(Object *object)
{
	return **reinterpret_cast<const Methods *const *>(object);
}

struct DeviceSettings {
	std::string name = "Fake DeckLink";
	bool nameFails = false;
	bool nameNull = false;
	std::optional<std::int64_t> persistentId;
	std::optional<std::int64_t> topologicalId;
	std::string capture = "current";
	std::string attributes = "current";
	std::string mode = "720x576i50";
	int colour = 0;
	int audioChannels = 16;
	bool audioAttribute = true;
	int buffers = 4;
	bool noSignal = false;
	std::string audioWithoutSignal = "silence";
};

// Every object of discovery starts with its method table, as the driver's do.
struct Object {
	const void *methods;
	std::atomic<long> references{ 1 };
	std::string label;
	Hardware *hardware = nullptr;
	// The device that handed out this interface; calls are logged there.
	Object *device = nullptr;
	std::vector<std::string> calls;
	// Inputs: the generation of the interface the input was asked for.
	Generation generation = Generation::Current;
};

// A picture the device captured into. Its video-buffer interface is a part of
// it that shares its references.
struct Frame {
	struct BufferPart {
		const void *methods;
		Frame *frame;
	};

	const void *methods;
	BufferPart buffer;
	Hardware *hardware = nullptr;
	Generation generation = Generation::Current;
	std::atomic<long> references{ 0 };
	std::atomic<int> access{ 0 };
	std::atomic<bool> inUse{ false };
	std::vector<std::uint8_t> pixels;
	BufferContent content;
	int width = 0;
	int height = 0;
	int rowBytes = 0;
	std::uint32_t flags = 0;
	std::int64_t index = 0;
	std::int64_t frameDuration = 0;
	std::int64_t timeScale = 0;
};

struct Packet {
	const void *methods;
	Hardware *hardware = nullptr;
	std::atomic<long> references{ 0 };
	std::atomic<bool> inUse{ false };
	std::vector<std::int16_t> samples;
	int count = 0;
	std::int64_t firstSample = 0;
};

struct DisplayMode {
	const void *methods;
	std::atomic<long> references{ 1 };
	Mode mode;
};

// One simulated device: what stays of it while objects come and go.
struct Hardware {
	int position = 0;
	DeviceSettings settings;
	Colour colour{};
	int toneFrequency = 0;

	std::mutex mutex;
	std::condition_variable wake;
	Mode signalMode;
	Object *owner = nullptr;
	std::optional<Mode> enabledMode;
	bool detection = false;
	bool audioEnabled = false;
	// The tones of the channels audio is enabled with.
	std::unique_ptr<ToneGenerator> tones;
	Object *callback = nullptr;
	std::thread thread;
	bool streaming = false;
	bool paused = false;
	bool stopRequested = false;
	bool modeChanged = false;
	// When the streams last (re)started in the enabled mode: the first
	// picture after it is the one due then, however late the thread gets
	// to it.
	Clock::time_point restartedAt;
	bool formatAnnounced = false;
	std::int64_t nextIndex = 0;
	std::unique_ptr<PictureGenerator> generator;
	std::vector<std::unique_ptr<Frame>> frames;
	std::vector<std::unique_ptr<Packet>> packets;
	std::vector<std::unique_ptr<DisplayMode>> displayModes;
	ControlReader control;

	// Switches, in card time.
	bool noSignalForever = false;
	std::int64_t noSignalUntil = 0;
	std::int64_t stallUntil = 0;
	std::int64_t slowUntil = 0;
	int slowMs = 0;

	std::atomic<std::int64_t> framesDelivered{ 0 };
	std::atomic<std::int64_t> packetsDelivered{ 0 };
	std::atomic<std::int64_t> overReleased{ 0 };
	std::atomic<std::int64_t> accessLeftOpen{ 0 };
	std::atomic<std::int64_t> bytesRefused{ 0 };
	std::atomic<std::int64_t> skipped{ 0 };
	std::atomic<std::int64_t> stalled{ 0 };
	std::atomic<std::int64_t> noBuffer{ 0 };
	std::atomic<std::int64_t> formatChanges{ 0 };
	std::atomic<std::int64_t> releasedWhileStreaming{ 0 };
	std::atomic<std::int64_t> unexpectedCalls{ 0 };
};

struct Driver {
	std::mutex mutex;
	std::string devicesText;
	std::vector<std::unique_ptr<Hardware>> hardware;
	std::vector<std::unique_ptr<Object>> objects;
	std::size_t lastIteratorObjects = 0;
	std::size_t nextDevice = 0;
	std::string report;
	std::string balance;

	~Driver();
};

Driver &driver()
{
	static Driver instance;
	return instance;
}

ReferenceCount addRef(Object *self)
{
	return static_cast<ReferenceCount>(++self->references);
}

ReferenceCount release(Object *self)
{
	// Objects stay allocated, so that a release too many shows in the report.
	const long left = --self->references;
	return left < 0 ? 0 : static_cast<ReferenceCount>(left);
}

HResult noInterface(Object *, InterfaceId, void **object)
{
	*object = nullptr;
	return kNoInterface;
}

Object *newObject(const void *methods, std::string label, Hardware *hardware, Object *device = nullptr)
{
	Driver &state = driver();
	std::lock_guard lock(state.mutex);
	state.objects.push_back(std::make_unique<Object>());
	Object *object = state.objects.back().get();
	object->methods = methods;
	object->label = std::move(label);
	object->hardware = hardware;
	object->device = device;
	return object;
}

void logCall(Object *self, const std::string &call)
{
	std::lock_guard lock(driver().mutex);
	self->calls.push_back(call);
}

// ---- Frames, their video buffers, audio packets and display modes.

ReferenceCount frameAddRef(Frame *frame)
{
	return static_cast<ReferenceCount>(++frame->references);
}

ReferenceCount frameRelease(Frame *frame)
{
	const long left = --frame->references;
	if (left < 0) {
		++frame->hardware->overReleased;
		return 0;
	}
	if (left == 0) {
		if (frame->access != 0)
			++frame->hardware->accessLeftOpen;
		frame->access = 0;
		frame->inUse = false;
	}
	return static_cast<ReferenceCount>(left);
}

HResult frameQueryInterface(Frame *frame, InterfaceId id, void **object);

HResult bufferQueryInterface(Frame::BufferPart *self, InterfaceId id, void **object)
{
	return frameQueryInterface(self->frame, id, object);
}

ReferenceCount bufferAddRef(Frame::BufferPart *self)
{
	return frameAddRef(self->frame);
}

ReferenceCount bufferRelease(Frame::BufferPart *self)
{
	return frameRelease(self->frame);
}

// Bytes are handed out only while access is open.
HResult bufferGetBytes(Frame::BufferPart *self, void **bytes)
{
	*bytes = nullptr;
	if (self->frame->access <= 0) {
		++self->frame->hardware->bytesRefused;
		return kFail;
	}
	*bytes = self->frame->pixels.data();
	return kOk;
}

HResult bufferGetSize(Frame::BufferPart *self, std::uint64_t *size)
{
	*size = self->frame->pixels.size();
	return kOk;
}

HResult bufferStartAccess(Frame::BufferPart *self, std::uint32_t)
{
	++self->frame->access;
	return kOk;
}

HResult bufferEndAccess(Frame::BufferPart *self, std::uint32_t)
{
	if (--self->frame->access < 0) {
		self->frame->access = 0;
		return kFail;
	}
	return kOk;
}

// IDeckLinkVideoBuffer of 16.x (81F03D70): IUnknown, GetBytes, GetSize,
// StartAccess, EndAccess.
struct BufferMethods {
	HResult (*queryInterface)(Frame::BufferPart *self, InterfaceId id, void **object);
	ReferenceCount (*addRef)(Frame::BufferPart *self);
	ReferenceCount (*release)(Frame::BufferPart *self);
	HResult (*getBytes)(Frame::BufferPart *self, void **bytes);
	HResult (*getSize)(Frame::BufferPart *self, std::uint64_t *size);
	HResult (*startAccess)(Frame::BufferPart *self, std::uint32_t flags);
	HResult (*endAccess)(Frame::BufferPart *self, std::uint32_t flags);
};
static_assert(offsetof(BufferMethods, getBytes) == 3 * kSlot);
static_assert(offsetof(BufferMethods, startAccess) == 5 * kSlot);
static_assert(offsetof(BufferMethods, endAccess) == 6 * kSlot);

const BufferMethods kBufferMethods = { bufferQueryInterface, bufferAddRef,	bufferRelease,	bufferGetBytes,
				       bufferGetSize,	     bufferStartAccess, bufferEndAccess };

// IDeckLinkVideoBuffer of 15.x (CCB4B64A): IUnknown, GetBytes, StartAccess,
// EndAccess.
struct Buffer15Methods {
	HResult (*queryInterface)(Frame::BufferPart *self, InterfaceId id, void **object);
	ReferenceCount (*addRef)(Frame::BufferPart *self);
	ReferenceCount (*release)(Frame::BufferPart *self);
	HResult (*getBytes)(Frame::BufferPart *self, void **bytes);
	HResult (*startAccess)(Frame::BufferPart *self, std::uint32_t flags);
	HResult (*endAccess)(Frame::BufferPart *self, std::uint32_t flags);
};
static_assert(offsetof(Buffer15Methods, getBytes) == 3 * kSlot);
static_assert(offsetof(Buffer15Methods, startAccess) == 4 * kSlot);
static_assert(offsetof(Buffer15Methods, endAccess) == 5 * kSlot);

const Buffer15Methods kBuffer15Methods = { bufferQueryInterface, bufferAddRef,	   bufferRelease,
					   bufferGetBytes,	 bufferStartAccess, bufferEndAccess };

long frameWidth(Frame *frame)
{
	return frame->width;
}

long frameHeight(Frame *frame)
{
	return frame->height;
}

long frameRowBytes(Frame *frame)
{
	return frame->rowBytes;
}

std::uint32_t framePixelFormat(Frame *)
{
	return kPixelFormat8BitYuv;
}

std::uint32_t frameFlags(Frame *frame)
{
	return frame->flags;
}

HResult frameNoTimecode(Frame *, std::uint32_t, void **timecode)
{
	*timecode = nullptr;
	return kFalse;
}

HResult frameNoAncillary(Frame *, void **ancillary)
{
	*ancillary = nullptr;
	return kFalse;
}

void frameDestructor(Frame *)
{
}

HResult frameStreamTime(Frame *frame, std::int64_t *time, std::int64_t *duration, std::int64_t timeScale)
{
	if (timeScale <= 0)
		return kInvalidArgument;
	*time = frame->index * frame->frameDuration * timeScale / frame->timeScale;
	*duration = frame->frameDuration * timeScale / frame->timeScale;
	return kOk;
}

HResult frameHardwareTime(Frame *frame, std::int64_t timeScale, std::int64_t *time, std::int64_t *duration)
{
	return frameStreamTime(frame, time, duration, timeScale);
}

// The older frames hand out their bytes themselves.
HResult frameGetBytes(Frame *frame, void **bytes)
{
	*bytes = frame->pixels.data();
	return kOk;
}

// IDeckLinkVideoInputFrame over IDeckLinkVideoFrame of 15.0 on: IUnknown,
// GetWidth, GetHeight, GetRowBytes, GetPixelFormat, GetFlags, GetTimecode,
// GetAncillaryData, the base's destructor, GetStreamTime,
// GetHardwareReferenceTimestamp; the frame's own destructor overrides the
// base's entries.
struct CurrentFrameMethods {
	HResult (*queryInterface)(Frame *self, InterfaceId id, void **object);
	ReferenceCount (*addRef)(Frame *self);
	ReferenceCount (*release)(Frame *self);
	long (*getWidth)(Frame *self);
	long (*getHeight)(Frame *self);
	long (*getRowBytes)(Frame *self);
	std::uint32_t (*getPixelFormat)(Frame *self);
	std::uint32_t (*getFlags)(Frame *self);
	HResult (*getTimecode)(Frame *self, std::uint32_t format, void **timecode);
	HResult (*getAncillaryData)(Frame *self, void **ancillary);
	void (*destructor[2])(Frame *self);
	HResult (*getStreamTime)(Frame *self, std::int64_t *time, std::int64_t *duration, std::int64_t timeScale);
	HResult (*getHardwareReferenceTimestamp)(Frame *self, std::int64_t timeScale, std::int64_t *time,
						 std::int64_t *duration);
};

static_assert(offsetof(CurrentFrameMethods, getWidth) == 3 * kSlot);
static_assert(offsetof(CurrentFrameMethods, getFlags) == 7 * kSlot);
static_assert(offsetof(CurrentFrameMethods, getStreamTime) == 12 * kSlot);

// The same up to 14.2.1: GetBytes between GetFlags and GetTimecode.
struct OlderFrameMethods {
	HResult (*queryInterface)(Frame *self, InterfaceId id, void **object);
	ReferenceCount (*addRef)(Frame *self);
	ReferenceCount (*release)(Frame *self);
	long (*getWidth)(Frame *self);
	long (*getHeight)(Frame *self);
	long (*getRowBytes)(Frame *self);
	std::uint32_t (*getPixelFormat)(Frame *self);
	std::uint32_t (*getFlags)(Frame *self);
	HResult (*getBytes)(Frame *self, void **bytes);
	HResult (*getTimecode)(Frame *self, std::uint32_t format, void **timecode);
	HResult (*getAncillaryData)(Frame *self, void **ancillary);
	void (*destructor[2])(Frame *self);
	HResult (*getStreamTime)(Frame *self, std::int64_t *time, std::int64_t *duration, std::int64_t timeScale);
	HResult (*getHardwareReferenceTimestamp)(Frame *self, std::int64_t timeScale, std::int64_t *time,
						 std::int64_t *duration);
};

static_assert(offsetof(OlderFrameMethods, getFlags) == 7 * kSlot);
static_assert(offsetof(OlderFrameMethods, getBytes) == 8 * kSlot);
static_assert(offsetof(OlderFrameMethods, getStreamTime) == 13 * kSlot);

const CurrentFrameMethods kCurrentFrameMethods = {
	frameQueryInterface, frameAddRef,	  frameRelease,	   frameWidth,
	frameHeight,	     frameRowBytes,	  framePixelFormat, frameFlags,
	frameNoTimecode,     frameNoAncillary, { frameDestructor, frameDestructor },
	frameStreamTime,     frameHardwareTime,
};

const OlderFrameMethods kOlderFrameMethods = {
	frameQueryInterface, frameAddRef,	  frameRelease,	   frameWidth,
	frameHeight,	     frameRowBytes,	  framePixelFormat, frameFlags,
	frameGetBytes,	     frameNoTimecode,  frameNoAncillary, { frameDestructor, frameDestructor },
	frameStreamTime,     frameHardwareTime,
};

HResult frameQueryInterface(Frame *frame, InterfaceId id, void **object)
{
	*object = nullptr;
	if (id == kUnknown) {
		frameAddRef(frame);
		*object = frame;
		return kOk;
	}
	// Each generation's frames answer their own video buffer only.
	if ((id == kVideoBuffer && frame->generation == Generation::Current) ||
	    (id == kVideoBuffer15 && frame->generation == Generation::V15)) {
		frameAddRef(frame);
		*object = &frame->buffer;
		return kOk;
	}
	return kNoInterface;
}

HResult packetQueryInterface(Packet *, InterfaceId, void **object)
{
	*object = nullptr;
	return kNoInterface;
}

ReferenceCount packetAddRef(Packet *packet)
{
	return static_cast<ReferenceCount>(++packet->references);
}

ReferenceCount packetRelease(Packet *packet)
{
	const long left = --packet->references;
	if (left < 0) {
		++packet->hardware->overReleased;
		return 0;
	}
	if (left == 0)
		packet->inUse = false;
	return static_cast<ReferenceCount>(left);
}

long packetSampleFrames(Packet *packet)
{
	return packet->count;
}

HResult packetGetBytes(Packet *packet, void **bytes)
{
	*bytes = packet->samples.data();
	return kOk;
}

HResult packetTime(Packet *packet, std::int64_t *time, std::int64_t timeScale)
{
	if (timeScale <= 0)
		return kInvalidArgument;
	*time = packet->firstSample * timeScale / kSampleRate;
	return kOk;
}

// IDeckLinkAudioInputPacket: IUnknown, GetSampleFrameCount, GetBytes,
// GetPacketTime, destructor.
struct PacketMethods {
	HResult (*queryInterface)(Packet *self, InterfaceId id, void **object);
	ReferenceCount (*addRef)(Packet *self);
	ReferenceCount (*release)(Packet *self);
	long (*getSampleFrameCount)(Packet *self);
	HResult (*getBytes)(Packet *self, void **bytes);
	HResult (*getPacketTime)(Packet *self, std::int64_t *time, std::int64_t timeScale);
};
static_assert(offsetof(PacketMethods, getSampleFrameCount) == 3 * kSlot);
static_assert(offsetof(PacketMethods, getPacketTime) == 5 * kSlot);

const PacketMethods kPacketMethods = { packetQueryInterface, packetAddRef,   packetRelease,
				       packetSampleFrames,   packetGetBytes, packetTime };

HResult modeQueryInterface(DisplayMode *, InterfaceId, void **object)
{
	*object = nullptr;
	return kNoInterface;
}

ReferenceCount modeAddRef(DisplayMode *mode)
{
	return static_cast<ReferenceCount>(++mode->references);
}

ReferenceCount modeRelease(DisplayMode *mode)
{
	const long left = --mode->references;
	return left < 0 ? 0 : static_cast<ReferenceCount>(left);
}

HResult modeName(DisplayMode *mode, const char **name)
{
	*name = strdup(mode->mode.text.c_str());
	return kOk;
}

std::uint32_t modeCode(DisplayMode *mode)
{
	return mode->mode.code;
}

long modeWidth(DisplayMode *mode)
{
	return mode->mode.width;
}

long modeHeight(DisplayMode *mode)
{
	return mode->mode.height;
}

HResult modeFrameRate(DisplayMode *mode, std::int64_t *frameDuration, std::int64_t *timeScale)
{
	*frameDuration = mode->mode.frameDuration;
	*timeScale = mode->mode.timeScale;
	return kOk;
}

std::uint32_t modeFieldDominance(DisplayMode *mode)
{
	if (!mode->mode.interlaced)
		return kProgressiveFrame;
	return mode->mode.lowerFieldFirst ? kLowerFieldFirst : kUpperFieldFirst;
}

std::uint32_t modeFlags(DisplayMode *)
{
	return 0;
}

// IDeckLinkDisplayMode: IUnknown, GetName, GetDisplayMode, GetWidth,
// GetHeight, GetFrameRate, GetFieldDominance, GetFlags, destructor.
struct DisplayModeMethods {
	HResult (*queryInterface)(DisplayMode *self, InterfaceId id, void **object);
	ReferenceCount (*addRef)(DisplayMode *self);
	ReferenceCount (*release)(DisplayMode *self);
	HResult (*getName)(DisplayMode *self, const char **name);
	std::uint32_t (*getDisplayMode)(DisplayMode *self);
	long (*getWidth)(DisplayMode *self);
	long (*getHeight)(DisplayMode *self);
	HResult (*getFrameRate)(DisplayMode *self, std::int64_t *frameDuration, std::int64_t *timeScale);
	std::uint32_t (*getFieldDominance)(DisplayMode *self);
	std::uint32_t (*getFlags)(DisplayMode *self);
};
static_assert(offsetof(DisplayModeMethods, getDisplayMode) == 4 * kSlot);
static_assert(offsetof(DisplayModeMethods, getFrameRate) == 7 * kSlot);
static_assert(offsetof(DisplayModeMethods, getFieldDominance) == 8 * kSlot);

const DisplayModeMethods kDisplayModeMethods = { modeQueryInterface, modeAddRef,    modeRelease,
						 modeName,	     modeCode,	    modeWidth,
						 modeHeight,	     modeFrameRate, modeFieldDominance,
						 modeFlags };

// ---- The device's capture thread.

// Seconds given in a switch, in card time.
std::int64_t ticksOf(std::string_view seconds)
{
	return std::llround(std::strtod(std::string(seconds).c_str(), nullptr) * kCardTicks);
}

std::vector<std::string> words(const std::string &line)
{
	std::vector<std::string> result;
	std::size_t at = 0;
	while (at < line.size()) {
		const std::size_t start = line.find_first_not_of(" \t\r", at);
		if (start == std::string::npos)
			break;
		const std::size_t end = line.find_first_of(" \t\r", start);
		result.push_back(line.substr(start, end - start));
		at = end == std::string::npos ? line.size() : end;
	}
	return result;
}

// Switches for this device from the control file; under the mutex.
void applySwitches(Hardware &hardware, std::int64_t now)
{
	const std::string prefix = "switch pid=" + pid() + " device=" + std::to_string(hardware.position) + " ";
	for (const std::string &line : hardware.control.newLines()) {
		const std::vector<std::string> parts = words(line);
		if (parts.size() < 2 || parts[0] != std::to_string(hardware.position))
			continue;
		const std::string &name = parts[1];
		if (name == "nosignal" && parts.size() >= 3) {
			hardware.noSignalUntil = now + ticksOf(parts[2]);
			reportLine(prefix + "nosignal from=" + std::to_string(now) + " to=" + std::to_string(hardware.noSignalUntil));
		} else if (name == "signal") {
			hardware.noSignalUntil = now;
			hardware.noSignalForever = false;
			reportLine(prefix + "signal at=" + std::to_string(now));
		} else if (name == "stall" && parts.size() >= 3) {
			hardware.stallUntil = now + ticksOf(parts[2]);
			reportLine(prefix + "stall from=" + std::to_string(now) + " to=" + std::to_string(hardware.stallUntil));
		} else if (name == "format" && parts.size() >= 3) {
			if (const std::optional<Mode> mode = parseMode(parts[2])) {
				hardware.signalMode = *mode;
				hardware.formatAnnounced = false;
				reportLine(prefix + "format=" + mode->text + " at=" + std::to_string(now));
			}
		} else if (name == "slow" && parts.size() >= 4) {
			hardware.slowMs = std::atoi(parts[2].c_str());
			hardware.slowUntil = now + ticksOf(parts[3]);
			reportLine(prefix + "slow ms=" + parts[2] + " from=" + std::to_string(now) + " to=" +
				   std::to_string(hardware.slowUntil));
		}
	}
}

Clock::time_point dueTime(const Mode &mode, std::int64_t index)
{
	const auto since = std::chrono::duration<double>(double(index) * double(mode.frameDuration) / double(mode.timeScale));
	return cardClockOrigin + std::chrono::duration_cast<Clock::duration>(since);
}

// The first picture due at or after the moment.
std::int64_t indexAt(const Mode &mode, Clock::time_point moment)
{
	const double seconds = std::chrono::duration<double>(moment - cardClockOrigin).count();
	return std::int64_t(std::ceil(seconds * double(mode.timeScale) / double(mode.frameDuration)));
}

Frame *takeFrame(Hardware &hardware, const Mode &mode, Generation generation)
{
	for (const std::unique_ptr<Frame> &frame : hardware.frames) {
		bool expected = false;
		if (!frame->inUse.compare_exchange_strong(expected, true))
			continue;
		frame->generation = generation;
		frame->methods = generation == Generation::Older ? static_cast<const void *>(&kOlderFrameMethods)
								 : &kCurrentFrameMethods;
		frame->buffer.methods = generation == Generation::V15 ? static_cast<const void *>(&kBuffer15Methods)
								      : &kBufferMethods;
		frame->buffer.frame = frame.get();
		frame->hardware = &hardware;
		frame->references = 1;
		frame->width = mode.width;
		frame->height = mode.height;
		frame->rowBytes = mode.width * 2;
		frame->frameDuration = mode.frameDuration;
		frame->timeScale = mode.timeScale;
		return frame.get();
	}
	return nullptr;
}

Packet *takePacket(Hardware &hardware)
{
	for (const std::unique_ptr<Packet> &packet : hardware.packets) {
		bool expected = false;
		if (!packet->inUse.compare_exchange_strong(expected, true))
			continue;
		packet->methods = &kPacketMethods;
		packet->hardware = &hardware;
		packet->references = 1;
		return packet.get();
	}
	return nullptr;
}

// Calls into the application's callback object, which it keeps alive for the
// call; without the mutex, so that the callback may call the input.
template<typename Call>
void callBack(Hardware &hardware, std::unique_lock<std::mutex> &lock, Call call)
{
	Object *callback = hardware.callback;
	if (!callback)
		return;
	methodsOf<CallbackMethods>(callback).unknown.addRef(callback);
	lock.unlock();
	call(callback, methodsOf<CallbackMethods>(callback));
	methodsOf<CallbackMethods>(callback).unknown.release(callback);
	lock.lock();
}

void captureOne(Hardware &hardware, std::unique_lock<std::mutex> &lock, Generation generation)
{
	const Mode mode = *hardware.enabledMode;
	const std::int64_t index = hardware.nextIndex;
	const std::int64_t now = index * mode.frameDuration * kCardTicks / mode.timeScale;
	applySwitches(hardware, now);

	if (hardware.paused || now < hardware.stallUntil) {
		if (!hardware.paused)
			++hardware.stalled;
		hardware.nextIndex = index + 1;
		return;
	}

	const bool modeMatches = mode == hardware.signalMode;
	if (!modeMatches && hardware.detection && !hardware.formatAnnounced) {
		hardware.formatAnnounced = true;
		++hardware.formatChanges;
		hardware.displayModes.push_back(std::make_unique<DisplayMode>());
		DisplayMode *announced = hardware.displayModes.back().get();
		announced->methods = &kDisplayModeMethods;
		announced->mode = hardware.signalMode;
		const std::uint32_t events =
			kDisplayModeChanged | (mode.interlaced != hardware.signalMode.interlaced ? kFieldDominanceChanged : 0);
		callBack(hardware, lock, [&](Object *callback, const CallbackMethods &methods) {
			methods.videoInputFormatChanged(callback, events, reinterpret_cast<Object *>(announced),
							 kDetectedYCbCr422);
		});
		modeRelease(announced);
		if (hardware.modeChanged || hardware.stopRequested)
			return;
	}

	const bool hasSignal = modeMatches && !hardware.noSignalForever && now >= hardware.noSignalUntil;
	Frame *frame = takeFrame(hardware, mode, generation);
	if (!frame) {
		++hardware.noBuffer;
		hardware.nextIndex = index + 1;
		return;
	}
	if (frame->pixels.size() != hardware.generator->size())
		frame->content = BufferContent{};
	if (hasSignal)
		hardware.generator->draw(frame->pixels, frame->content, index);
	else
		hardware.generator->drawBlack(frame->pixels, frame->content);
	frame->flags = hasSignal ? 0 : kNoInputSource;
	frame->index = index;

	Packet *packet = nullptr;
	const std::string &withoutSignal = hardware.settings.audioWithoutSignal;
	if (hardware.audioEnabled && (hasSignal || withoutSignal != "none")) {
		packet = takePacket(hardware);
		if (packet) {
			const std::int64_t perSecond = std::int64_t(kSampleRate) * mode.frameDuration;
			packet->firstSample = index * perSecond / mode.timeScale;
			packet->count = int((index + 1) * perSecond / mode.timeScale - packet->firstSample);
			packet->samples.assign(std::size_t(packet->count) * std::size_t(hardware.tones->channels()), 0);
			if (hasSignal || withoutSignal == "tone")
				hardware.tones->fill(packet->samples.data(), packet->firstSample, packet->count);
		}
	}

	callBack(hardware, lock, [&](Object *callback, const CallbackMethods &methods) {
		methods.videoInputFrameArrived(callback, reinterpret_cast<Object *>(frame), reinterpret_cast<Object *>(packet));
	});
	++hardware.framesDelivered;
	frameRelease(frame);
	if (packet) {
		++hardware.packetsDelivered;
		packetRelease(packet);
	}

	if (now < hardware.slowUntil && hardware.slowMs > 0) {
		lock.unlock();
		std::this_thread::sleep_for(std::chrono::milliseconds(hardware.slowMs));
		lock.lock();
	}
	if (hardware.modeChanged)
		return;

	// A device that is read too late for its buffers misses pictures.
	const std::int64_t newest = indexAt(mode, Clock::now()) - 1;
	const std::int64_t behind = std::int64_t(hardware.frames.size());
	std::int64_t next = index + 1;
	if (newest - next > behind) {
		hardware.skipped += newest - behind - next;
		next = newest - behind;
	}
	hardware.nextIndex = next;
}

void runDevice(Hardware &hardware, Generation generation)
{
	const std::string name = "fake-card-" + std::to_string(hardware.position);
	pthread_setname_np(pthread_self(), name.c_str());
	std::unique_lock lock(hardware.mutex);
	while (!hardware.stopRequested) {
		if (hardware.modeChanged) {
			hardware.modeChanged = false;
			hardware.nextIndex = indexAt(*hardware.enabledMode, hardware.restartedAt);
		}
		const Clock::time_point due = dueTime(*hardware.enabledMode, hardware.nextIndex);
		if (hardware.wake.wait_until(lock, due, [&] { return hardware.stopRequested || hardware.modeChanged; }))
			continue;
		captureOne(hardware, lock, generation);
	}
}

// Stops the capture thread and joins it, unless called from it, which only
// asks it to end: then the next start or the unload joins it.
void stopDevice(Hardware &hardware, std::unique_lock<std::mutex> &lock)
{
	hardware.stopRequested = true;
	hardware.streaming = false;
	hardware.wake.notify_all();
	if (!hardware.thread.joinable() || hardware.thread.get_id() == std::this_thread::get_id())
		return;
	std::thread thread = std::move(hardware.thread);
	lock.unlock();
	thread.join();
	lock.lock();
}

// ---- The capture input.

// Whether the object may use the device: the first input to enable it owns
// it until released.
bool owns(Hardware &hardware, Object *self)
{
	if (hardware.owner && hardware.owner != self && hardware.owner->references > 0)
		return false;
	hardware.owner = self;
	return true;
}

// Whether the streams run: the driver refuses then to change what they carry.
bool running(const Hardware &hardware)
{
	return hardware.streaming && !hardware.paused;
}

HResult inputEnableVideo(Object *self, std::uint32_t code, std::uint32_t pixelFormat, std::uint32_t flags)
{
	Hardware &hardware = *self->hardware;
	const std::optional<Mode> mode = modeOfCode(code);
	const std::string call = "video=" + (mode ? mode->text : std::to_string(code));
	if (!mode || pixelFormat != kPixelFormat8BitYuv) {
		logCall(self, call + ":refused");
		return kInvalidArgument;
	}
	std::lock_guard lock(hardware.mutex);
	if (!owns(hardware, self) || running(hardware)) {
		logCall(self, call + ":refused");
		return kAccessDenied;
	}
	hardware.enabledMode = *mode;
	hardware.detection = flags & kFormatDetection;
	hardware.formatAnnounced = false;
	hardware.generator = std::make_unique<PictureGenerator>(*mode, hardware.colour);
	for (const std::unique_ptr<Frame> &frame : hardware.frames)
		frame->content = BufferContent{};
	hardware.modeChanged = true;
	hardware.restartedAt = Clock::now();
	hardware.wake.notify_all();
	logCall(self, call);
	return kOk;
}

// The driver captures 2, 8, 16, 32 or 64 embedded channels, as many as the
// device has at most.
bool capturesChannels(const Hardware &hardware, std::uint32_t channels)
{
	const bool offered = channels == 2 || channels == 8 || channels == 16 || channels == 32 || channels == 64;
	return offered && channels <= std::uint32_t(std::max(2, hardware.settings.audioChannels));
}

HResult inputEnableAudio(Object *self, std::uint32_t sampleRate, std::uint32_t sampleType, std::uint32_t channels)
{
	Hardware &hardware = *self->hardware;
	if (sampleRate != std::uint32_t(kSampleRate) || sampleType != 16 || !capturesChannels(hardware, channels))
		return kInvalidArgument;
	std::lock_guard lock(hardware.mutex);
	if (!owns(hardware, self) || running(hardware)) {
		logCall(self, "audio:refused");
		return kAccessDenied;
	}
	hardware.audioEnabled = true;
	hardware.tones = std::make_unique<ToneGenerator>(hardware.toneFrequency, int(channels));
	logCall(self, "audio");
	return kOk;
}

HResult inputDisableAudio(Object *self)
{
	Hardware &hardware = *self->hardware;
	std::lock_guard lock(hardware.mutex);
	hardware.audioEnabled = false;
	return kOk;
}

// Starts the streams, or resumes them after PauseStreams.
HResult inputStart(Object *self)
{
	Hardware &hardware = *self->hardware;
	std::unique_lock lock(hardware.mutex);
	if (hardware.owner != self || !hardware.enabledMode) {
		logCall(self, "start:refused");
		return kAccessDenied;
	}
	logCall(self, "start");
	hardware.paused = false;
	if (hardware.streaming)
		return kOk;
	if (hardware.thread.joinable()) {
		// A thread that stopped itself cannot start itself again.
		if (hardware.thread.get_id() == std::this_thread::get_id())
			return kAccessDenied;
		stopDevice(hardware, lock);
	}
	hardware.streaming = true;
	hardware.stopRequested = false;
	hardware.modeChanged = true;
	hardware.restartedAt = Clock::now();
	if (hardware.frames.empty()) {
		for (int index = 0; index < hardware.settings.buffers; ++index) {
			hardware.frames.push_back(std::make_unique<Frame>());
			hardware.packets.push_back(std::make_unique<Packet>());
		}
	}
	hardware.thread = std::thread(runDevice, std::ref(hardware), self->generation);
	return kOk;
}

// From any thread, a callback of the device included: it then only asks the
// device's thread to end after the callback.
HResult inputStop(Object *self)
{
	Hardware &hardware = *self->hardware;
	std::unique_lock lock(hardware.mutex);
	if (hardware.owner != self)
		return kAccessDenied;
	logCall(self, "stop");
	stopDevice(hardware, lock);
	return kOk;
}

// Nothing waits to be delivered here: a picture is handed over when it is
// taken, so what a paused input captured is gone already.
HResult inputFlush(Object *self)
{
	logCall(self, "flush");
	return kOk;
}

// The card clock runs on while paused, and no picture is delivered until
// StartStreams.
HResult inputPause(Object *self)
{
	Hardware &hardware = *self->hardware;
	std::lock_guard lock(hardware.mutex);
	if (hardware.owner != self)
		return kAccessDenied;
	hardware.paused = true;
	logCall(self, "pause");
	return kOk;
}

HResult inputSetCallback(Object *self, Object *callback)
{
	Hardware &hardware = *self->hardware;
	std::lock_guard lock(hardware.mutex);
	if (!owns(hardware, self))
		return kAccessDenied;
	if (callback)
		methodsOf<UnknownMethods>(callback).addRef(callback);
	if (hardware.callback)
		methodsOf<UnknownMethods>(hardware.callback).release(hardware.callback);
	hardware.callback = callback;
	logCall(self, callback ? "callback" : "callback=none");
	return kOk;
}

// A slot of the input that the simulator does not offer: the call is noted
// and counted as unexpected.
template<int slot>
HResult unexpectedCall(Object *self)
{
	logCall(self, "slot" + std::to_string(slot));
	++self->hardware->unexpectedCalls;
	return kNotImplemented;
}

// The last release of the owning input stops the device and lets go of the
// application's callback.
ReferenceCount inputRelease(Object *self)
{
	const long left = --self->references;
	if (left == 0 && self->hardware) {
		Hardware &hardware = *self->hardware;
		std::unique_lock lock(hardware.mutex);
		if (hardware.owner == self) {
			if (hardware.streaming)
				++hardware.releasedWhileStreaming;
			stopDevice(hardware, lock);
			if (hardware.callback)
				methodsOf<UnknownMethods>(hardware.callback).release(hardware.callback);
			hardware.callback = nullptr;
			hardware.owner = nullptr;
			hardware.enabledMode.reset();
			hardware.audioEnabled = false;
		}
	}
	return left < 0 ? 0 : static_cast<ReferenceCount>(left);
}

const InputMethods kInputMethods = {
	{ noInterface, addRef, inputRelease },
	unexpectedCall<3>,
	unexpectedCall<4>,
	unexpectedCall<5>,
	unexpectedCall<6>,
	inputEnableVideo,
	{ unexpectedCall<8>, unexpectedCall<9>, unexpectedCall<10> },
	inputEnableAudio,
	inputDisableAudio,
	unexpectedCall<13>,
	inputStart,
	inputStop,
	inputPause,
	inputFlush,
	inputSetCallback,
	unexpectedCall<19>,
};

// ---- Discovery: iterator, devices, attributes.

HResult getFlag(Object *, std::uint32_t, bool *value)
{
	*value = false;
	return kFail;
}

HResult getInt(Object *self, std::uint32_t attribute, std::int64_t *value)
{
	std::optional<std::int64_t> id;
	const DeviceSettings &settings = self->hardware->settings;
	if (attribute == kPersistentId) {
		self->device->calls.push_back("peid");
		id = settings.persistentId;
	} else if (attribute == kTopologicalId) {
		self->device->calls.push_back("toid");
		id = settings.topologicalId;
	} else if (attribute == kMaximumAudioChannels) {
		self->device->calls.push_back("mach");
		if (settings.audioAttribute)
			id = settings.audioChannels;
	} else {
		self->device->calls.push_back("other");
	}
	if (!id)
		return kFail;
	*value = *id;
	return kOk;
}

const AttributesMethods kAttributesMethods = { { noInterface, addRef, release }, getFlag, getInt };

HResult deviceQueryInterface(Object *self, InterfaceId id, void **object)
{
	*object = nullptr;
	const DeviceSettings &settings = self->hardware->settings;
	const char *call = "other";
	bool answered = false;
	bool attributes = false;
	if (id == kCaptureInput) {
		call = "input";
		answered = settings.capture == "current";
	} else if (id == kCaptureInputOlder1) {
		call = "input-older1";
		answered = settings.capture == "older1";
	} else if (id == kCaptureInputOlder2) {
		call = "input-older2";
		answered = settings.capture == "older2";
	} else if (id == kAttributes) {
		call = "attributes";
		answered = attributes = settings.attributes == "current";
	} else if (id == kAttributesOlder) {
		call = "attributes-older";
		answered = attributes = settings.attributes == "older";
	}
	self->calls.push_back(call);
	if (!answered)
		return kNoInterface;

	if (attributes) {
		*object = newObject(&kAttributesMethods, self->label + ".attributes", self->hardware, self);
	} else {
		Object *input = newObject(&kInputMethods, self->label + ".input", self->hardware, self);
		input->generation = settings.capture == "older2"	  ? Generation::Older
				    : settings.capture == "older1" ? Generation::V15
								   : Generation::Current;
		*object = input;
	}
	return kOk;
}

HResult getModelName(Object *self, const char **name)
{
	self->calls.push_back("model");
	*name = strdup("Fake DeckLink Model");
	return kOk;
}

HResult getDisplayName(Object *self, const char **name)
{
	self->calls.push_back("name");
	*name = nullptr;
	const DeviceSettings &settings = self->hardware->settings;
	if (settings.nameFails)
		return kFail;
	if (!settings.nameNull)
		*name = strdup(settings.name.c_str());
	return kOk;
}

const DeviceMethods kDeviceMethods = { { deviceQueryInterface, addRef, release }, getModelName, getDisplayName };

HResult next(Object *, Object **device)
{
	Driver &state = driver();
	*device = nullptr;
	Hardware *hardware = nullptr;
	std::size_t index = 0;
	{
		std::lock_guard lock(state.mutex);
		if (state.nextDevice >= state.hardware.size())
			return kFalse;
		index = state.nextDevice++;
		hardware = state.hardware[index].get();
	}
	*device = newObject(&kDeviceMethods, "device" + std::to_string(index), hardware);
	return kOk;
}

const IteratorMethods kIteratorMethods = { { noInterface, addRef, release }, next };

std::vector<std::string_view> split(std::string_view text, char separator)
{
	std::vector<std::string_view> parts;
	while (true) {
		const std::size_t end = text.find(separator);
		parts.push_back(text.substr(0, end));
		if (end == std::string_view::npos)
			return parts;
		text.remove_prefix(end + 1);
	}
}

DeviceSettings parseDevice(std::string_view text)
{
	DeviceSettings settings;
	for (std::string_view setting : split(text, ',')) {
		const std::size_t equals = setting.find('=');
		const std::string_view key = setting.substr(0, equals);
		const std::string value(equals == std::string_view::npos ? std::string_view() : setting.substr(equals + 1));
		if (key == "name")
			settings.name = value;
		else if (key == "name-fails")
			settings.nameFails = true;
		else if (key == "name-null")
			settings.nameNull = true;
		else if (key == "peid")
			settings.persistentId = std::stoll(value);
		else if (key == "toid")
			settings.topologicalId = std::stoll(value);
		else if (key == "no-capture")
			settings.capture = "none";
		else if (key == "capture")
			settings.capture = value;
		else if (key == "attributes")
			settings.attributes = value;
		else if (key == "mode")
			settings.mode = value;
		else if (key == "colour")
			settings.colour = std::stoi(value);
		else if (key == "audio-channels")
			settings.audioChannels = std::stoi(value);
		else if (key == "no-audio-attribute")
			settings.audioAttribute = false;
		else if (key == "buffers")
			settings.buffers = std::max(1, std::stoi(value));
		else if (key == "nosignal")
			settings.noSignal = true;
		else if (key == "audio-without-signal")
			settings.audioWithoutSignal = value;
	}
	return settings;
}

std::unique_ptr<Hardware> makeHardware(int position, DeviceSettings settings)
{
	auto hardware = std::make_unique<Hardware>();
	hardware->position = position;
	const int colour = settings.colour >= 1 && settings.colour <= 8 ? settings.colour : (position - 1) % 8 + 1;
	hardware->colour = kColours[colour - 1];
	hardware->toneFrequency = 250 * colour;
	hardware->signalMode = parseMode(settings.mode).value_or(*parseMode("720x576i50"));
	hardware->noSignalForever = settings.noSignal;
	hardware->settings = std::move(settings);
	return hardware;
}

std::string held(const char *name, std::int64_t count)
{
	return std::string(" ") + name + "=" + std::to_string(count);
}

// One line per device and one for the other objects, from the counts so far.
std::string balanceLines(Driver &state, const char *prefix)
{
	std::string lines;
	long objectsHeld = 0;
	for (const std::unique_ptr<Object> &object : state.objects)
		objectsHeld += object->references > 0 ? 1 : 0;
	for (const std::unique_ptr<Hardware> &hardware : state.hardware) {
		std::int64_t framesHeld = 0;
		std::int64_t packetsHeld = 0;
		for (const std::unique_ptr<Frame> &frame : hardware->frames)
			framesHeld += frame->inUse ? 1 : 0;
		for (const std::unique_ptr<Packet> &packet : hardware->packets)
			packetsHeld += packet->inUse ? 1 : 0;
		for (const std::unique_ptr<DisplayMode> &mode : hardware->displayModes)
			objectsHeld += mode->references > 0 ? 1 : 0;
		if (hardware->callback)
			++objectsHeld;
		lines += std::string(prefix) + " pid=" + pid() + " device=" + std::to_string(hardware->position) +
			 held("frames", hardware->framesDelivered) + held("packets", hardware->packetsDelivered) +
			 held("frames-held", framesHeld) + held("packets-held", packetsHeld) +
			 held("over-released", hardware->overReleased) + held("access-open", hardware->accessLeftOpen) +
			 held("bytes-refused", hardware->bytesRefused) + held("skipped", hardware->skipped) +
			 held("stalled", hardware->stalled) + held("no-buffer", hardware->noBuffer) +
			 held("formats", hardware->formatChanges) +
			 held("released-streaming", hardware->releasedWhileStreaming) +
			 held("unexpected", hardware->unexpectedCalls) +
			 held("streaming", hardware->streaming ? 1 : 0) + "\n";
	}
	lines += std::string(prefix) + " pid=" + pid() + " objects-held=" + std::to_string(objectsHeld) + "\n";
	return lines;
}

Driver::~Driver()
{
	std::string lines;
	{
		std::lock_guard lock(mutex);
		lines = balanceLines(*this, "unload");
	}
	// What was still capturing ends now, before its objects go.
	for (const std::unique_ptr<Hardware> &device : hardware) {
		std::unique_lock lock(device->mutex);
		stopDevice(*device, lock);
	}
	std::size_t start = 0;
	while (start < lines.size()) {
		const std::size_t end = lines.find('\n', start);
		reportLine(lines.substr(start, end - start));
		start = end + 1;
	}
}

bool anyStreaming(Driver &state)
{
	for (const std::unique_ptr<Hardware> &hardware : state.hardware) {
		std::lock_guard lock(hardware->mutex);
		if (hardware->streaming || hardware->owner)
			return true;
	}
	return false;
}

} // namespace

extern "C" __attribute__((visibility("default"))) void *CreateDeckLinkIteratorInstance_0004()
{
	Driver &state = driver();
	const char *devices = std::getenv("TILORAN_FAKE_DECKLINK_DEVICES");
	{
		std::lock_guard lock(state.mutex);
		state.lastIteratorObjects = state.objects.size();
		state.nextDevice = 0;
	}
	if (!devices)
		return nullptr;

	// The devices stay as long as the list does, and while any is in use.
	const bool sameDevices = [&] {
		std::lock_guard lock(state.mutex);
		return state.devicesText == devices && !state.hardware.empty();
	}();
	if (!sameDevices && !anyStreaming(state)) {
		std::vector<std::unique_ptr<Hardware>> hardware;
		if (*devices) {
			int position = 1;
			for (std::string_view device : split(devices, ';'))
				hardware.push_back(makeHardware(position++, parseDevice(device)));
		}
		std::lock_guard lock(state.mutex);
		state.devicesText = devices;
		state.hardware = std::move(hardware);
	}
	return newObject(&kIteratorMethods, "iterator", nullptr);
}

extern "C" __attribute__((visibility("default"))) const char *FakeDeckLinkReport()
{
	Driver &state = driver();
	std::lock_guard lock(state.mutex);
	state.report.clear();
	for (std::size_t index = state.lastIteratorObjects; index < state.objects.size(); ++index) {
		const Object &object = *state.objects[index];
		state.report += object.label + " references=" + std::to_string(object.references);
		if (!object.calls.empty()) {
			state.report += " calls=";
			for (std::size_t call = 0; call < object.calls.size(); ++call)
				state.report += (call ? "," : "") + object.calls[call];
		}
		state.report += "\n";
	}
	return state.report.c_str();
}

extern "C" __attribute__((visibility("default"))) const char *FakeDeckLinkBalance()
{
	Driver &state = driver();
	std::lock_guard lock(state.mutex);
	state.balance = balanceLines(state, "balance");
	return state.balance.c_str();
}
