// SourceCapture on live test-pattern inputs: opening, pacing, the latest-frame
// slot, the master's audio queue, the ends of the capture thread, pictures.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "capture/SourceCapture.h"
#include "capture/SourceInput.h"
#include "media/FfmpegSupport.h"
#include "support/TestSupport.h"

namespace tiloran {
namespace {

using Clock = std::chrono::steady_clock;

QuadrantConfig testQuadrant(int id, const std::string &sourceName)
{
	QuadrantConfig quadrant;
	quadrant.id = id;
	quadrant.name = "Quadrant " + std::to_string(id);
	quadrant.source_id = "test-" + std::to_string(id);
	quadrant.source_name = sourceName;
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

std::vector<std::string> lines(const std::string &text)
{
	std::vector<std::string> result;
	std::istringstream stream(text);
	for (std::string line; std::getline(stream, line);)
		result.push_back(line);
	return result;
}

// The console text less the test pattern's note that it fell more than its
// limit behind the clock and starts again from now, which a program several
// times slower than real time may print at any moment.
std::string withoutFallingBehindNotes(const std::string &text)
{
	if (test::programsKeepRealTime)
		return text;
	std::string result;
	for (const std::string &line : lines(text)) {
		if (line.find("time discontinuity detected") == std::string::npos)
			result += line + "\n";
	}
	return result;
}

// A test pattern that ends after frameLimit pictures.
SourceInputOpener endingInput(int64_t frameLimit)
{
	return [frameLimit](const QuadrantConfig &quadrant, int32_t, InputFormatContextHolder &input,
			    std::string &message) {
		TestPattern pattern;
		if (!parseTestInputName(quadrant.source_name, pattern, message))
			return false;
		pattern.frameLimit = frameLimit;
		return openTestPatternInput(pattern, quadrant.source_name, input, message);
	};
}

TEST(SourceCaptureTest, OpensAProgressiveTestInputAsACard)
{
	SourceCapture source;
	std::string message;
	testing::internal::CaptureStdout();
	const bool opened = source.open(testQuadrant(1, "Test Input 1 (640x360p25)"), true, message);
	const std::string output = testing::internal::GetCapturedStdout();
	ASSERT_TRUE(opened) << message;

	EXPECT_EQ(lines(output),
		  (std::vector<std::string>{
			  "[SourceCapture] Capture for quadrant 1 (Test Input 1 (640x360p25)): test pattern",
			  "[SourceCapture] DeckLink stream format for quadrant 1 (Test Input 1 (640x360p25)): "
			  "codec_id=13 codec=rawvideo codec_tag=1498831189 fourcc=UYVY pixel_format=uyvy422 "
			  "width=640 height=360 time_base=1/25 frame_rate=25/1 field_order=1",
			  "[SourceCapture] Worker pixel format for quadrant 1 (Test Input 1 (640x360p25)): nv12",
			  "[SourceCapture] Master audio stream for quadrant 1 (Test Input 1 (640x360p25)): "
			  "codec=pcm_s16le sample_format=s16 sample_rate=48000 channels=16 time_base=1/48000",
		  }));
	EXPECT_EQ(source.width(), 640);
	EXPECT_EQ(source.height(), 360);
	EXPECT_EQ(source.frameRate().num, 25);
	EXPECT_EQ(source.frameRate().den, 1);
	EXPECT_EQ(source.timeBase().num, 1);
	EXPECT_EQ(source.timeBase().den, 25);
	EXPECT_EQ(source.fieldOrder(), AV_FIELD_PROGRESSIVE);
	EXPECT_EQ(source.sampleRate(), 48000);
	EXPECT_EQ(source.quadrant().id, 1);
	EXPECT_EQ(source.quadrant().source_name, "Test Input 1 (640x360p25)");

	// Opened but never started: nothing to copy, nothing to wait for.
	FrameHolder frame = nv12Frame(640, 360);
	EXPECT_FALSE(source.hasFrame());
	EXPECT_FALSE(source.copyLatestFrame(frame.get(), message));
	EXPECT_EQ(message, "Source has no frame yet: Test Input 1 (640x360p25)");
	int64_t counter = -1;
	EXPECT_FALSE(source.waitForFrame(0, frame.get(), counter, message));
	EXPECT_EQ(message, "Source stopped before producing a frame: Test Input 1 (640x360p25)");
}

TEST(SourceCaptureTest, OpensAnInterlacedTestInputTopFieldFirst)
{
	SourceCapture source;
	std::string message;
	testing::internal::CaptureStdout();
	const bool opened = source.open(testQuadrant(2, "Test Input 2 (640x360i50)"), true, message);
	const std::string output = testing::internal::GetCapturedStdout();
	ASSERT_TRUE(opened) << message;

	EXPECT_EQ(lines(output),
		  (std::vector<std::string>{
			  "[SourceCapture] Capture for quadrant 2 (Test Input 2 (640x360i50)): test pattern",
			  "[SourceCapture] DeckLink stream format for quadrant 2 (Test Input 2 (640x360i50)): "
			  "codec_id=13 codec=rawvideo codec_tag=1498831189 fourcc=UYVY pixel_format=uyvy422 "
			  "width=640 height=360 time_base=1/25 frame_rate=25/1 field_order=2",
			  "[SourceCapture] Worker pixel format for quadrant 2 (Test Input 2 (640x360i50)): nv12",
			  "[SourceCapture] Master audio stream for quadrant 2 (Test Input 2 (640x360i50)): "
			  "codec=pcm_s16le sample_format=s16 sample_rate=48000 channels=16 time_base=1/48000",
		  }));
	EXPECT_EQ(source.frameRate().num, 25);
	EXPECT_EQ(source.frameRate().den, 1);
	EXPECT_EQ(source.fieldOrder(), AV_FIELD_TT);
	EXPECT_EQ(source.sampleRate(), 48000);

	testing::internal::CaptureStdout();
	ASSERT_TRUE(source.start(message)) << message;
	FrameHolder frame = nv12Frame(640, 360);
	int64_t counter = 0;
	ASSERT_TRUE(source.waitForFrame(0, frame.get(), counter, message)) << message;
	EXPECT_EQ(lines(testing::internal::GetCapturedStdout()),
		  (std::vector<std::string>{
			  "[SourceCapture] First decoded frame for quadrant 2 (Test Input 2 (640x360i50)): "
			  "format=uyvy422 width=640 height=360 linesize=[1280,0,0]",
		  }));
	// The pictures carry the field order too.
	EXPECT_TRUE(frameIsInterlaced(frame.get()));
	EXPECT_TRUE(frameIsTopFieldFirst(frame.get()));

	EXPECT_FALSE(source.start(message));
	EXPECT_EQ(message, "SourceCapture is already running");
}

// Frames come at the mode's pace; waitForFrame skips to the newest one and
// copyLatestFrame hands out the newest without waiting for another.
TEST(SourceCaptureTest, FramesArriveAtTheModesPaceInWorkerTime)
{
	SourceCapture source;
	std::string message;
	testing::internal::CaptureStdout();
	const bool opened = source.open(testQuadrant(3, "Test Input 3 (640x360p29.97)"), false, message);
	// A non-master source does not look at the audio.
	EXPECT_EQ(lines(testing::internal::GetCapturedStdout()),
		  (std::vector<std::string>{
			  "[SourceCapture] Capture for quadrant 3 (Test Input 3 (640x360p29.97)): test pattern",
			  "[SourceCapture] DeckLink stream format for quadrant 3 (Test Input 3 (640x360p29.97)): "
			  "codec_id=13 codec=rawvideo codec_tag=1498831189 fourcc=UYVY pixel_format=uyvy422 "
			  "width=640 height=360 time_base=1001/30000 frame_rate=30000/1001 field_order=1",
			  "[SourceCapture] Worker pixel format for quadrant 3 (Test Input 3 (640x360p29.97)): nv12",
		  }));
	ASSERT_TRUE(opened) << message;
	EXPECT_EQ(source.sampleRate(), 0);
	EXPECT_EQ(source.frameRate().num, 30000);
	EXPECT_EQ(source.frameRate().den, 1001);
	ASSERT_TRUE(source.start(message)) << message;

	FrameHolder frame = nv12Frame(640, 360);
	int64_t firstCounter = 0;
	ASSERT_TRUE(source.waitForFrame(0, frame.get(), firstCounter, message)) << message;
	// The frames that the stream analysis read at open come at once; start
	// counting once the source delivers live.
	ASSERT_TRUE(source.waitForFrame(firstCounter + 3, frame.get(), firstCounter, message)) << message;
	const Clock::time_point firstTime = Clock::now();
	const int64_t firstPts = frame->pts;

	// Take each of the next 120 frames (four seconds of the mode). How far
	// the counter runs ahead of the clock stays the same when the source
	// keeps the mode's pace; the best (least delayed) observation among the
	// first and among the last 30 frames stands for it. A loaded machine only
	// delays observations and frames, so the source may seem to fall behind:
	// half a second is allowed for that. Running ahead cannot come from load,
	// so only the measuring error is allowed there: a fifth of a second, about
	// the least delay of the best of 30 observations on a busy machine. A
	// source without pacing, or paced at field rate or at half the rate, lies
	// far outside.
	constexpr double rate = 30000.0 / 1001.0;
	constexpr int64_t measuredFrames = 120;
	constexpr int64_t windowFrames = 30;
	double earlyLead = -1e9;
	double lateLead = -1e9;
	int64_t counter = firstCounter;
	while (counter - firstCounter < measuredFrames) {
		ASSERT_TRUE(source.waitForFrame(counter, frame.get(), counter, message)) << message;
		const double seconds = std::chrono::duration<double>(Clock::now() - firstTime).count();
		EXPECT_EQ(frame->pts - firstPts, (counter - firstCounter) * 3003);
		const double lead = double(counter - firstCounter) - seconds * rate;
		if (counter - firstCounter <= windowFrames)
			earlyLead = std::max(earlyLead, lead);
		if (counter - firstCounter > measuredFrames - windowFrames)
			lateLead = std::max(lateLead, lead);
	}
	EXPECT_LE(lateLead - earlyLead, 0.2 * rate) << "the source runs ahead of the mode's pace";
	// A program several times slower than real time falls behind by itself.
	if (test::programsKeepRealTime) {
		EXPECT_GE(lateLead - earlyLead, -0.5 * rate) << "the source falls behind the mode's pace";
	}

	// A late caller gets the newest frame; those in between are skipped. The
	// caller comes back once at least ten frames have been published.
	const int64_t before = counter;
	const int64_t beforePts = frame->pts;
	FrameHolder latest = nv12Frame(640, 360);
	ASSERT_TRUE(test::waitUntil(
		[&] { return source.copyLatestFrame(latest.get(), message) && latest->pts - beforePts >= 10 * 3003; },
		test::kGenerousTimeout))
		<< message;
	ASSERT_TRUE(source.waitForFrame(before, frame.get(), counter, message)) << message;
	EXPECT_GE(counter - before, 10);
	EXPECT_EQ(frame->pts - beforePts, (counter - before) * 3003);
	EXPECT_GE(frame->pts, latest->pts);

	// copyLatestFrame hands out the newest picture without waiting for
	// another: ten copies in a row could each bring a new picture only if
	// every one of them took a picture's time (33 ms), where a copy takes
	// about a millisecond.
	const int64_t newestPts = frame->pts;
	std::vector<int64_t> copied;
	for (int copy = 0; copy < 10; ++copy) {
		ASSERT_TRUE(source.copyLatestFrame(frame.get(), message)) << message;
		copied.push_back(frame->pts);
	}
	EXPECT_GE(copied.front(), newestPts);
	EXPECT_NE(std::adjacent_find(copied.begin(), copied.end()), copied.end())
		<< "copyLatestFrame waited for new frames";
	EXPECT_EQ((copied.back() - firstPts) % 3003, 0);

	// The non-master queued no audio in all that time.
	bool got = true;
	FrameHolder audio = allocateFrame();
	EXPECT_TRUE(source.popAudioFrame(audio.get(), got, message)) << message;
	EXPECT_FALSE(got);
}

// The master queues its audio as s16 48 kHz stereo in worker time, at most 64
// frames, the oldest dropped first; the tone is input K's K x 250 Hz.
TEST(SourceCaptureTest, MasterQueuesAtMost64AudioFrames)
{
	SourceCapture source;
	std::string message;
	ASSERT_TRUE(source.open(testQuadrant(3, "Test Input 3 (640x360p60)"), true, message))
		<< message;
	ASSERT_TRUE(source.start(message)) << message;

	// 60 audio frames per second of 800 samples each: wait for far more than 64.
	FrameHolder frame = nv12Frame(640, 360);
	int64_t counter = 0;
	while (counter < 150)
		ASSERT_TRUE(source.waitForFrame(counter, frame.get(), counter, message)) << message;

	// The input hands out pictures and audio in time order, so the queued
	// audio keeps step with the published pictures to within a few frames;
	// the newest picture before and after popping tells what the queue held
	// when popping began and what came in while it went on, however long
	// that took.
	constexpr int64_t ticksPerFrame = 1500;
	constexpr int64_t stepSlack = 3;
	FrameHolder latest = nv12Frame(640, 360);
	ASSERT_TRUE(source.copyLatestFrame(latest.get(), message)) << message;
	const int64_t pictureBefore = latest->pts;
	std::vector<FrameHolder> queued;
	FrameHolder audio = allocateFrame();
	bool got = true;
	while (got) {
		ASSERT_TRUE(source.popAudioFrame(audio.get(), got, message)) << message;
		if (got)
			queued.push_back(FrameHolder(av_frame_clone(audio.get())));
	}
	ASSERT_TRUE(source.copyLatestFrame(latest.get(), message)) << message;
	const int64_t pictureAfter = latest->pts;

	ASSERT_GE(queued.size(), 64u);
	// The oldest frame popped was among the 64 newest when popping began:
	// those queued before them were dropped.
	EXPECT_GT(queued.front()->pts, 0);
	EXPECT_GE(queued.front()->pts, pictureBefore - (64 + stepSlack) * ticksPerFrame)
		<< "picture " << pictureBefore;
	EXPECT_LE(queued.back()->pts, pictureAfter + stepSlack * ticksPerFrame) << "picture " << pictureAfter;

	int64_t crossings = 0;
	int16_t previous = 0;
	int64_t samples = 0;
	int peak = 0;
	for (size_t index = 0; index < queued.size(); ++index) {
		const AVFrame *entry = queued[index].get();
		EXPECT_EQ(entry->format, AV_SAMPLE_FMT_S16);
		EXPECT_EQ(entry->sample_rate, 48000);
		EXPECT_EQ(entry->ch_layout.nb_channels, 2);
		EXPECT_EQ(entry->nb_samples, 800);
		if (index > 0) {
			EXPECT_EQ(entry->pts - queued[index - 1]->pts, 1500);
		}
		const int16_t *interleaved = reinterpret_cast<const int16_t *>(entry->data[0]);
		for (int sample = 0; sample < entry->nb_samples; ++sample) {
			const int16_t left = interleaved[2 * sample];
			EXPECT_EQ(interleaved[2 * sample + 1], left);
			if ((previous < 0) != (left < 0) && samples > 0)
				++crossings;
			peak = std::max(peak, std::abs(int(left)));
			previous = left;
			++samples;
		}
	}
	const double frequency = crossings / 2.0 / (double(samples) / 48000.0);
	EXPECT_NEAR(frequency, 750.0, 5.0);
	// -18 dBFS: an eighth of full scale.
	EXPECT_NEAR(peak, 32768 / 8, 16);
}

// A tone's frequency from the sign changes of its samples.
double frequencyOf(const std::vector<int16_t> &samples)
{
	int64_t changes = 0;
	for (size_t index = 1; index < samples.size(); ++index)
		changes += (samples[index - 1] < 0) != (samples[index] < 0) ? 1 : 0;
	return changes / 2.0 / (double(samples.size()) / 48000.0);
}

// The chosen two of the master's 16 channels become its stereo, left and
// right as asked: test input 2 has 1500 Hz on channel 3, 3500 Hz on channel 8.
TEST(SourceCaptureTest, TheChosenChannelsBecomeTheMastersStereo)
{
	SourceCapture source;
	source.setAudioChannels({ 3, 8 });
	std::string message;
	ASSERT_TRUE(source.open(testQuadrant(2, "Test Input 2 (320x180p25)"), true, message)) << message;
	EXPECT_EQ(source.audioChannels(), 16);
	ASSERT_TRUE(source.start(message)) << message;

	FrameHolder picture = nv12Frame(320, 180);
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
		EXPECT_EQ(audio->nb_samples, 1920);
		const auto *samples = reinterpret_cast<const int16_t *>(audio->data[0]);
		for (int index = 0; index < audio->nb_samples; ++index) {
			left.push_back(samples[2 * index]);
			right.push_back(samples[2 * index + 1]);
		}
	}
	EXPECT_NEAR(frequencyOf(left), testInputToneFrequency(2, 2), 5.0);
	EXPECT_NEAR(frequencyOf(right), testInputToneFrequency(2, 4), 5.0);
}

TEST(SourceCaptureTest, AnInputThatEndsEndsTheSourceWithItsMessage)
{
	const std::string name = "Test Input 1 (640x360p25)";
	const std::string ended = "Failed to read DeckLink input frame for source '" + name + "': End of file";
	FrameHolder frame = nv12Frame(640, 360);
	FrameHolder audio = allocateFrame();
	std::string message;
	bool got = true;

	{
		SourceCapture source(endingInput(5));
		ASSERT_TRUE(source.open(testQuadrant(1, name), true, message)) << message;
		ASSERT_TRUE(source.start(message)) << message;
		int64_t counter = 0;
		while (source.waitForFrame(counter, frame.get(), counter, message))
			;
		EXPECT_EQ(message, ended);
		// A reader that falls behind skips to the newest picture, and the end
		// may be stored before it has taken the fifth.
		EXPECT_GE(counter, 1);
		EXPECT_LE(counter, 5);
		EXPECT_TRUE(source.hasFrame());
		EXPECT_FALSE(source.copyLatestFrame(frame.get(), message));
		EXPECT_EQ(message, ended);
		EXPECT_FALSE(source.popAudioFrame(audio.get(), got, message));
		EXPECT_FALSE(got);
		EXPECT_EQ(message, ended);
	}
	{
		// Ends before its first picture: the reason wins over "stopped".
		SourceCapture source(endingInput(0));
		ASSERT_TRUE(source.open(testQuadrant(1, name), false, message)) << message;
		ASSERT_TRUE(source.start(message)) << message;
		int64_t counter = -1;
		EXPECT_FALSE(source.waitForFrame(0, frame.get(), counter, message));
		EXPECT_EQ(message, ended);
		EXPECT_EQ(counter, -1);
		EXPECT_FALSE(source.hasFrame());
	}
}

// A wait that interruptWait ends is no failure: it says so and leaves the
// message as it was, whether it was waiting yet or not, and so is every
// later wait.
TEST(SourceCaptureTest, AnInterruptedWaitIsNoFailure)
{
	SourceCapture source;
	std::string message;
	ASSERT_TRUE(source.open(testQuadrant(1, "Test Input 1 (640x360p25)"), false, message)) << message;
	FrameHolder frame = nv12Frame(640, 360);
	int64_t counter = 0;
	EXPECT_EQ(source.waitForFrame(0, frame.get(), counter, message).outcome, WaitOutcome::Failed);
	ASSERT_TRUE(source.start(message)) << message;
	ASSERT_TRUE(source.waitForFrame(0, frame.get(), counter, message)) << message;

	message = "as it was";
	std::thread interrupter([&source] {
		std::this_thread::sleep_for(std::chrono::milliseconds(100));
		source.interruptWait();
	});
	// A picture that never comes.
	const WaitResult waited = source.waitForFrame(INT64_MAX, frame.get(), counter, message);
	interrupter.join();
	EXPECT_EQ(waited.outcome, WaitOutcome::Interrupted);
	EXPECT_FALSE(waited);
	EXPECT_EQ(source.waitForFrame(counter, frame.get(), counter, message).outcome, WaitOutcome::Interrupted);
	EXPECT_EQ(message, "as it was");
}

// Destroying a source returns promptly in every state and reports nothing,
// also for the largest default mode.
TEST(SourceCaptureTest, DestroyingASourceReturnsPromptlyAndQuietly)
{
	for (const std::string &name : { std::string("Test Input 1 (1920x1080i50)"),
					 std::string("Test Input 2 (640x360p23.98)") }) {
		SCOPED_TRACE(name);
		auto source = std::make_unique<SourceCapture>();
		std::string message;
		ASSERT_TRUE(source->open(testQuadrant(1, name), true, message)) << message;
		ASSERT_TRUE(source->start(message)) << message;
		FrameHolder frame = nv12Frame(source->width(), source->height());
		int64_t counter = 0;
		ASSERT_TRUE(source->waitForFrame(0, frame.get(), counter, message)) << message;

		testing::internal::CaptureStdout();
		testing::internal::CaptureStderr();
		const Clock::time_point before = Clock::now();
		source.reset();
		const auto took = Clock::now() - before;
		EXPECT_EQ(withoutFallingBehindNotes(testing::internal::GetCapturedStderr()), "");
		EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
		// The read in progress returns within a picture's time; the bound
		// leaves room for a loaded machine and still catches a destructor
		// that waits for anything more than that read.
		EXPECT_LT(took, std::chrono::seconds(10));
	}

	// Opened, not started; and never opened.
	{
		SourceCapture source;
		std::string message;
		ASSERT_TRUE(source.open(testQuadrant(1, "Test Input 1 (640x360p25)"), true, message))
			<< message;
	}
	{
		SourceCapture source;
		std::string message;
		EXPECT_FALSE(source.start(message));
		EXPECT_EQ(message, "SourceCapture is not open");
	}
}

// The band at the top of input K's picture has input K's colour in NV12.
TEST(SourceCaptureTest, EachTestInputShowsItsOwnColour)
{
	for (int number = 1; number <= kTestInputCount; ++number) {
		const std::string name = "Test Input " + std::to_string(number) + " (320x180p50)";
		SCOPED_TRACE(name);
		SourceCapture source;
		std::string message;
		ASSERT_TRUE(source.open(testQuadrant(1, name), false, message)) << message;
		ASSERT_TRUE(source.start(message)) << message;
		FrameHolder frame = nv12Frame(320, 180);
		int64_t counter = 0;
		ASSERT_TRUE(source.waitForFrame(0, frame.get(), counter, message)) << message;

		const TestInputColour &colour = kTestInputColours[number - 1];
		const int band = testInputBandHeight(180);
		ASSERT_EQ(band, 20);
		for (int y : { 0, band / 2, band - 4 }) {
			for (int x : { 0, 160, 318 }) {
				SCOPED_TRACE("x=" + std::to_string(x) + " y=" + std::to_string(y));
				const uint8_t *luma = frame->data[0] + y * frame->linesize[0];
				const uint8_t *chroma = frame->data[1] + y / 2 * frame->linesize[1];
				EXPECT_NEAR(luma[x], colour.y, 1);
				EXPECT_NEAR(chroma[x], colour.u, 1);
				EXPECT_NEAR(chroma[x + 1], colour.v, 1);
			}
		}
	}
}

} // namespace
} // namespace tiloran
