// SourceCapture through the card driver's library, in-process against the
// card simulator (tests/fake_decklink/): the format a card is opened in, its
// pictures and audio, its signal, format changes, and the driver's frames
// and packets all released at the end.

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/CaptureSource.h"
#include "capture/SourceCapture.h"
#include "capture/SourceInput.h"
#include "common/platform/DeckLinkDiscovery.h"
#include "common/platform/DeckLinkInput.h"
#include "common/platform/DeckLinkInterfaces_posix.h"
#include "media/FfmpegSupport.h"
#include "support/CommonTestSupport.h"
#include "support/TestSupport.h"

namespace tiloran {
namespace {

using namespace std::chrono_literals;

std::string fakeDriverPath()
{
	return (test::libraryDirectory() / "libtiloran_fake_decklink.so").string();
}

QuadrantConfig cardQuadrant(int id, const std::string &deviceId)
{
	QuadrantConfig quadrant;
	quadrant.id = id;
	quadrant.name = "Camera " + std::to_string(id);
	quadrant.source_id = deviceId;
	quadrant.source_name = "Card " + std::to_string(id);
	quadrant.empty = false;
	return quadrant;
}

FrameHolder nv12Frame(int width, int height)
{
	FrameHolder frame = allocateFrame();
	frame->format = AV_PIX_FMT_NV12;
	frame->width = width;
	frame->height = height;
	EXPECT_GE(av_frame_get_buffer(frame.get(), 32), 0);
	return frame;
}

// The simulator with its own devices, control file and report for one test.
// Each test names its devices differently, so that the simulator makes them
// afresh and reads this test's control file.
class DriverCaptureTest : public testing::Test
{
protected:
	void useDevices(const std::string &devices)
	{
		library_ = dlopen(fakeDriverPath().c_str(), RTLD_NOW | RTLD_LOCAL);
		ASSERT_NE(library_, nullptr) << dlerror();
		balance_ = reinterpret_cast<const char *(*)()>(dlsym(library_, "FakeDeckLinkBalance"));
		ASSERT_NE(balance_, nullptr);
		report_ = reinterpret_cast<const char *(*)()>(dlsym(library_, "FakeDeckLinkReport"));
		ASSERT_NE(report_, nullptr);
		std::ofstream(control_).flush();
		devices_ = std::make_unique<test::ScopedEnvironment>("TILORAN_FAKE_DECKLINK_DEVICES", devices);
	}

	void TearDown() override
	{
		if (library_)
			dlclose(library_);
	}

	void sendSwitch(const std::string &line) { std::ofstream(control_, std::ios::app) << line << "\n"; }

	// The simulator's count of what the application still holds.
	void expectEverythingReleased()
	{
		const std::string balance = balance_();
		EXPECT_NE(balance.find("objects-held=0"), std::string::npos) << balance;
		for (const char *count : { "frames-held=", "packets-held=", "over-released=", "access-open=",
					   "bytes-refused=", "released-streaming=", "unexpected=" }) {
			for (size_t at = balance.find(count); at != std::string::npos; at = balance.find(count, at + 1))
				EXPECT_EQ(balance.compare(at + std::strlen(count), 2, "0 "), 0) << count << " in\n" << balance;
		}
	}

	// The calls made on the capture input of the device the simulator
	// enumerated at that position, since the last discovery.
	std::string inputCalls(int device)
	{
		const std::string report = report_();
		const std::string label = "device" + std::to_string(device) + ".input ";
		const size_t line = report.find(label);
		if (line == std::string::npos)
			return "";
		const size_t end = report.find('\n', line);
		const size_t calls = report.find("calls=", line);
		return calls < end ? report.substr(calls + 6, end - calls - 6) : "";
	}

	// Records what the capture tells its listener.
	void listenTo(SourceCapture &source)
	{
		source.setSignalListener([this](EventCode, const std::string &level, const std::string &text) {
			std::lock_guard lock(eventsMutex_);
			events_.push_back(level + ": " + text);
		});
	}

	std::vector<std::string> events()
	{
		std::lock_guard lock(eventsMutex_);
		return events_;
	}

	/*
	 * The events since the switch end with these. A machine so loaded that a
	 * card's thread misses ten picture times makes the input lost and found
	 * before, which is right, and not what is tested here.
	 */
	void expectLatestEvents(const std::vector<std::string> &expected)
	{
		const std::vector<std::string> seen = events();
		ASSERT_GE(seen.size(), expected.size()) << testing::PrintToString(seen);
		EXPECT_EQ(std::vector<std::string>(seen.end() - std::ptrdiff_t(expected.size()), seen.end()), expected)
			<< testing::PrintToString(seen);
	}

