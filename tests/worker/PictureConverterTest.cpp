// The conversion of captured UYVY pictures to NV12: libyuv's direct path,
// swscale's two direct steps where the build has no libyuv, and what either
// changes against swscale's bilinear scaler, which converted before.

#include "capture/PictureConverter.h"
#include "media/FfmpegSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

extern "C" {
#include <libavutil/opt.h>
}

namespace tiloran {
namespace {

FrameHolder makeFrame(int width, int height, AVPixelFormat format)
{
	FrameHolder frame = allocateFrame();
	frame->format = format;
	frame->width = width;
	frame->height = height;
	EXPECT_GE(av_frame_get_buffer(frame.get(), 32), 0);
	return frame;
}

// A UYVY picture whose samples each function gives for its position.
template<typename Luma, typename Blue, typename Red>
FrameHolder makeUyvy(int width, int height, Luma luma, Blue blue, Red red)
{
	FrameHolder frame = makeFrame(width, height, AV_PIX_FMT_UYVY422);
	for (int y = 0; y < height; ++y) {
		uint8_t *row = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
		for (int pair = 0; pair < width / 2; ++pair) {
			row[4 * pair] = blue(pair, y);
			row[4 * pair + 1] = luma(2 * pair, y);
			row[4 * pair + 2] = red(pair, y);
			row[4 * pair + 3] = luma(2 * pair + 1, y);
		}
	}
	return frame;
}

// A picture with chroma that changes smoothly in every direction in its
// upper half and, in its lower half, bands of colour a few lines tall.
FrameHolder makeTestPicture(int width, int height)
{
	const auto clamp = [](double value) { return uint8_t(std::lround(std::fmin(240, std::fmax(16, value)))); };
	return makeUyvy(
		width, height, [&](int x, int y) { return clamp(16 + 219.0 * (x + y) / (width + height)); },
		[&](int x, int y) {
			if (y >= height / 2)
				return uint8_t((y / 3) % 2 ? 200 : 60);
			return clamp(128 + 100 * std::sin(double(x) / 40) * std::cos(double(y) / 45));
		},
		[&](int x, int y) {
			if (y >= height / 2)
				return uint8_t((y / 5) % 3 * 70 + 40);
			return clamp(128 + 90 * std::cos(double(x + y) / 60));
		});
}

FrameHolder convert(const AVFrame *picture, bool useLibyuv)
{
	PictureConverter converter;
	std::string message;
	EXPECT_TRUE(converter.open(picture->width, picture->height, AV_PIX_FMT_UYVY422, message, useLibyuv))
		<< message;
	FrameHolder output = makeFrame(picture->width, picture->height, AV_PIX_FMT_NV12);
	EXPECT_TRUE(converter.convert(picture, nv12ViewOf(output.get()), message)) << message;
	return output;
}

// What the capture converted with before: swscale's bilinear scaler from
// UYVY straight to NV12.
FrameHolder convertBilinear(const AVFrame *picture)
{
	SwsContext *context = sws_getContext(picture->width, picture->height, AV_PIX_FMT_UYVY422, picture->width,
					     picture->height, AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr);
	ScaleContextHolder holder(context);
	FrameHolder output = makeFrame(picture->width, picture->height, AV_PIX_FMT_NV12);
	EXPECT_GE(sws_scale(context, picture->data, picture->linesize, 0, picture->height, output->data,
			    output->linesize),
		  0);
	return output;
}

std::vector<uint8_t> plane(const AVFrame *frame, int index)
{
	std::vector<uint8_t> bytes;
	const int rows = index ? frame->height / 2 : frame->height;
	for (int y = 0; y < rows; ++y) {
		const uint8_t *row = frame->data[index] + static_cast<ptrdiff_t>(y) * frame->linesize[index];
		bytes.insert(bytes.end(), row, row + frame->width);
	}
	return bytes;
}

double psnr(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b)
{
	double squares = 0;
	for (size_t index = 0; index < a.size(); ++index)
		squares += double(a[index] - b[index]) * (a[index] - b[index]);
	const double meanSquare = squares / double(a.size());
	return meanSquare == 0 ? INFINITY : 10 * std::log10(255.0 * 255.0 / meanSquare);
}

int largestDifference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b)
{
	int largest = 0;
	for (size_t index = 0; index < a.size(); ++index)
		largest = std::max(largest, std::abs(a[index] - b[index]));
	return largest;
}

std::vector<bool> directPaths()
{
	if (PictureConverter::hasLibyuv())
		return { true, false };
	return { false };
}

TEST(PictureConverterTest, FlatColoursKeepTheirValuesOnEveryPath)
{
	FrameHolder picture =
		makeUyvy(64, 32, [](int, int) { return 81; }, [](int, int) { return 90; }, [](int, int) { return 240; });
	for (bool useLibyuv : directPaths()) {
		FrameHolder output = convert(picture.get(), useLibyuv);
		for (uint8_t value : plane(output.get(), 0))
			ASSERT_EQ(value, 81) << "libyuv: " << useLibyuv;
		const std::vector<uint8_t> chroma = plane(output.get(), 1);
		for (size_t index = 0; index < chroma.size(); index += 2) {
			ASSERT_EQ(chroma[index], 90) << "libyuv: " << useLibyuv;
			ASSERT_EQ(chroma[index + 1], 240) << "libyuv: " << useLibyuv;
		}
	}
}

TEST(PictureConverterTest, OpenChoosesTheDirectPathForUyvyOnly)
{
	PictureConverter converter;
	std::string message;
	ASSERT_TRUE(converter.open(64, 32, AV_PIX_FMT_UYVY422, message)) << message;
	EXPECT_STREQ(converter.path(), PictureConverter::hasLibyuv() ? "libyuv" : "swscale direct");
	ASSERT_TRUE(converter.open(64, 32, AV_PIX_FMT_UYVY422, message, false)) << message;
	EXPECT_STREQ(converter.path(), "swscale direct");
	ASSERT_TRUE(converter.open(64, 32, AV_PIX_FMT_YUYV422, message)) << message;
	EXPECT_STREQ(converter.path(), "swscale bilinear");
	EXPECT_FALSE(converter.open(0, 32, AV_PIX_FMT_UYVY422, message));
	EXPECT_EQ(message, "Invalid picture size or format for conversion to NV12");

	ASSERT_TRUE(converter.open(64, 32, AV_PIX_FMT_UYVY422, message)) << message;
	FrameHolder wrongSize = makeFrame(64, 30, AV_PIX_FMT_UYVY422);
	FrameHolder output = makeFrame(64, 32, AV_PIX_FMT_NV12);
	EXPECT_FALSE(converter.convert(wrongSize.get(), nv12ViewOf(output.get()), message));
	EXPECT_EQ(message, "Source picture does not fit its conversion to NV12");
}

// Without libyuv (the Windows build) swscale's direct steps stand in: the
// same averaging of two lines, rounded the same way or at most one level off.
TEST(PictureConverterTest, SwscaleDirectStepsMatchLibyuv)
{
	if (!PictureConverter::hasLibyuv())
		GTEST_SKIP() << "this build has no libyuv";
	FrameHolder picture = makeTestPicture(1920, 1080);
	FrameHolder libyuv = convert(picture.get(), true);
	FrameHolder swscale = convert(picture.get(), false);
	EXPECT_EQ(plane(libyuv.get(), 0), plane(swscale.get(), 0));
	EXPECT_LE(largestDifference(plane(libyuv.get(), 1), plane(swscale.get(), 1)), 1);
	std::printf("[ figures  ] chroma PSNR swscale direct against libyuv: %.1f dB\n",
		    psnr(plane(libyuv.get(), 1), plane(swscale.get(), 1)));
}

// The two-line average against the four-line filter the bilinear scaler
// applied before: the same luma, chroma apart only where it changes from
// line to line.
TEST(PictureConverterTest, DirectChromaAgainstTheBilinearScaler)
{
	FrameHolder picture = makeTestPicture(1920, 1080);
	FrameHolder before = convertBilinear(picture.get());
	for (bool useLibyuv : directPaths()) {
		FrameHolder after = convert(picture.get(), useLibyuv);
		EXPECT_EQ(plane(after.get(), 0), plane(before.get(), 0));
		// The upper half changes smoothly; the lower half's bands of colour
		// a few lines tall are the worst case for a vertical filter.
		const std::vector<uint8_t> afterChroma = plane(after.get(), 1);
		const std::vector<uint8_t> beforeChroma = plane(before.get(), 1);
		const auto middle = std::ptrdiff_t(afterChroma.size() / 2);
		const double smooth = psnr({ afterChroma.begin(), afterChroma.begin() + middle },
					   { beforeChroma.begin(), beforeChroma.begin() + middle });
		const double bands = psnr({ afterChroma.begin() + middle, afterChroma.end() },
					  { beforeChroma.begin() + middle, beforeChroma.end() });
		std::printf("[ figures  ] chroma PSNR %s against swscale bilinear: %.1f dB whole, %.1f dB smooth half, "
			    "%.1f dB banded half\n",
			    useLibyuv ? "libyuv" : "swscale direct", psnr(afterChroma, beforeChroma), smooth, bands);
		EXPECT_GT(smooth, 40.0);
		EXPECT_GT(bands, 20.0);
	}
	// A flat area is the same on both.
	FrameHolder flat =
		makeUyvy(64, 32, [](int, int) { return 41; }, [](int, int) { return 240; }, [](int, int) { return 110; });
	for (bool useLibyuv : directPaths())
		EXPECT_EQ(plane(convert(flat.get(), useLibyuv).get(), 1), plane(convertBilinear(flat.get()).get(), 1));
}

// Each field of an interlaced picture is converted on its own: a chroma row
// of one field never takes anything from the other's lines.
TEST(PictureConverterTest, FieldsOfAnInterlacedPictureNeverMix)
{
	const auto fieldValue = [](int, int y) { return uint8_t(y % 2 ? 200 : 60); };
	FrameHolder picture = makeUyvy(64, 32, [](int, int y) { return uint8_t(16 + y); }, fieldValue, fieldValue);
	for (bool useLibyuv : directPaths()) {
		setFrameInterlaced(picture.get(), true, true);
		FrameHolder output = convert(picture.get(), useLibyuv);
		for (int row = 0; row < 16; ++row) {
			const uint8_t *line = output->data[1] + row * output->linesize[1];
			for (int byte = 0; byte < 64; ++byte)
				ASSERT_EQ(line[byte], row % 2 ? 200 : 60) << "row " << row << ", libyuv: " << useLibyuv;
		}
		for (int y = 0; y < 32; ++y)
			ASSERT_EQ(output->data[0][y * output->linesize[0] + 5], 16 + y);

		// Converted as one picture, the same lines average.
		setFrameInterlaced(picture.get(), false, false);
		output = convert(picture.get(), useLibyuv);
		EXPECT_EQ(output->data[1][0], 130);
	}
}

} // namespace
} // namespace tiloran
