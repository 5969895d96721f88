// The output's rate control: the video of a recording stays near its target
// over every second, on easy pictures and on pictures made hard to encode.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "CompositeOutputTestSupport.h"
#include "output/VideoEncoderSettings.h"
#include "support/SrtListener.h"
#include "support/TestSupport.h"

namespace tiloran {
namespace {

// The inputs' size of a full-HD output: four 960x540 tiles.
constexpr int tileWidthPx = 960;
constexpr int tileHeightPx = 540;
constexpr int64_t targetBitsPerSecond = 4'000'000;
constexpr int pictures = 8 * 25;
constexpr int64_t ptsPerSecond = 90000;

// A cut every second between two still pictures of noise: each cut costs a
// picture far above the average, which only a bounded rate keeps in check.
class HardPictures
{
public:
	HardPictures()
	{
		std::minstd_rand random(34);
		for (FrameHolder &picture : patterns_) {
			picture = test::makePicture(2 * tileWidthPx, 2 * tileHeightPx, 0, 0);
			for (int plane = 0; plane < 2; ++plane) {
				for (int y = 0; y < (plane == 0 ? picture->height : picture->height / 2); ++y) {
					uint8_t *row = picture->data[plane] + static_cast<ptrdiff_t>(y) * picture->linesize[plane];
					for (int x = 0; x < picture->width; ++x)
						row[x] = static_cast<uint8_t>(random());
				}
			}
		}
	}
	const AVFrame *at(int index) const { return patterns_[(index / 25) % 2].get(); }

private:
	FrameHolder patterns_[2];
};

// The most video bytes in any one second of the recording, as bits per second.
int64_t busiestSecondBitsPerSecond(const test::ProbedMedia &media)
{
	std::vector<std::pair<int64_t, int64_t>> video;
	for (const test::ProbedPacket &packet : media.packets) {
		if (packet.streamIndex == 0)
			video.emplace_back(packet.pts, static_cast<int64_t>(packet.data.size()));
	}
	std::sort(video.begin(), video.end());
	int64_t busiest = 0;
	int64_t inWindow = 0;
	size_t first = 0;
	for (size_t last = 0; last < video.size(); ++last) {
		inWindow += video[last].second;
		while (video[last].first - video[first].first >= ptsPerSecond)
			inWindow -= video[first++].second;
		busiest = std::max(busiest, inWindow);
	}
	return busiest * 8;
}

// Streams the pictures over SRT with its default latency of 120 ms, as the
// server asks for by default, to a real listener.
int64_t recordAndMeasure(bool hard)
{
	const int port = test::freeUdpPort();
	test::SrtListener listener(port, {});
	const HardPictures hardPictures;
	{
		WorkerConfig config = test::outputConfig("srt://127.0.0.1:" + std::to_string(port) + "?mode=caller");
		config.video_bitrate = targetBitsPerSecond;
		CompositeOutput output;
		std::string message;
		testing::internal::CaptureStdout();
		const bool opened = output.init(config, tileWidthPx, tileHeightPx, 25, 1, 48000, 1, message);
		testing::internal::GetCapturedStdout();
		EXPECT_TRUE(opened) << message;
		if (!opened)
			return 0;
		for (int index = 0; index < pictures; ++index) {
			const int64_t pts = test::startPts + index * 3600;
			FrameHolder audio = test::makeAudio(2, 1920, 48000, pts);
			EXPECT_TRUE(output.pushAudioFrame(audio.get(), message)) << message;
			FrameHolder picture = test::makePicture(2 * tileWidthPx, 2 * tileHeightPx, pts, index);
			if (hard) {
				EXPECT_GE(av_frame_copy(picture.get(), hardPictures.at(index)), 0);
			}
			if (!output.pushVideoFrame(picture.get(), message)) {
				ADD_FAILURE() << message;
				return 0;
			}
		}
	}
	test::TemporaryDirectory directory;
	const std::filesystem::path received = directory.path() / "received.ts";
	test::writeFile(received, listener.received());
	const test::ProbedMedia media = test::probeMedia(received.string());
	EXPECT_EQ(media.error, "");
	return busiestSecondBitsPerSecond(media);
}

TEST(RateControlTest, TheBufferIsThreeQuartersOfTheSrtLatencyWithinTwoPicturesAndOneSecond)
{
	EXPECT_EQ(boundedVideoRate(4'000'000, std::nullopt, 25, 1), (VideoRate{ 4'000'000, 4'000'000, 4'000'000 }));
	EXPECT_EQ(boundedVideoRate(4'000'000, 500, 25, 1), (VideoRate{ 4'000'000, 4'000'000, 1'500'000 }));
	EXPECT_EQ(boundedVideoRate(4'000'000, 120, 25, 1), (VideoRate{ 4'000'000, 4'000'000, 360'000 }));
	EXPECT_EQ(boundedVideoRate(4'000'000, 5000, 25, 1), (VideoRate{ 4'000'000, 4'000'000, 4'000'000 }));
	// Two pictures of 25 per second: 80 ms, above three quarters of 40 ms.
	EXPECT_EQ(boundedVideoRate(4'000'000, 40, 25, 1), (VideoRate{ 4'000'000, 4'000'000, 320'000 }));
	// Two pictures of one per second would be two seconds: one at most.
	EXPECT_EQ(boundedVideoRate(4'000'000, 20, 1, 1), (VideoRate{ 4'000'000, 4'000'000, 4'000'000 }));
}

// Within 10 % of the target over any one second (measured: 0.98 and 0.76
// times); an unbounded encoder went to 1.26 times on the easy pictures and
// 2.8 times on the hard ones.
TEST(RateControlTest, EverySecondStaysNearTheTargetOnEasyAndOnHardPictures)
{
	for (const bool hard : { false, true }) {
		const int64_t busiest = recordAndMeasure(hard);
		std::printf("[ RATE     ] %s pictures: busiest second %.2f Mbit/s for %.2f\n", hard ? "hard" : "easy",
			    static_cast<double>(busiest) / 1e6, static_cast<double>(targetBitsPerSecond) / 1e6);
		EXPECT_LE(busiest, targetBitsPerSecond * 11 / 10) << (hard ? "hard" : "easy");
		EXPECT_GT(busiest, targetBitsPerSecond / 2) << (hard ? "hard" : "easy");
	}
}

} // namespace
} // namespace tiloran