	// Pictures the card missed because they were not taken in time (its
	// thread ran late, or every frame was still held): only a machine that
	// slow may have an input lost by its pictures stopping.
	int64_t picturesMissed()
	{
		const std::string balance = balance_();
		int64_t missed = 0;
		for (const char *count : { " skipped=", " no-buffer=" }) {
			const size_t at = balance.find(count);
			if (at != std::string::npos)
				missed += std::stoll(balance.substr(at + std::strlen(count)));
		}
		return missed;
	}

	test::TemporaryDirectory directory_;
	std::filesystem::path control_ = directory_.path() / "control";
	test::ScopedEnvironment library_variable_{ "TILORAN_DECKLINK_LIBRARY", fakeDriverPath() };
	test::ScopedEnvironment control_variable_{ "TILORAN_FAKE_DECKLINK_CONTROL", control_.string() };
	test::ScopedEnvironment capture_variable_{ "TILORAN_CAPTURE", "driver" };
	std::unique_ptr<test::ScopedEnvironment> devices_;
	void *library_ = nullptr;
	const char *(*balance_)() = nullptr;
	const char *(*report_)() = nullptr;
	std::mutex eventsMutex_;
	std::vector<std::string> events_;
};

TEST_F(DriverCaptureTest, CapturesACardInItsModeWithItsColourAndAudio)
{
	useDevices("name=Pictures A,peid=101,mode=720x576i50,colour=3");
	{
		SourceCapture source;
		std::string message;
		ASSERT_TRUE(source.open(cardQuadrant(1, "decklink-101"), true, message)) << message;
		EXPECT_EQ(source.kind(), CaptureKind::Driver);
		EXPECT_TRUE(source.signalAtOpen());
		EXPECT_EQ(source.width(), 720);
		EXPECT_EQ(source.height(), 576);
		EXPECT_EQ(av_cmp_q(source.frameRate(), AVRational{ 25, 1 }), 0);
		EXPECT_EQ(source.fieldOrder(), AV_FIELD_TT);
		EXPECT_EQ(source.sampleRate(), 48000);
		ASSERT_TRUE(source.start(message)) << message;

		FrameHolder picture = nv12Frame(720, 576);
		int64_t counter = 0;
		int64_t previousPts = AV_NOPTS_VALUE;
		for (int taken = 0; taken < 10; ++taken) {
			ASSERT_TRUE(source.waitForFrame(counter, picture.get(), counter, message)) << message;
			ASSERT_NE(picture->pts, AV_NOPTS_VALUE);
			if (previousPts != AV_NOPTS_VALUE) {
				EXPECT_GT(picture->pts, previousPts);
				EXPECT_EQ((picture->pts - previousPts) % 3600, 0) << "pictures 1/25 s apart in 1/90000 s";
			}
			previousPts = picture->pts;
		}
		EXPECT_TRUE(frameIsInterlaced(picture.get()));
		EXPECT_TRUE(frameIsTopFieldFirst(picture.get()));
		// The band of colour 3 (blue) across the top, converted exactly.
		const TestInputColour &blue = kTestInputColours[2];
		EXPECT_EQ(picture->data[0][8 * picture->linesize[0] + 100], blue.y);
		EXPECT_EQ(picture->data[1][4 * picture->linesize[1] + 100], blue.u);
		EXPECT_EQ(picture->data[1][4 * picture->linesize[1] + 101], blue.v);
		EXPECT_TRUE(test::waitUntil([&] { return source.checkSignal() == InputSignal::Ok; }, test::kGenerousTimeout));

		// A picture's worth of stereo samples at a time, back to back, carrying
		// the tone of colour 3 (750 Hz at -18 dBFS): not silence.
		FrameHolder audio = allocateFrame();
		int64_t nextPts = AV_NOPTS_VALUE;
		int frames = 0;
		int loudest = 0;
		while (frames < 5) {
			bool got = false;
			ASSERT_TRUE(source.popAudioFrame(audio.get(), got, message)) << message;
			if (!got) {
				ASSERT_TRUE(source.waitForFrame(counter, picture.get(), counter, message)) << message;
				continue;
			}
			EXPECT_EQ(audio->format, AV_SAMPLE_FMT_S16);
			EXPECT_EQ(audio->sample_rate, 48000);
			EXPECT_EQ(audio->ch_layout.nb_channels, 2);
			EXPECT_EQ(audio->nb_samples, 1920);
			if (nextPts != AV_NOPTS_VALUE) {
				EXPECT_EQ(audio->pts, nextPts);
			}
			nextPts = audio->pts + 3600;
			const auto *samples = reinterpret_cast<const int16_t *>(audio->data[0]);
			for (int index = 0; index < 2 * audio->nb_samples; ++index)
				loudest = std::max(loudest, std::abs(int(samples[index])));
			++frames;
		}
		EXPECT_NEAR(loudest, 32768 / 8, 2);
	}
	expectEverythingReleased();
}

/*
 * A card is opened in 1080i50, before its signal is known. The driver
 * refuses another mode while the streams run, so the input follows the mode
 * its signal announces as the driver's samples do: pause, enable, flush,
 * start. With the pause and flush slots of the input's table exchanged the
 * new mode is refused and the card stays without signal.
 */
TEST_F(DriverCaptureTest, ACardFollowsTheModeItsSignalAnnouncesAsTheDriverRequires)
{
	useDevices("name=Pictures J,peid=901,mode=1280x720p59.94,colour=6");
	{
		SourceCapture source;
		std::string message;
		const bool opened = source.open(cardQuadrant(2, "decklink-901"), false, message);
		EXPECT_EQ(inputCalls(0), "video=1920x1080i50,callback,start,pause,video=1280x720p59.94,flush,start");
		ASSERT_TRUE(opened) << message;
		EXPECT_TRUE(source.signalAtOpen());
		EXPECT_EQ(source.width(), 1280);
		EXPECT_EQ(source.height(), 720);
		ASSERT_TRUE(source.start(message)) << message;
		FrameHolder picture = nv12Frame(1280, 720);
		int64_t counter = 0;
		ASSERT_TRUE(source.waitForFrame(counter, picture.get(), counter, message)) << message;
		const TestInputColour &expected = kTestInputColours[5];
		EXPECT_EQ(picture->data[0][8 * picture->linesize[0] + 100], expected.y);
		EXPECT_TRUE(test::waitUntil([&] { return source.checkSignal() == InputSignal::Ok; }, test::kGenerousTimeout));
	}
	// Announced once, for the one enable in another mode.
	EXPECT_NE(std::string(balance_()).find(" formats=1 "), std::string::npos) << balance_();
	expectEverythingReleased();
}

// An input callback of the test's own, for calls on the driver's tables
// that the worker does not make: what the driver handed over last.
struct CallRecorder {
	// First, as the driver expects of any object.
	const decklink::InputCallbackMethods *methods = nullptr;
	decklink::DriverObject *input = nullptr;
	std::mutex mutex;
	std::condition_variable changed;
	std::vector<std::uint32_t> announcedModes;
	int pictures = 0;
	long width = 0;
	bool noSignal = false;
	std::int64_t time = 0;
	// Set: the next picture's callback stops the streams.
	bool stopInCallback = false;
	std::optional<decklink::HResult> stopped;
	int picturesAtStop = 0;

