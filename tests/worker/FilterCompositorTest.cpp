#include "FfmpegSupport.h"
#include "FilterCompositor.h"
#include "Nv12Layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace tiloran {
namespace {

FrameHolder makeFrame(int width, int height, AVPixelFormat format = AV_PIX_FMT_NV12)
{
	FrameHolder frame = allocateFrame();
	frame->format = format;
	frame->width = width;
	frame->height = height;
	EXPECT_GE(av_frame_get_buffer(frame.get(), 32), 0);
	return frame;
}

uint8_t lumaValue(int slot, int x, int y)
{
	return uint8_t(slot * 61 + x * 7 + y * 13 + 1);
}

uint8_t chromaValue(int slot, int byte, int row)
{
	return uint8_t(slot * 37 + byte * 5 + row * 11 + 3);
}

// A tile whose every byte tells its slot and position.
FrameHolder makeTile(int slot, int width, int height)
{
	FrameHolder frame = makeFrame(width, height);
	for (int y = 0; y < height; ++y)
		for (int x = 0; x < width; ++x)
			frame->data[0][y * frame->linesize[0] + x] = lumaValue(slot, x, y);
	for (int row = 0; row < (height + 1) / 2; ++row)
		for (int byte = 0; byte < (width + 1) / 2 * 2; ++byte)
			frame->data[1][row * frame->linesize[1] + byte] = chromaValue(slot, byte, row);
	return frame;
}

std::array<QuadrantConfig, 4> quadrantsWithSources(std::array<bool, 4> real)
{
	std::array<QuadrantConfig, 4> quadrants;
	for (int slot = 0; slot < 4; ++slot) {
		quadrants[slot].id = slot + 1;
		quadrants[slot].empty = !real[slot];
	}
	return quadrants;
}

std::vector<uint8_t> pictureBytes(const AVFrame *frame)
{
	std::vector<uint8_t> bytes;
	for (int y = 0; y < frame->height; ++y)
		bytes.insert(bytes.end(), frame->data[0] + y * frame->linesize[0],
			     frame->data[0] + y * frame->linesize[0] + frame->width);
	for (int row = 0; row < (frame->height + 1) / 2; ++row)
		bytes.insert(bytes.end(), frame->data[1] + row * frame->linesize[1],
			     frame->data[1] + row * frame->linesize[1] + (frame->width + 1) / 2 * 2);
	return bytes;
}

class FilterCompositorTest : public ::testing::Test
{
protected:
	void initCompositor(int width, int height, std::array<bool, 4> real = {true, true, true, true})
	{
		std::string message;
		ASSERT_TRUE(compositor.init(width, height, quadrantsWithSources(real), message)) << message;
		for (int slot = 0; slot < 4; ++slot)
			tiles[slot] = makeTile(slot, width, height);
	}

	void pushAll()
	{
		std::string message;
		for (int slot = 0; slot < 4; ++slot)
			ASSERT_TRUE(compositor.pushFrame(slot, tiles[slot].get(), message)) << message;
	}

	FrameHolder composeInto(FrameHolder output)
	{
		std::string message;
		EXPECT_TRUE(compositor.compose(output.get(), message)) << message;
		return output;
	}

