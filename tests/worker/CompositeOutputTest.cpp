// The composite output with real encoders, writing MPEG-TS to files (the
// byte-level checks) and to a named pipe that the test stops reading (a held
// output thread).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <vector>
#include <unistd.h>

#include "CompositeOutputTestSupport.h"
#include "support/TestSupport.h"

namespace tiloran {
namespace {

using namespace std::chrono_literals;
using test::makeAudio;
using test::makePicture;
using test::outputConfig;
using test::probeMedia;

using test::startPts;
using test::tileHeight;
using test::tileWidth;

struct Feed {
	int pictures = 30;
	int sampleRate = 48000;
	int channels = 2;
	// Samples pushed with each picture.
	int samplesPerPicture = 1920;
};

// Feeds pictures at 25 frames/s, each after its share of audio, as the
// streamer does, and destroys the output (an orderly stop).
void feedAndStop(const std::string &path, const Feed &feed, int32_t fieldOrder = 1)
{
	CompositeOutput output;
	std::string message;
	ASSERT_TRUE(output.init(outputConfig(path), tileWidth, tileHeight, 25, 1, feed.sampleRate, fieldOrder, message))
		<< message;
	for (int index = 0; index < feed.pictures; ++index) {
		FrameHolder audio = makeAudio(feed.channels, feed.samplesPerPicture, feed.sampleRate,
					      startPts + index * 3600);
		ASSERT_TRUE(output.pushAudioFrame(audio.get(), message)) << message;
		FrameHolder picture = makePicture(2 * tileWidth, 2 * tileHeight, startPts + index * 3600, index);
		setFrameInterlaced(picture.get(), fieldOrder >= 2, fieldOrder == 2 || fieldOrder == 4);
		// As captured pictures arrive: marked intra by the capture's decoder.
		picture->pict_type = AV_PICTURE_TYPE_I;
		ASSERT_TRUE(output.pushVideoFrame(picture.get(), message)) << message;
	}
}

TEST(CompositeOutputTest, InitRefusesBadArgumentsBeforeOpeningAnyEncoder)
{
	test::TemporaryDirectory directory;
	const std::string path = (directory.path() / "out.ts").string();
	struct Case {
		int32_t numerator, denominator, sampleRate;
		int64_t audioBitrate;
		const char *message;
	};
	const Case cases[] = {
		{ 0, 1, 48000, 128000, "Invalid output frame rate" },
		{ 25, 0, 48000, 128000, "Invalid output frame rate" },
		{ -25, 1, 48000, 128000, "Invalid output frame rate" },
		{ 25, 1, 0, 128000, "Invalid master audio sample rate" },
		{ 25, 1, -48000, 128000, "Invalid master audio sample rate" },
		{ 25, 1, 48000, 0, "audio_bitrate must be greater than zero" },
		{ 25, 1, 48000, -1, "audio_bitrate must be greater than zero" },
	};
	for (const Case &test : cases) {
		WorkerConfig config = outputConfig(path);
		config.audio_bitrate = test.audioBitrate;
		CompositeOutput output;
		std::string message;
		testing::internal::CaptureStdout();
		EXPECT_FALSE(output.init(config, tileWidth, tileHeight, test.numerator, test.denominator,
					 test.sampleRate, 1, message));
		const std::string printed = testing::internal::GetCapturedStdout();
		EXPECT_EQ(message, test.message);
		// The encoder announces itself before it opens: nothing was opened.
		EXPECT_EQ(printed, "");
	}
	EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(CompositeOutputTest, EncodersThatCannotBeFoundOrOpenedFailInit)
{
	test::TemporaryDirectory directory;
	const std::string path = (directory.path() / "out.ts").string();
	std::string message;
	{
		CompositeOutput output;
		EXPECT_FALSE(output.init(outputConfig(path, "no_such_encoder"), tileWidth, tileHeight, 25, 1, 48000, 1,
					 message));
		EXPECT_EQ(message, "Failed to find H.264 encoder 'no_such_encoder'");
	}
	{
		// No NVIDIA device here: the encoder exists but cannot open.
		CompositeOutput output;
		testing::internal::CaptureStdout();
		EXPECT_FALSE(output.init(outputConfig(path, "h264_nvenc"), 960, 540, 25, 1, 48000, 2, message));
		const std::string printed = testing::internal::GetCapturedStdout();
		EXPECT_EQ(printed, "[CompositeOutput] Encoder field_order=1 scan=progressive encoder=h264_nvenc\n"
				   "[CompositeOutput] NVENC 1920x1080 gop=1 forced-idr=1 profile=high level=auto\n");
		EXPECT_EQ(message.rfind("Failed to open encoder 'h264_nvenc' with worker pixel format: ", 0), 0u)
			<< message;
		EXPECT_GT(message.size(), std::string("Failed to open encoder 'h264_nvenc' with worker pixel format: ").size());
	}
	{
		CompositeOutput output;
		testing::internal::CaptureStdout();
		EXPECT_FALSE(output.init(outputConfig(path, "h264_qsv"), tileWidth, tileHeight, 25, 1, 48000, 3, message));
		const std::string printed = testing::internal::GetCapturedStdout();
		EXPECT_EQ(printed, "[CompositeOutput] Encoder field_order=3 scan=interlaced encoder=h264_qsv\n");
		EXPECT_EQ(message.rfind("Failed to open encoder 'h264_qsv' with worker pixel format: ", 0), 0u) << message;
	}
	EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(CompositeOutputTest, PushesBeforeInitFail)
{
	CompositeOutput output;
	std::string message;
	FrameHolder picture = makePicture(2 * tileWidth, 2 * tileHeight, 0, 0);
	EXPECT_FALSE(output.pushVideoFrame(picture.get(), message));
	EXPECT_EQ(message, "CompositeOutput is not initialized");
	FrameHolder audio = makeAudio(2, 1024, 48000, 0);
	EXPECT_FALSE(output.pushAudioFrame(audio.get(), message));
	EXPECT_EQ(message, "CompositeOutput is not initialized");
}

TEST(CompositeOutputTest, WritesH264AndAacWithTheirTimestampsAndATrailer)
{
	test::TemporaryDirectory directory;
	const std::string path = (directory.path() / "out.ts").string();
	testing::internal::CaptureStdout();
	feedAndStop(path, Feed{});
	const std::string printed = testing::internal::GetCapturedStdout();
	EXPECT_EQ(printed, "[CompositeOutput] Encoder field_order=1 scan=progressive encoder=libx264\n");

	const test::ProbedMedia media = probeMedia(path);
	ASSERT_EQ(media.error, "");
	ASSERT_EQ(media.streams.size(), 2u);
	EXPECT_EQ(media.streams[0].type, AVMEDIA_TYPE_VIDEO);
	EXPECT_EQ(media.streams[0].codec, AV_CODEC_ID_H264);
	EXPECT_EQ(media.streams[0].width, 2 * tileWidth);
	EXPECT_EQ(media.streams[0].height, 2 * tileHeight);
	EXPECT_EQ(media.streams[0].fieldOrder, AV_FIELD_PROGRESSIVE);
	EXPECT_EQ(media.streams[1].type, AVMEDIA_TYPE_AUDIO);
	EXPECT_EQ(media.streams[1].codec, AV_CODEC_ID_AAC);
	EXPECT_EQ(media.streams[1].channels, 2);
	EXPECT_EQ(media.streams[1].sampleRate, 48000);

	// Every picture, with the pts it was pushed with, moved on by the AAC
	// encoder's priming (1920) as every timestamp is; the last ones reach the
	// file only through the trailer.
	std::vector<int64_t> expectedVideoPts;
	for (int index = 0; index < 30; ++index)
		expectedVideoPts.push_back(startPts + 1920 + index * 3600);
	EXPECT_EQ(media.ptsOf(0), expectedVideoPts);
	// A GOP of two seconds: within these 1.2 seconds only the first picture
	// is a key frame, whatever the pictures' own marks say.
	int keyPictures = 0;
	for (const test::ProbedPacket &packet : media.packets)
		keyPictures += packet.streamIndex == 0 && packet.key;
	EXPECT_EQ(keyPictures, 1);

	// 30 x 1920 samples make 56 whole AAC frames; the last 256 samples are
	// dropped. The encoder's priming frame comes first, one frame early, at
	// the pictures' first pts.
	const std::vector<int64_t> audioPts = media.ptsOf(1);
	ASSERT_EQ(audioPts.size(), 57u);
	for (size_t index = 0; index < audioPts.size(); ++index)
		EXPECT_EQ(audioPts[index], startPts + static_cast<int64_t>(index) * 1920) << index;
}

TEST(CompositeOutputTest, HalfAFramePerSecondMakesEveryPictureAKeyFrame)
{
	test::TemporaryDirectory directory;
	const std::string path = (directory.path() / "out.ts").string();
	{
		CompositeOutput output;
		std::string message;
		ASSERT_TRUE(output.init(outputConfig(path), tileWidth, tileHeight, 1, 2, 48000, 1, message)) << message;
		for (int index = 0; index < 4; ++index) {
			FrameHolder picture = makePicture(2 * tileWidth, 2 * tileHeight, startPts + index * 180000, index);
			ASSERT_TRUE(output.pushVideoFrame(picture.get(), message)) << message;
		}
	}
	const test::ProbedMedia media = probeMedia(path);
	ASSERT_EQ(media.error, "");
	int pictures = 0;
	for (const test::ProbedPacket &packet : media.packets) {
		if (packet.streamIndex == 0) {
			++pictures;
			EXPECT_TRUE(packet.key);
		}
	}
	EXPECT_EQ(pictures, 4);
}

TEST(CompositeOutputTest, AudioClockAt44100AdvancesBy2090PerFrame)
{
	test::TemporaryDirectory directory;
	const std::string path = (directory.path() / "out.ts").string();
	feedAndStop(path, Feed{ .pictures = 10, .sampleRate = 44100, .channels = 2, .samplesPerPicture = 1764 });

	const test::ProbedMedia media = probeMedia(path);
	ASSERT_EQ(media.error, "");
	ASSERT_EQ(media.streams.size(), 2u);
	EXPECT_EQ(media.streams[1].sampleRate, 44100);
	// 17640 samples: 17 whole frames, and the encoder's priming frame before
	// them. The encoder turns each frame's pts into samples and back, which
	// may move it by one tick; the last packet is timed by the encoder's flush.
	const std::vector<int64_t> audioPts = media.ptsOf(1);
	ASSERT_EQ(audioPts.size(), 18u);
	for (size_t index = 0; index + 1 < audioPts.size(); ++index) {
		const int64_t expected = startPts + static_cast<int64_t>(index) * 2090;
		EXPECT_LE(std::abs(audioPts[index] - expected), 1) << index;
	}
	// A clock of 2089.8 ticks a frame would be 3 ticks behind by frame 16.
	EXPECT_GE(audioPts[16] - audioPts[0], 16 * 2090 - 2);
}

TEST(CompositeOutputTest, FirstAudioFrameWithoutPtsStartsTheAudioClockAtZero)
{
	test::TemporaryDirectory directory;
	const std::string path = (directory.path() / "out.ts").string();
	{
		CompositeOutput output;
		std::string message;
		ASSERT_TRUE(output.init(outputConfig(path), tileWidth, tileHeight, 25, 1, 48000, 1, message)) << message;
		for (int index = 0; index < 5; ++index) {
			FrameHolder audio = makeAudio(2, 2048, 48000, index == 0 ? AV_NOPTS_VALUE : startPts);
			ASSERT_TRUE(output.pushAudioFrame(audio.get(), message)) << message;
			FrameHolder picture = makePicture(2 * tileWidth, 2 * tileHeight, startPts + index * 3600, index);
			ASSERT_TRUE(output.pushVideoFrame(picture.get(), message)) << message;
		}
	}
	const test::ProbedMedia media = probeMedia(path);
	ASSERT_EQ(media.error, "");
	// The encoder's priming frame would sit at -1920; every stream moves on
	// by 1920, so that nothing is negative. Later audio pts are ignored.
	const std::vector<int64_t> audioPts = media.ptsOf(1);
	ASSERT_EQ(audioPts.size(), 11u);
	for (size_t index = 0; index < audioPts.size(); ++index)
		EXPECT_EQ(audioPts[index], static_cast<int64_t>(index) * 1920) << index;
	const std::vector<int64_t> videoPts = media.ptsOf(0);
	ASSERT_EQ(videoPts.size(), 5u);
	EXPECT_EQ(videoPts.front(), startPts + 1920);
}

TEST(CompositeOutputTest, OnlyTheFirstTwoChannelsAreEncoded)
{
	test::TemporaryDirectory directory;
	const std::string stereo = (directory.path() / "stereo.ts").string();
	const std::string sixChannels = (directory.path() / "six.ts").string();
	feedAndStop(stereo, Feed{ .pictures = 10, .channels = 2 });
	feedAndStop(sixChannels, Feed{ .pictures = 10, .channels = 6 });

	const test::ProbedMedia fromStereo = probeMedia(stereo);
	const test::ProbedMedia fromSix = probeMedia(sixChannels);
	ASSERT_EQ(fromSix.error, "");
	ASSERT_EQ(fromSix.streams.size(), 2u);
	EXPECT_EQ(fromSix.streams[1].channels, 2);
	std::vector<std::string> stereoAudio, sixAudio;
	for (const test::ProbedPacket &packet : fromStereo.packets) {
		if (packet.streamIndex == 1)
			stereoAudio.push_back(packet.data);
	}
	for (const test::ProbedPacket &packet : fromSix.packets) {
		if (packet.streamIndex == 1)
			sixAudio.push_back(packet.data);
	}
	ASSERT_FALSE(stereoAudio.empty());
	// The same first two channels give the same AAC frames, byte for byte.
	EXPECT_EQ(sixAudio, stereoAudio);
}

TEST(CompositeOutputTest, InterlacedMasterGivesAnInterlacedStreamOfItsFieldOrder)
{
	test::TemporaryDirectory directory;
	for (const int32_t fieldOrder : { 2, 3 }) {
		SCOPED_TRACE("field order " + std::to_string(fieldOrder));
		const std::string path = (directory.path() / ("out" + std::to_string(fieldOrder) + ".ts")).string();
		testing::internal::CaptureStdout();
		feedAndStop(path, Feed{ .pictures = 5 }, fieldOrder);
		const std::string printed = testing::internal::GetCapturedStdout();
		EXPECT_EQ(printed, "[CompositeOutput] Encoder field_order=" + std::to_string(fieldOrder) +
					   " scan=interlaced encoder=libx264\n");
		const test::ProbedMedia media = probeMedia(path);
		ASSERT_EQ(media.error, "");
		ASSERT_EQ(media.streams.size(), 2u);
		EXPECT_EQ(media.streams[0].fieldOrder, fieldOrder == 2 ? AV_FIELD_TT : AV_FIELD_BB);
		EXPECT_EQ(media.ptsOf(0).size(), 5u);
	}
}

TEST(CompositeOutputTest, RefusedPicturesGoBackToThePool)
{
	test::TemporaryDirectory directory;
	const std::string path = (directory.path() / "out.ts").string();
	{
		CompositeOutput output;
		std::string message;
		ASSERT_TRUE(output.init(outputConfig(path), tileWidth, tileHeight, 25, 1, 48000, 1, message)) << message;
		// Larger than the output: the copy fails.
		FrameHolder oversized = makePicture(2 * tileWidth + 2, 2 * tileHeight, startPts, 0);
		// More refusals than the pool has frames: none of them may be lost.
		for (int attempt = 0; attempt < 6; ++attempt) {
			EXPECT_FALSE(output.pushVideoFrame(oversized.get(), message));
			EXPECT_EQ(message, "Failed to copy mixed frame to output queue: Invalid argument");
		}
		for (int index = 0; index < 8; ++index) {
			FrameHolder picture = makePicture(2 * tileWidth, 2 * tileHeight, startPts + index * 3600, index);
			ASSERT_TRUE(output.pushVideoFrame(picture.get(), message)) << message;
		}
	}
	const test::ProbedMedia media = probeMedia(path);
	ASSERT_EQ(media.error, "");
	EXPECT_EQ(media.ptsOf(0).size(), 8u);
}

TEST(CompositeOutputTest, UnusableAudioFailsTheOutputAndEveryLaterPush)
{
	struct Case {
		FrameHolder audio;
		const char *message;
	};
	Case cases[] = {
		{ makeAudio(1, 1024, 48000, startPts), "Master audio frame must contain at least two packed channels" },
		{ makeAudio(2, 1024, 48000, startPts, AV_SAMPLE_FMT_S16P),
		  "Master audio frame must contain at least two packed channels" },
		{ makeAudio(2, 1024, 44100, startPts), "Master audio sample rate does not match AAC encoder" },
	};
	test::TemporaryDirectory directory;
	for (Case &test : cases) {
		SCOPED_TRACE(test.message);
		const std::string path = (directory.path() / "out.ts").string();
		auto output = std::make_unique<CompositeOutput>();
		std::string message;
		ASSERT_TRUE(output->init(outputConfig(path), tileWidth, tileHeight, 25, 1, 48000, 1, message)) << message;
		ASSERT_TRUE(output->pushAudioFrame(test.audio.get(), message)) << message;
		// The output thread fails on its own; the producer learns it at its next push.
		FrameHolder picture = makePicture(2 * tileWidth, 2 * tileHeight, startPts, 0);
		ASSERT_TRUE(test::waitUntil([&] { return !output->pushVideoFrame(picture.get(), message); },
					    test::kGenerousTimeout));
		EXPECT_EQ(message, test.message);
		FrameHolder audio = makeAudio(2, 1024, 48000, startPts);
		EXPECT_FALSE(output->pushAudioFrame(audio.get(), message));
		EXPECT_EQ(message, test.message);
		EXPECT_FALSE(output->pushVideoFrame(picture.get(), message));
		EXPECT_EQ(message, test.message);
		output.reset();
		std::filesystem::remove(path);
	}
}

// The bytes of an NV12 picture's planes, row by row.
std::vector<uint8_t> pictureBytes(const AVFrame *frame)
{
	std::vector<uint8_t> bytes;
	for (int plane = 0; plane < 2; ++plane) {
		for (int y = 0; y < (plane ? frame->height / 2 : frame->height); ++y) {
			const uint8_t *row = frame->data[plane] + static_cast<ptrdiff_t>(y) * frame->linesize[plane];
			bytes.insert(bytes.end(), row, row + frame->width);
		}
	}
	return bytes;
}

// A reference kept to a pushed picture stands in for an encoder that holds
// on to the pictures it was given. The pool hands every picture out again,
// the held one included, but never with the held buffer: what the holder sees
// stays the picture it was given while twelve more are written and encoded.
TEST(CompositeOutputTest, APictureStillHeldIsNeverWrittenAgain)
{
	test::TemporaryDirectory directory;
	CompositeOutput output;
	std::string message;
	ASSERT_TRUE(output.init(outputConfig((directory.path() / "held.ts").string()), tileWidth, tileHeight, 25, 1,
				48000, 1, message))
		<< message;

	FrameHolder held = allocateFrame();
	std::vector<uint8_t> heldBytes;
	for (int index = 0; index < 13; ++index) {
		FrameHolder audio = makeAudio(2, 1920, 48000, startPts + index * 3600);
		ASSERT_TRUE(output.pushAudioFrame(audio.get(), message)) << message;
		FrameHolder picture;
		ASSERT_TRUE(output.takeVideoFrame(picture, message)) << message;
		ASSERT_TRUE(av_frame_is_writable(picture.get()));
		if (index > 0) {
			ASSERT_NE(picture->buf[0]->buffer, held->buf[0]->buffer) << "picture " << index;
		}
		FrameHolder content = makePicture(2 * tileWidth, 2 * tileHeight, startPts + index * 3600, index);
		ASSERT_GE(av_frame_copy(picture.get(), content.get()), 0);
		picture->pts = content->pts;
		if (index == 0) {
			ASSERT_GE(av_frame_ref(held.get(), picture.get()), 0);
			heldBytes = pictureBytes(held.get());
		}
		ASSERT_TRUE(output.pushVideoFrame(std::move(picture), std::chrono::steady_clock::now(), message))
			<< message;
	}
	EXPECT_EQ(pictureBytes(held.get()), heldBytes);
}

// A named pipe that the test opens for reading but does not read, filled to
// the brim: the output's first write blocks until the test drains it.
class StalledPipe
{
public:
	explicit StalledPipe(const std::filesystem::path &path)
		: path_(path)
	{
		if (mkfifo(path.c_str(), 0600) != 0)
			throw std::runtime_error("mkfifo failed");
		reader_ = open(path.c_str(), O_RDONLY | O_NONBLOCK);
		const int filler = open(path.c_str(), O_WRONLY | O_NONBLOCK);
		if (reader_ < 0 || filler < 0)
			throw std::runtime_error("cannot open the pipe");
		const std::string block(4096, '\0');
		while (write(filler, block.data(), block.size()) > 0 || errno == EINTR) {
		}
		close(filler);
	}
	~StalledPipe()
	{
		if (drainer_.joinable())
			drainer_.join();
		close(reader_);
	}

	// Reads everything from now on, until the writer closes.
	void drain()
	{
		fcntl(reader_, F_SETFL, 0);
		drainer_ = std::thread([this] {
			char buffer[65536];
			while (read(reader_, buffer, sizeof(buffer)) > 0) {
			}
		});
	}

private:
	std::filesystem::path path_;
	int reader_ = -1;
	std::thread drainer_;
};

// Whether one of this process's threads sleeps in a pipe write (the kernel
// names the function a task waits in).
bool threadBlockedInPipeWrite()
{
	for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
		if (test::readFile(task.path() / "wchan").find("pipe_write") != std::string::npos)
			return true;
	}
	return false;
}

// Whether a call made on another thread is still blocked a while later. A
// loaded machine can only make a call that would return seem blocked; the
// test proves the blocking by what the call returns once released.
template<typename Result>
bool stillBlocked(std::future<Result> &result)
{
	return result.wait_for(500ms) == std::future_status::timeout;
}

TEST(CompositeOutputTest, HeldOutputBlocksTheFifthPictureAndThe65thAudioFrameAndTakesAudioFirst)
{
	test::TemporaryDirectory directory;
	const std::filesystem::path pipePath = directory.path() / "stalled.ts";
	StalledPipe pipe(pipePath);

	auto output = std::make_unique<CompositeOutput>();
	std::string message;
	ASSERT_TRUE(output->init(outputConfig("file:" + pipePath.string()), tileWidth, tileHeight, 25, 1, 48000, 1,
				 message))
		<< message;

	// Thirty seconds of noise on their own: the muxer writes audio alone once
	// it holds more than ten seconds, and twenty seconds of AAC at its full
	// bitrate overflow every buffer on the way, so a write blocks on the full
	// pipe with the output thread holding this audio frame and no picture.
	FrameHolder longAudio = test::makeNoise(30 * 48000, 48000, startPts);
	EXPECT_FALSE(threadBlockedInPipeWrite());
	ASSERT_TRUE(output->pushAudioFrame(longAudio.get(), message)) << message;
	ASSERT_TRUE(test::waitUntil(threadBlockedInPipeWrite, test::kGenerousTimeout));

	std::vector<FrameHolder> pictures;
	for (int index = 0; index < 5; ++index)
		pictures.push_back(makePicture(2 * tileWidth, 2 * tileHeight, startPts + index * 3600, index));
	for (int index = 0; index < 4; ++index)
		ASSERT_TRUE(output->pushVideoFrame(pictures[index].get(), message)) << message;
	std::string fifthMessage;
	std::future<bool> fifth = std::async(std::launch::async, [&] {
		return output->pushVideoFrame(pictures[4].get(), fifthMessage);
	});
	EXPECT_TRUE(stillBlocked(fifth));

	// 63 good audio frames and, last in the queue, one the output refuses.
	FrameHolder audio = makeAudio(2, 1024, 48000, startPts);
	for (int index = 0; index < 63; ++index)
		ASSERT_TRUE(output->pushAudioFrame(audio.get(), message)) << message;
	FrameHolder monoAudio = makeAudio(1, 1024, 48000, startPts);
	ASSERT_TRUE(output->pushAudioFrame(monoAudio.get(), message)) << message;
	std::string sixtyFifthMessage;
	std::future<bool> sixtyFifth = std::async(std::launch::async, [&] {
		return output->pushAudioFrame(audio.get(), sixtyFifthMessage);
	});
	EXPECT_TRUE(stillBlocked(sixtyFifth));
	EXPECT_TRUE(stillBlocked(fifth));

	// Released, the output thread takes every queued audio frame before any
	// picture, so it fails on the refused one before a pool frame comes back:
	// the waiting picture gets the failure, not a pool frame.
	pipe.drain();
	ASSERT_EQ(fifth.wait_for(test::kGenerousTimeout), std::future_status::ready);
	EXPECT_FALSE(fifth.get());
	EXPECT_EQ(fifthMessage, "Master audio frame must contain at least two packed channels");
	ASSERT_EQ(sixtyFifth.wait_for(test::kGenerousTimeout), std::future_status::ready);
	if (!sixtyFifth.get()) {
		EXPECT_EQ(sixtyFifthMessage, "Master audio frame must contain at least two packed channels");
	}

	// The bound catches a destructor that hangs, not a slow one.
	const auto destroyStart = std::chrono::steady_clock::now();
	output.reset();
	EXPECT_LT(std::chrono::steady_clock::now() - destroyStart, test::kGenerousTimeout);
}

} // namespace
} // namespace tiloran