	template<typename Condition>
	bool waitFor(Condition condition)
	{
		std::unique_lock lock(mutex);
		return changed.wait_for(lock, test::kGenerousTimeout, condition);
	}
};

CallRecorder &recorderOf(decklink::DriverObject *self)
{
	return *reinterpret_cast<CallRecorder *>(self);
}

const decklink::InputCallbackMethods kRecorderMethods = {
	{ [](decklink::DriverObject *, decklink::InterfaceId, void **object) {
		 *object = nullptr;
		 return decklink::kNoInterface;
	 },
	  // The recorder outlives every reference the driver takes.
	  [](decklink::DriverObject *) { return decklink::ReferenceCount{ 1 }; },
	  [](decklink::DriverObject *) { return decklink::ReferenceCount{ 1 }; } },
	[](decklink::DriverObject *self, std::uint32_t, decklink::DriverObject *mode, std::uint32_t) {
		CallRecorder &recorder = recorderOf(self);
		std::lock_guard lock(recorder.mutex);
		const auto &modeMethods = decklink::methodsOf<decklink::DisplayModeMethods>(mode);
		recorder.announcedModes.push_back(modeMethods.getDisplayMode(mode));
		recorder.changed.notify_all();
		return decklink::kOk;
	},
	[](decklink::DriverObject *self, decklink::DriverObject *frame, decklink::DriverObject *) {
		CallRecorder &recorder = recorderOf(self);
		const auto &methods = decklink::methodsOf<decklink::CurrentFrameMethods>(frame);
		std::int64_t time = 0;
		std::int64_t duration = 0;
		EXPECT_EQ(methods.getStreamTime(frame, &time, &duration, 90000), decklink::kOk);
		std::unique_lock lock(recorder.mutex);
		++recorder.pictures;
		recorder.width = methods.getWidth(frame);
		recorder.noSignal = methods.getFlags(frame) & decklink::kFrameHasNoInputSource;
		recorder.time = time;
		if (recorder.stopInCallback && !recorder.stopped) {
			recorder.picturesAtStop = recorder.pictures;
			lock.unlock();
			const decklink::HResult result =
				decklink::methodsOf<decklink::InputMethods>(recorder.input).stopStreams(recorder.input);
			lock.lock();
			recorder.stopped = result;
		}
		recorder.changed.notify_all();
		return decklink::kOk;
	},
	{ [](decklink::DriverObject *) {}, [](decklink::DriverObject *) {} },
};

/*
 * The simulator refuses what the driver refuses and allows what it allows,
 * called through the worker's tables: no change of what running streams
 * carry (E_ACCESSDENIED of the driver's Linux header); pictures of the
 * enabled mode flagged without signal, and the signal's mode announced once
 * for the enable; a new mode taken while paused, and the card clock's
 * position kept; the streams stopped from within a callback.
 */
TEST_F(DriverCaptureTest, TheSimulatorRefusesAndAllowsWhatTheDriverDoes)
{
	using namespace decklink;
	constexpr std::uint32_t kPal = 0x70616C20; // 'pal '
	constexpr std::uint32_t k1080i50 = 0x48693530; // 'Hi50'
	constexpr HResult kAccessDenied = static_cast<HResult>(0x80000009u);
	useDevices("name=Pictures M,peid=1101,mode=720x576i50");
	{
		// Declared first, so that it outlives the input on every way out.
		CallRecorder recorder;
		recorder.methods = &kRecorderMethods;
		const auto create =
			reinterpret_cast<DriverObject *(*)()>(dlsym(library_, "CreateDeckLinkIteratorInstance_0004"));
		ASSERT_NE(create, nullptr);
		const DriverReference iterator(create());
		ASSERT_TRUE(iterator);
		DriverObject *next = nullptr;
		ASSERT_EQ(methodsOf<IteratorMethods>(iterator.get()).next(iterator.get(), &next), kOk);
		const DriverReference device(next);
		const DriverReference input = queryFirst(device.get(), kCaptureInputIds);
		ASSERT_TRUE(input);
		const InputMethods &methods = methodsOf<InputMethods>(input.get());
		recorder.input = input.get();

		ASSERT_EQ(methods.enableVideoInput(input.get(), k1080i50, kPixelFormat8BitYuv, kEnableFormatDetection),
			  kOk);
		ASSERT_EQ(methods.enableAudioInput(input.get(), 48000, 16, 2), kOk);
		ASSERT_EQ(methods.setCallback(input.get(), reinterpret_cast<DriverObject *>(&recorder)), kOk);
		ASSERT_EQ(methods.startStreams(input.get()), kOk);
		ASSERT_TRUE(recorder.waitFor([&] { return recorder.pictures >= 10; }));
		{
			std::lock_guard lock(recorder.mutex);
			EXPECT_EQ(recorder.width, 1920);
			EXPECT_TRUE(recorder.noSignal);
			EXPECT_EQ(recorder.announcedModes, std::vector<std::uint32_t>{ kPal });
		}
		EXPECT_EQ(methods.enableVideoInput(input.get(), kPal, kPixelFormat8BitYuv, kEnableFormatDetection),
			  kAccessDenied);
		EXPECT_EQ(methods.enableAudioInput(input.get(), 48000, 16, 2), kAccessDenied);

		ASSERT_EQ(methods.pauseStreams(input.get()), kOk);
		std::int64_t pausedAt = 0;
		{
			std::lock_guard lock(recorder.mutex);
			pausedAt = recorder.time;
		}
		EXPECT_EQ(methods.enableVideoInput(input.get(), kPal, kPixelFormat8BitYuv, kEnableFormatDetection),
			  kOk);
		EXPECT_EQ(methods.enableAudioInput(input.get(), 48000, 16, 8), kOk);
		EXPECT_EQ(methods.flushStreams(input.get()), kOk);
		std::this_thread::sleep_for(300ms);
		ASSERT_EQ(methods.startStreams(input.get()), kOk);
		ASSERT_TRUE(recorder.waitFor([&] { return recorder.width == 720 && !recorder.noSignal; }));
		{
			// 300 ms on (less a picture of the old mode), not restarted.
			std::lock_guard lock(recorder.mutex);
			EXPECT_GE(recorder.time - pausedAt, 27000 - 3600);
			recorder.stopInCallback = true;
		}
		ASSERT_TRUE(recorder.waitFor([&] { return recorder.stopped.has_value(); }));
		EXPECT_EQ(*recorder.stopped, kOk);
		std::this_thread::sleep_for(200ms);
		{
			std::lock_guard lock(recorder.mutex);
			EXPECT_EQ(recorder.pictures, recorder.picturesAtStop);
			EXPECT_EQ(recorder.announcedModes.size(), 1u);
		}
		EXPECT_EQ(methods.setCallback(input.get(), nullptr), kOk);
	}
	expectEverythingReleased();
}

// Every mode of the driver's table that a station sends: the card is
// captured in its own mode, and its rate and field order are the mode's,
// exactly.
TEST_F(DriverCaptureTest, EveryModeIsCapturedInItsOwnMode)
{
	struct Expected {
		const char *mode;
		int width;
		int height;
		AVRational frameRate;
		int fieldOrder;
	};
	const Expected modes[] = {
		{ "720x486i59.94", 720, 486, { 30000, 1001 }, AV_FIELD_BB },
		{ "720x576i50", 720, 576, { 25, 1 }, AV_FIELD_TT },
		{ "1280x720p50", 1280, 720, { 50, 1 }, AV_FIELD_PROGRESSIVE },
		{ "1280x720p59.94", 1280, 720, { 60000, 1001 }, AV_FIELD_PROGRESSIVE },
		{ "1280x720p60", 1280, 720, { 60, 1 }, AV_FIELD_PROGRESSIVE },
		{ "1920x1080i50", 1920, 1080, { 25, 1 }, AV_FIELD_TT },
		{ "1920x1080i59.94", 1920, 1080, { 30000, 1001 }, AV_FIELD_TT },
		{ "1920x1080i60", 1920, 1080, { 30, 1 }, AV_FIELD_TT },
		{ "1920x1080p23.98", 1920, 1080, { 24000, 1001 }, AV_FIELD_PROGRESSIVE },
		{ "1920x1080p24", 1920, 1080, { 24, 1 }, AV_FIELD_PROGRESSIVE },
		{ "1920x1080p25", 1920, 1080, { 25, 1 }, AV_FIELD_PROGRESSIVE },
		{ "1920x1080p29.97", 1920, 1080, { 30000, 1001 }, AV_FIELD_PROGRESSIVE },
		{ "1920x1080p30", 1920, 1080, { 30, 1 }, AV_FIELD_PROGRESSIVE },
		{ "1920x1080p50", 1920, 1080, { 50, 1 }, AV_FIELD_PROGRESSIVE },
		{ "1920x1080p59.94", 1920, 1080, { 60000, 1001 }, AV_FIELD_PROGRESSIVE },
		{ "1920x1080p60", 1920, 1080, { 60, 1 }, AV_FIELD_PROGRESSIVE },
	};
	std::string devices;
	for (size_t index = 0; index < std::size(modes); ++index)
		devices += "name=Mode " + std::to_string(index) + ",peid=" + std::to_string(1000 + index) +
			   ",mode=" + modes[index].mode + ";";
	devices.pop_back();
	useDevices(devices);
	for (size_t index = 0; index < std::size(modes); ++index) {
		const Expected &expected = modes[index];
		SCOPED_TRACE(expected.mode);
		SourceCapture source;
		std::string message;
		// Every other one as the master, whose audio is enabled too.
		ASSERT_TRUE(source.open(cardQuadrant(1, "decklink-" + std::to_string(1000 + index)), index % 2 == 0,
					message))
			<< message;
		EXPECT_TRUE(source.signalAtOpen());
		EXPECT_EQ(source.width(), expected.width);
		EXPECT_EQ(source.height(), expected.height);
		EXPECT_EQ(source.frameRate().num, expected.frameRate.num);
		EXPECT_EQ(source.frameRate().den, expected.frameRate.den);
		EXPECT_EQ(source.fieldOrder(), expected.fieldOrder);
		ASSERT_TRUE(source.start(message)) << message;
		FrameHolder picture = nv12Frame(expected.width, expected.height);
		int64_t counter = 0;
		ASSERT_TRUE(source.waitForFrame(counter, picture.get(), counter, message)) << message;
		EXPECT_EQ(frameIsInterlaced(picture.get()), expected.fieldOrder != AV_FIELD_PROGRESSIVE);
		EXPECT_EQ(frameIsTopFieldFirst(picture.get()), expected.fieldOrder == AV_FIELD_TT);
	}
	expectEverythingReleased();
}

// Drivers 11.6 to 14.2.1 answer only an older input interface, and their
// frames hand out their bytes themselves; drivers of 15.x the interface
// between, with frames of today's layout whose bytes come through the video
// buffer of 15.x.
TEST_F(DriverCaptureTest, OlderDriversAreCapturedThroughTheirOwnInterfaces)
{
	useDevices("name=Pictures G,peid=701,capture=older1,colour=4;name=Pictures H,peid=702,capture=older2,colour=5");
	for (const auto &[deviceId, colour] : { std::pair{ "decklink-701", 4 }, std::pair{ "decklink-702", 5 } }) {
		SCOPED_TRACE(deviceId);
		SourceCapture source;
		std::string message;
		ASSERT_TRUE(source.open(cardQuadrant(1, deviceId), true, message)) << message;
		ASSERT_TRUE(source.start(message)) << message;
		FrameHolder picture = nv12Frame(720, 576);
		int64_t counter = 0;
		for (int taken = 0; taken < 3; ++taken)
			ASSERT_TRUE(source.waitForFrame(counter, picture.get(), counter, message)) << message;
		const TestInputColour &expected = kTestInputColours[size_t(colour - 1)];
		EXPECT_EQ(picture->data[0][8 * picture->linesize[0] + 100], expected.y);
		EXPECT_EQ(picture->data[1][4 * picture->linesize[1] + 100], expected.u);
		EXPECT_EQ(picture->data[1][4 * picture->linesize[1] + 101], expected.v);
	}
	expectEverythingReleased();
}

// A tone's frequency from the sign changes of its samples.
double frequencyOf(const std::vector<int16_t> &samples)
{
	int64_t changes = 0;
	for (size_t index = 1; index < samples.size(); ++index)
		changes += (samples[index - 1] < 0) != (samples[index] < 0) ? 1 : 0;
	return changes / 2.0 / (double(samples.size()) / 48000.0);
}

// A master is captured with all the embedded channels the card takes (16, 8,
// or 2 where its attributes do not say) and the chosen two go out: the card
// of colour 3 has 750 Hz on channel 1 and 3750 Hz on channel 8.
TEST_F(DriverCaptureTest, TheMasterTakesTheChosenChannelsOfAllTheCardGives)
{
	useDevices("name=Pictures I,peid=801,colour=3,audio-channels=8;name=Pictures J,peid=802,no-audio-attribute");
	{
		SourceCapture source;
		source.setAudioChannels({ 8, 1 });
		std::string message;
		ASSERT_TRUE(source.open(cardQuadrant(1, "decklink-801"), true, message)) << message;
		EXPECT_EQ(source.audioChannels(), 8);
		ASSERT_TRUE(source.start(message)) << message;
		FrameHolder picture = nv12Frame(720, 576);
		FrameHolder audio = allocateFrame();
		int64_t counter = 0;
		std::vector<int16_t> left;
		std::vector<int16_t> right;
		while (left.size() < 24000) {
			bool got = false;
			ASSERT_TRUE(source.popAudioFrame(audio.get(), got, message)) << message;
			if (!got) {
				ASSERT_TRUE(source.waitForFrame(counter, picture.get(), counter, message)) << message;
				continue;
			}
			ASSERT_EQ(audio->ch_layout.nb_channels, 2);
			const auto *samples = reinterpret_cast<const int16_t *>(audio->data[0]);
			for (int index = 0; index < audio->nb_samples; ++index) {
				left.push_back(samples[2 * index]);
				right.push_back(samples[2 * index + 1]);
			}
		}
		EXPECT_NEAR(frequencyOf(left), 3750, 5);
		EXPECT_NEAR(frequencyOf(right), 750, 5);
	}
	{
		SourceCapture source;
		source.setAudioChannels({ 3, 4 });
		std::string message;
		EXPECT_FALSE(source.open(cardQuadrant(1, "decklink-802"), true, message));
		EXPECT_EQ(message, "Master source 'Card 1' has 2 audio channels, not channels 3 and 4");
	}
	expectEverythingReleased();
}

// The driver captures 2, 8, 16, 32 or 64 embedded channels, up to the card's
// maximum, and refuses any other count; so does the simulator.
TEST_F(DriverCaptureTest, TheDriverTakesOnlyTheChannelCountsItOffers)
{
	useDevices("name=Pictures K,peid=901,audio-channels=8;name=Pictures L,peid=902,audio-channels=64");
	std::string message;
	{
		DeckLinkDiscovery discovery;
		const std::unique_ptr<DeckLinkInput> input = discovery.openCaptureInput("decklink-901", message);
		ASSERT_TRUE(input) << message;
		EXPECT_EQ(input->maximumAudioChannels(), 8);
		for (const int channels : { 0, 1, 4, 6, 16, 32 })
			EXPECT_FALSE(input->enableAudio(channels, message)) << channels;
		EXPECT_EQ(message, "Failed to enable 32 audio channels of DeckLink device 'Pictures K': 0x80000003");
		for (const int channels : { 2, 8 })
			EXPECT_TRUE(input->enableAudio(channels, message)) << channels << ": " << message;
	}
	{
		DeckLinkDiscovery discovery;
		const std::unique_ptr<DeckLinkInput> input = discovery.openCaptureInput("decklink-902", message);
		ASSERT_TRUE(input) << message;
		for (const int channels : { 16, 32, 64 })
			EXPECT_TRUE(input->enableAudio(channels, message)) << channels << ": " << message;
		EXPECT_FALSE(input->enableAudio(128, message));
	}
	expectEverythingReleased();
}

TEST_F(DriverCaptureTest, UnknownDeviceIdsAreRefused)
{
	useDevices("name=Pictures B,peid=201");
	SourceCapture source;
	std::string message;
	EXPECT_FALSE(source.open(cardQuadrant(1, "decklink-999"), false, message));
	EXPECT_EQ(message, "No DeckLink capture device has the id 'decklink-999'");
}

TEST_F(DriverCaptureTest, ALostSignalIsSeenAtOnceWithSilenceAndComesBack)
{
	useDevices("name=Pictures C,peid=301,mode=1280x720p50");
	{
		SourceCapture source;
		listenTo(source);
		std::string message;
		ASSERT_TRUE(source.open(cardQuadrant(2, "decklink-301"), true, message)) << message;
		ASSERT_TRUE(source.start(message)) << message;
		FrameHolder picture = nv12Frame(1280, 720);
		int64_t counter = 0;
		ASSERT_TRUE(source.waitForFrame(counter, picture.get(), counter, message)) << message;
		ASSERT_TRUE(test::waitUntil([&] { return source.checkSignal() == InputSignal::Ok; }, test::kGenerousTimeout));

		// The card's pictures without signal say so: the first one ends the
		// signal, long before pictures would be missed.
		sendSwitch("1 nosignal 2");
		while (source.checkSignal() != InputSignal::None)
			ASSERT_TRUE(source.waitForFrame(counter, picture.get(), counter, message)) << message;
		expectLatestEvents({ "warning: Input lost on quadrant 2 (Camera 2)" });

		// Audio of pictures without signal is silence.
		FrameHolder audio = allocateFrame();
		bool got = false;
		do {
			ASSERT_TRUE(source.popAudioFrame(audio.get(), got, message)) << message;
		} while (got);
		// A picture's audio is handed over just after the picture itself.
		for (int pictures = 0; !got && pictures < 25; ++pictures) {
			ASSERT_TRUE(source.waitForFrame(counter, picture.get(), counter, message)) << message;
			ASSERT_TRUE(source.popAudioFrame(audio.get(), got, message)) << message;
		}
		ASSERT_TRUE(got);
		if (source.checkSignal() == InputSignal::None) {
			const auto *samples = reinterpret_cast<const int16_t *>(audio->data[0]);
			EXPECT_TRUE(std::all_of(samples, samples + 2 * audio->nb_samples, [](int16_t value) { return value == 0; }));
		}

		sendSwitch("1 signal");
		while (source.checkSignal() != InputSignal::Ok)
			ASSERT_TRUE(source.waitForFrame(counter, picture.get(), counter, message)) << message;
		expectLatestEvents({ "warning: Input lost on quadrant 2 (Camera 2)", "info: Input restored on quadrant 2 (Camera 2)" });
	}
	expectEverythingReleased();
}

TEST_F(DriverCaptureTest, ACardThatStallsLosesItsSignalAfterTenPictureTimes)
{
	useDevices("name=Pictures D,peid=401,mode=720x576i50");
	{
		SourceCapture source;
		listenTo(source);
		std::string message;
		ASSERT_TRUE(source.open(cardQuadrant(3, "decklink-401"), false, message)) << message;
		ASSERT_TRUE(source.start(message)) << message;
		ASSERT_TRUE(test::waitUntil([&] { return source.checkSignal() == InputSignal::Ok; }, test::kGenerousTimeout));
		sendSwitch("1 stall 3");
		ASSERT_TRUE(test::waitUntil([&] { return source.checkSignal() == InputSignal::None; }, test::kGenerousTimeout));
		ASSERT_TRUE(test::waitUntil([&] { return source.checkSignal() == InputSignal::Ok; }, test::kGenerousTimeout));
		expectLatestEvents({ "warning: Input lost on quadrant 3 (Camera 3)", "info: Input restored on quadrant 3 (Camera 3)" });
	}
	expectEverythingReleased();
}

/*
 * An input whose signal changes to another size shows as not matching, with
 * the format, and as restored with its first picture of the size that fits.
 * Following its signal into another mode a card has a moment without
 * pictures, which is no loss: here it stalls for longer than ten picture
 * times while it does not fit, and changes back at once after. Only a
 * machine so slow that the card missed pictures may add a loss in between.
 */
TEST_F(DriverCaptureTest, AnInputOfAnotherSizeShowsAsNoSignalUntilItFitsAgain)
{
	useDevices("name=Pictures E,peid=501,mode=720x576i50");
	{
		SourceCapture source;
		listenTo(source);
		std::string message;
		ASSERT_TRUE(source.open(cardQuadrant(4, "decklink-501"), false, message)) << message;
		ASSERT_TRUE(source.start(message)) << message;
		ASSERT_TRUE(test::waitUntil([&] { return source.checkSignal() == InputSignal::Ok; }, test::kGenerousTimeout));

		const std::string mismatch =
			"warning: Input on quadrant 4 (Camera 4): format does not match the master (1280x720p50)";
		sendSwitch("1 format 1280x720p50");
		ASSERT_TRUE(test::waitUntil(
			[&] {
				source.checkSignal();
				const std::vector<std::string> seen = events();
				return !seen.empty() && seen.back() == mismatch;
			},
			test::kGenerousTimeout))
			<< testing::PrintToString(events());
		const std::size_t reported = events().size();
		const int64_t missedBefore = picturesMissed();

		sendSwitch("1 stall 0.5\n1 format 720x576i50");
		// Looked at all the time, so that no moment of the change goes unseen.
		const auto deadline = std::chrono::steady_clock::now() + test::kGenerousTimeout;
		while (source.checkSignal() != InputSignal::Ok) {
			ASSERT_LT(std::chrono::steady_clock::now(), deadline);
			std::this_thread::sleep_for(1ms);
		}
		std::vector<std::string> since = events();
		since.erase(since.begin(), since.begin() + std::ptrdiff_t(reported));
		if (picturesMissed() > missedBefore)
			std::erase(since, "warning: Input lost on quadrant 4 (Camera 4)");
		EXPECT_EQ(since, std::vector<std::string>{ "info: Input restored on quadrant 4 (Camera 4)" })
			<< testing::PrintToString(events());
		// The pictures in between were never taken, and the ones now are of the size expected.
		FrameHolder picture = nv12Frame(720, 576);
		ASSERT_TRUE(source.copyLatestFrame(picture.get(), message)) << message;
	}
	expectEverythingReleased();
}

TEST_F(DriverCaptureTest, AMasterThatChangesFormatEndsWithTheNewFormat)
{
	useDevices("name=Pictures F,peid=601,mode=720x576i50");
	{
		SourceCapture source;
		std::string message;
		ASSERT_TRUE(source.open(cardQuadrant(1, "decklink-601"), true, message)) << message;
		ASSERT_TRUE(source.start(message)) << message;
		FrameHolder picture = nv12Frame(720, 576);
		int64_t counter = 0;
		ASSERT_TRUE(source.waitForFrame(counter, picture.get(), counter, message)) << message;
		sendSwitch("1 format 1280x720p50");
		while (source.waitForFrame(counter, picture.get(), counter, message)) {
		}
		EXPECT_EQ(message, "Master input format changed: 1280x720p50");
	}
	expectEverythingReleased();
}

} // namespace
} // namespace tiloran