	FilterCompositor compositor;
	std::array<FrameHolder, 4> tiles;
};

TEST_F(FilterCompositorTest, TilesLandAtTheirOffsetsInLumaAndChroma)
{
	const int width = 1920;
	const int height = 1080;
	initCompositor(width, height);
	pushAll();
	FrameHolder output = composeInto(makeFrame(2 * width, 2 * height));

	ASSERT_EQ(output->width, 3840);
	ASSERT_EQ(output->height, 2160);
	for (int y = 0; y < 2 * height; ++y) {
		const uint8_t *row = output->data[0] + y * output->linesize[0];
		for (int x = 0; x < 2 * width; ++x) {
			const int slot = (y / height) * 2 + x / width;
			if (row[x] != lumaValue(slot, x % width, y % height))
				FAIL() << "luma differs at " << x << "," << y;
		}
	}
	for (int row = 0; row < height; ++row) {
		const uint8_t *line = output->data[1] + row * output->linesize[1];
		for (int byte = 0; byte < 2 * width; ++byte) {
			const int slot = (row / (height / 2)) * 2 + byte / width;
			if (line[byte] != chromaValue(slot, byte % width, row % (height / 2)))
				FAIL() << "chroma differs at byte " << byte << ", row " << row;
		}
	}
	// Slot 1 starts at x=1920, y=0; slot 2 at x=0, y=1080, chroma row 540.
	EXPECT_EQ(output->data[0][1920], lumaValue(1, 0, 0));
	EXPECT_EQ(output->data[0][1080 * output->linesize[0]], lumaValue(2, 0, 0));
	EXPECT_EQ(output->data[1][540 * output->linesize[1]], chromaValue(2, 0, 0));
	EXPECT_EQ(output->data[1][540 * output->linesize[1] + 1920], chromaValue(3, 0, 0));
}

TEST_F(FilterCompositorTest, OddTileSizesLeaveNoByteUnwritten)
{
	const int width = 5;
	const int height = 3;
	initCompositor(width, height);
	pushAll();
	FrameHolder output = makeFrame(2 * width, 2 * height);
	const uint8_t sentinel = 0xEE;
	std::memset(output->data[0], sentinel, output->linesize[0] * 2 * height);
	std::memset(output->data[1], sentinel, output->linesize[1] * height);
	output = composeInto(std::move(output));

	for (int y = 0; y < 2 * height; ++y)
		for (int x = 0; x < 2 * width; ++x)
			EXPECT_EQ(output->data[0][y * output->linesize[0] + x],
				  lumaValue((y / height) * 2 + x / width, x % width, y % height))
				<< x << "," << y;
	// 10x6 pixels have 5 chroma rows of 5 pairs; the pairs shared by two
	// tiles (column 2, row 1) take the later tile's chroma.
	for (int row = 0; row < height; ++row)
		for (int byte = 0; byte < 2 * width; ++byte)
			EXPECT_NE(output->data[1][row * output->linesize[1] + byte], sentinel) << byte << "," << row;
	EXPECT_EQ(output->data[1][0], chromaValue(0, 0, 0));
	EXPECT_EQ(output->data[1][4], chromaValue(1, 0, 0));
	EXPECT_EQ(output->data[1][5], chromaValue(1, 1, 0));
	EXPECT_EQ(output->data[1][output->linesize[1] + 0], chromaValue(2, 0, 0));
	EXPECT_EQ(output->data[1][2 * output->linesize[1] + 9], chromaValue(3, 5, 1));
}

TEST_F(FilterCompositorTest, FieldModeGivesTheFrameModePicture)
{
	const int width = 16;
	const int height = 10;
	initCompositor(width, height);
	pushAll();
	const std::vector<uint8_t> framePicture = pictureBytes(composeInto(makeFrame(2 * width, 2 * height)).get());

	for (bool topFieldFirst : {true, false}) {
		FrameHolder master = makeTile(0, width, height);
		setFrameInterlaced(master.get(), true, topFieldFirst);
		std::string message;
		ASSERT_TRUE(compositor.pushFrame(0, master.get(), message)) << message;
		for (int slot = 1; slot < 4; ++slot)
			ASSERT_TRUE(compositor.pushFrame(slot, tiles[slot].get(), message)) << message;
		FrameHolder output = composeInto(makeFrame(2 * width, 2 * height));
		EXPECT_EQ(pictureBytes(output.get()), framePicture) << "top field first: " << topFieldFirst;
		EXPECT_TRUE(frameIsInterlaced(output.get()));
		EXPECT_EQ(frameIsTopFieldFirst(output.get()), topFieldFirst);
	}
}

TEST_F(FilterCompositorTest, PictureCarriesTheMasterSlotsPropertiesAndLogsItsSlot)
{
	testing::internal::CaptureStdout();
	initCompositor(8, 4, {false, false, true, true});
	EXPECT_EQ(testing::internal::GetCapturedStdout(),
		  "[FilterCompositor] Manual NV12 layout 2x2 output=16x8 tile=8x4 master_slot=2\n");

	for (int slot = 0; slot < 4; ++slot) {
		tiles[slot]->pts = 1000 + slot;
		tiles[slot]->pkt_dts = 10 + slot;
		setFrameInterlaced(tiles[slot].get(), slot == 2, true);
	}
	pushAll();
	FrameHolder output = composeInto(makeFrame(16, 8));
	EXPECT_EQ(output->pts, 1002);
	EXPECT_EQ(output->pkt_dts, 12);
	EXPECT_TRUE(frameIsInterlaced(output.get()));
	EXPECT_TRUE(frameIsTopFieldFirst(output.get()));
}


// A card may attach captions or a time code to every picture. The reused slot
// frames and the reused output picture must carry the latest picture's data,
// not one more entry per picture for as long as the stream runs.
TEST_F(FilterCompositorTest, SideDataOfEveryPictureIsCarriedOnceNotGathered)
{
	initCompositor(8, 4);
	FrameHolder output = makeFrame(16, 8);
	for (int picture = 0; picture < 5; ++picture) {
		for (int slot = 0; slot < 4; ++slot) {
			AVFrameSideData *captions =
				av_frame_new_side_data(tiles[slot].get(), AV_FRAME_DATA_A53_CC, 3);
			ASSERT_NE(captions, nullptr);
			captions->data[0] = uint8_t(picture);
			ASSERT_GE(av_dict_set_int(&tiles[slot]->metadata, "picture", picture, 0), 0);
		}
		pushAll();
		output = composeInto(std::move(output));
		for (FrameHolder &tile : tiles) {
			av_frame_remove_side_data(tile.get(), AV_FRAME_DATA_A53_CC);
			av_dict_free(&tile->metadata);
		}
	}
	ASSERT_EQ(output->nb_side_data, 1);
	EXPECT_EQ(output->side_data[0]->type, AV_FRAME_DATA_A53_CC);
	EXPECT_EQ(output->side_data[0]->data[0], 4);
	const AVDictionaryEntry *entry = av_dict_get(output->metadata, "picture", nullptr, 0);
	ASSERT_NE(entry, nullptr);
	EXPECT_STREQ(entry->value, "4");
}
TEST_F(FilterCompositorTest, WrongOutputFramesAreReallocated)
{
	initCompositor(8, 4);
	pushAll();
	FrameHolder output = composeInto(makeFrame(6, 4));
	EXPECT_EQ(output->width, 16);
	EXPECT_EQ(output->height, 8);
	EXPECT_EQ(output->format, AV_PIX_FMT_NV12);

	pushAll();
	output = composeInto(makeFrame(16, 8, AV_PIX_FMT_YUV420P));
	EXPECT_EQ(output->format, AV_PIX_FMT_NV12);
	EXPECT_EQ(output->data[0][8], lumaValue(1, 0, 0));

	pushAll();
	output = composeInto(allocateFrame());
	EXPECT_EQ(output->width, 16);
	EXPECT_EQ(output->data[0][4 * output->linesize[0]], lumaValue(2, 0, 0));
}

TEST_F(FilterCompositorTest, InitRejectsBadArguments)
{
	std::string message;
	EXPECT_FALSE(compositor.init(8, 4, quadrantsWithSources({false, false, false, false}), message));
	EXPECT_EQ(message, "FilterCompositor requires at least one real source");
	EXPECT_FALSE(compositor.init(0, 4, quadrantsWithSources({true, true, true, true}), message));
	EXPECT_EQ(message, "Invalid quadrant dimensions");
	EXPECT_FALSE(compositor.init(8, -1, quadrantsWithSources({true, true, true, true}), message));
	EXPECT_EQ(message, "Invalid quadrant dimensions");
	ASSERT_TRUE(compositor.init(8, 4, quadrantsWithSources({false, true, false, false}), message));
	EXPECT_FALSE(compositor.init(8, 4, quadrantsWithSources({true, true, true, true}), message));
	EXPECT_EQ(message, "FilterCompositor is already initialized");
}

TEST_F(FilterCompositorTest, PushAndComposeRejectBadCalls)
{
	std::string message;
	FrameHolder tile = makeTile(0, 8, 4);
	EXPECT_FALSE(compositor.pushFrame(0, tile.get(), message));
	EXPECT_EQ(message, "FilterCompositor is not initialized");
	FrameHolder output = makeFrame(16, 8);
	EXPECT_FALSE(compositor.compose(output.get(), message));
	EXPECT_EQ(message, "FilterCompositor is not initialized");

	initCompositor(8, 4);
	EXPECT_FALSE(compositor.pushFrame(4, tile.get(), message));
	EXPECT_EQ(message, "Invalid quadrant index: 4");
	EXPECT_FALSE(compositor.pushFrame(-1, tile.get(), message));
	EXPECT_EQ(message, "Invalid quadrant index: -1");
	EXPECT_FALSE(compositor.pushFrame(3, nullptr, message));
	EXPECT_EQ(message, "No frame to push for quadrant 3");
	FrameHolder planar = makeFrame(8, 4, AV_PIX_FMT_YUV420P);
	EXPECT_FALSE(compositor.pushFrame(0, planar.get(), message));
	EXPECT_EQ(message, "Compositor slot expects NV12 frame");
	FrameHolder wrongSize = makeFrame(8, 6);
	EXPECT_FALSE(compositor.pushFrame(0, wrongSize.get(), message));
	EXPECT_EQ(message, "Compositor slot frame size does not match tile size");

	// Three distinct slots, one of them twice, are not a picture; failed
	// pushes above did not count either.
	ASSERT_TRUE(compositor.pushFrame(0, tiles[0].get(), message));
	ASSERT_TRUE(compositor.pushFrame(1, tiles[1].get(), message));
	ASSERT_TRUE(compositor.pushFrame(1, tiles[1].get(), message));
	ASSERT_TRUE(compositor.pushFrame(2, tiles[2].get(), message));
	EXPECT_FALSE(compositor.compose(output.get(), message));
	EXPECT_EQ(message, "FilterCompositor does not have all 2x2 slot frames");

	ASSERT_TRUE(compositor.pushFrame(3, tiles[3].get(), message));
	EXPECT_FALSE(compositor.compose(nullptr, message));
	EXPECT_EQ(message, "Output frame is null");
	// A failed compose keeps the pushed tiles for the next one.
	EXPECT_TRUE(compositor.compose(output.get(), message)) << message;
	EXPECT_EQ(output->data[0][8], lumaValue(1, 0, 0));
	EXPECT_FALSE(compositor.compose(output.get(), message));
	EXPECT_EQ(message, "FilterCompositor does not have all 2x2 slot frames");
}

TEST(Nv12LayoutTest, RejectsBadRequests)
{
	FrameHolder master = makeTile(0, 4, 2);
	FrameHolder target = makeFrame(8, 4);
	std::array<FrameHolder, 4> tiles;
	for (int slot = 0; slot < 4; ++slot)
		tiles[slot] = makeTile(slot, 4, 2);
	const auto request = [&] {
		Nv12LayoutRequest layout;
		layout.tileWidth = 4;
		layout.tileHeight = 2;
		for (int slot = 0; slot < 4; ++slot)
			layout.slotFrames[slot] = tiles[slot].get();
		layout.masterFrame = master.get();
		layout.targetFrame = target.get();
		return layout;
	};
	const auto failure = [](const Nv12LayoutRequest &layout) {
		std::string message;
		EXPECT_FALSE(layoutNv12Tiles(layout, message));
		return message;
	};

	std::string message;
	ASSERT_TRUE(layoutNv12Tiles(request(), message)) << message;

	Nv12LayoutRequest layout = request();
	layout.masterFrame = nullptr;
	EXPECT_EQ(failure(layout), "Master frame is required for layout composition");
	layout = request();
	layout.targetFrame = nullptr;
	EXPECT_EQ(failure(layout), "Output frame is null");
	layout = request();
	layout.columns = 3;
	EXPECT_EQ(failure(layout), "NV12 compositor slot count exceeds maximum");
	layout = request();
	layout.tileHeight = 0;
	EXPECT_EQ(failure(layout), "Invalid tile size for layout composition");
	FrameHolder planarTarget = makeFrame(8, 4, AV_PIX_FMT_YUV420P);
	layout = request();
	layout.targetFrame = planarTarget.get();
	EXPECT_EQ(failure(layout), "Output frame must be NV12");
	FrameHolder largeTarget = makeFrame(8, 6);
	layout = request();
	layout.targetFrame = largeTarget.get();
	EXPECT_EQ(failure(layout), "Output frame size does not match layout grid size");
	layout = request();
	layout.slotFrames[2] = nullptr;
	EXPECT_EQ(failure(layout), "Missing frame for layout slot 2");
	FrameHolder planarTile = makeFrame(4, 2, AV_PIX_FMT_YUV420P);
	layout = request();
	layout.slotFrames[1] = planarTile.get();
	EXPECT_EQ(failure(layout), "Layout slot frame is not NV12");
	FrameHolder wideTile = makeFrame(6, 2);
	layout = request();
	layout.slotFrames[3] = wideTile.get();
	EXPECT_EQ(failure(layout), "Layout slot frame size does not match tile size");
	// A tile whose planes are missing cannot be copied.
	FrameHolder emptyTile = allocateFrame();
	emptyTile->format = AV_PIX_FMT_NV12;
	emptyTile->width = 4;
	emptyTile->height = 2;
	layout = request();
	layout.slotFrames[1] = emptyTile.get();
	EXPECT_EQ(failure(layout), "Failed to blit NV12 tile at slot 1");
}

} // namespace
} // namespace tiloran
