// The H.264 encoder on its own: a new rate taken between pictures.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "media/Nv12Layout.h"
#include "output/VideoEncoder.h"

extern "C" {
#include <libavutil/log.h>
}

namespace tiloran {
namespace {

constexpr int width = 640;
constexpr int height = 360;

// A texture of noise moving two pixels a picture, under faint noise of its
// own in every picture: what takes more than either rate below, and still
// moves rather than changes scene.
FrameHolder movingNoise(const std::vector<uint8_t> &texture, std::minstd_rand &random, int index)
{
	FrameHolder picture = allocateFrame();
	EXPECT_GE(allocateNv12Buffer(picture.get(), width, height), 0);
	for (int plane = 0; plane < 2; ++plane) {
		for (int y = 0; y < (plane == 0 ? height : height / 2); ++y) {
			uint8_t *row = picture->data[plane] + static_cast<ptrdiff_t>(y) * picture->linesize[plane];
			for (int x = 0; x < width; ++x) {
				const size_t at = (static_cast<size_t>(y) * 2 * width + x + 2 * index) % texture.size();
				row[x] = static_cast<uint8_t>(texture[at] / 2 + 64 + random() % 8);
			}
		}
	}
	picture->pts = int64_t{ index } * 3600;
	return picture;
}

// FFmpeg's log lines that say x264 refused a ceiling below its average.
std::atomic<int> ceilingsRefused{ 0 };

void countRefusedCeilings(void *, int, const char *format, va_list arguments)
{
	char line[512];
	std::vsnprintf(line, sizeof line, format, arguments);
	if (std::strstr(line, "max bitrate less than average bitrate"))
		++ceilingsRefused;
}

struct Packet {
	int64_t size;
	bool key;
};

// libx264 takes a lower rate from the next pictures on, within its picture
// group: no key picture, no new encoder, no ceiling below the average in
// force. (It does so only with a ceiling and a buffer: a new average alone it
// ignores.)
TEST(VideoEncoderTest, Libx264TakesANewRateWithinThePictureGroup)
{
	av_log_set_callback(countRefusedCeilings);
	VideoEncoder encoder;
	std::string message;
	testing::internal::CaptureStdout();
	const bool opened = encoder.open("h264", { width, height, { 25, 1 }, 1 },
					  { 4'000'000, 4'000'000, 4'000'000 }, message);
	testing::internal::GetCapturedStdout();
	ASSERT_TRUE(opened) << message;
	EXPECT_EQ(encoder.name(), "libx264");

	std::vector<Packet> packets;
	const PacketHandler keep = [&packets](AVPacket *packet, std::string &) {
		packets.push_back({ packet->size, (packet->flags & AV_PKT_FLAG_KEY) != 0 });
		return true;
	};
	// Half a picture group at each rate: two seconds of 25 pictures.
	std::minstd_rand random(29);
	std::vector<uint8_t> texture(static_cast<size_t>(2 * width) * height);
	for (uint8_t &value : texture)
		value = static_cast<uint8_t>(random());
	constexpr int picturesPerRate = 25;
	for (int index = 0; index < 2 * picturesPerRate; ++index) {
		if (index == picturesPerRate)
			encoder.setRate({ 400'000, 400'000, 400'000 });
		FrameHolder picture = movingNoise(texture, random, index);
		ASSERT_TRUE(encoder.encode(picture.get(), keep, message)) << message;
	}
	ASSERT_TRUE(encoder.encode(nullptr, keep, message)) << message;
	av_log_set_callback(av_log_default_callback);
	ASSERT_EQ(packets.size(), size_t{ 2 * picturesPerRate });
	EXPECT_EQ(ceilingsRefused, 0);

	// The last ten pictures at each rate, once the encoder has settled.
	int64_t before = 0;
	int64_t after = 0;
	for (int index = picturesPerRate - 10; index < picturesPerRate; ++index) {
		before += packets[index].size;
		after += packets[picturesPerRate + index].size;
	}
	EXPECT_LT(after, before / 3) << before << " bytes before, " << after << " after";
	EXPECT_TRUE(packets.front().key);
	for (size_t index = 1; index < packets.size(); ++index)
		EXPECT_FALSE(packets[index].key) << index;
}

} // namespace
} // namespace tiloran
