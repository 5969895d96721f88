#include "compose/QuadCompositor.h"
#include "media/FfmpegSupport.h"
#include "media/Nv12Layout.h"

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

class QuadCompositorTest : public ::testing::Test
{
protected:
	void initCompositor(int width, int height, std::array<bool, 4> real = {true, true, true, true})
	{
		std::string message;
		ASSERT_TRUE(compositor.init(width, height, quadrantsWithSources(real), message)) << message;
		for (int slot = 0; slot < 4; ++slot)
			tiles[slot] = makeTile(slot, width, height);
	}

	// Begins a picture in output and pushes the tile of every slot given.
	void pushInto(AVFrame *output, std::array<bool, 4> slots = {true, true, true, true})
	{
		std::string message;
		ASSERT_TRUE(compositor.begin(output, message)) << message;
		for (int slot = 0; slot < 4; ++slot) {
			if (slots[slot]) {
				ASSERT_TRUE(compositor.pushFrame(slot, tiles[slot].get(), message)) << message;
			}
		}
	}

	QuadCompositor compositor;
	std::array<FrameHolder, 4> tiles;
};

TEST_F(QuadCompositorTest, TilesLandAtTheirOffsetsInLumaAndChroma)
{
	const int width = 1920;
	const int height = 1080;
	initCompositor(width, height);
	FrameHolder output = makeFrame(2 * width, 2 * height);
	pushInto(output.get());
	std::string message;
	ASSERT_TRUE(compositor.compose(0, tiles[0].get(), message)) << message;

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

// What a source converts into is its place in the picture, nothing else.
TEST_F(QuadCompositorTest, SlotViewsAreTheTilesPlacesInThePicture)
{
	initCompositor(8, 4);
	FrameHolder output = makeFrame(16, 8);
	std::string message;
	ASSERT_TRUE(compositor.begin(output.get(), message)) << message;
	for (int slot = 0; slot < 4; ++slot) {
		Nv12View view;
		ASSERT_TRUE(compositor.slotView(slot, view, message)) << message;
		EXPECT_EQ(view.width, 8);
		EXPECT_EQ(view.height, 4);
		ASSERT_TRUE(copyNv12View(nv12ViewOf(tiles[slot].get()), view));
	}
	ASSERT_TRUE(compositor.compose(0, tiles[0].get(), message)) << message;
	const std::vector<uint8_t> viaViews = pictureBytes(output.get());

	FrameHolder pushed = makeFrame(16, 8);
	pushInto(pushed.get());
	ASSERT_TRUE(compositor.compose(0, tiles[0].get(), message)) << message;
	EXPECT_EQ(viaViews, pictureBytes(pushed.get()));
	EXPECT_EQ(output->data[0][8], lumaValue(1, 0, 0));
	EXPECT_EQ(output->data[1][2 * output->linesize[1] + 8], chromaValue(3, 0, 0));
}

// The master need not be the first quadrant with a source.
TEST_F(QuadCompositorTest, EmptyQuadrantsShowTheMastersTile)
{
	initCompositor(8, 4, {false, true, false, true});
	FrameHolder output = makeFrame(16, 8);
	pushInto(output.get(), {false, true, false, true});
	std::string message;
	EXPECT_FALSE(compositor.compose(2, tiles[2].get(), message));
	EXPECT_EQ(message, "Master quadrant 2 has no source");
	ASSERT_TRUE(compositor.compose(3, tiles[3].get(), message)) << message;
	for (int slot = 0; slot < 4; ++slot) {
		const int shown = slot == 1 ? 1 : 3;
		const int x = 8 * (slot % 2);
		const int y = 4 * (slot / 2);
		EXPECT_EQ(output->data[0][y * output->linesize[0] + x + 1], lumaValue(shown, 1, 0)) << slot;
		EXPECT_EQ(output->data[1][y / 2 * output->linesize[1] + x + 1], chromaValue(shown, 1, 0)) << slot;
	}
}

TEST_F(QuadCompositorTest, PictureCarriesTheMasterPicturesPropertiesAndLogsItsSlot)
{
	testing::internal::CaptureStdout();
	initCompositor(8, 4, {false, false, true, true});
	EXPECT_EQ(testing::internal::GetCapturedStdout(),
		  "[FilterCompositor] Manual NV12 layout 2x2 output=16x8 tile=8x4 master_slot=2\n");
	EXPECT_EQ(compositor.masterSlot(), 2);

	FrameHolder master = allocateFrame();
	master->pts = 1002;
	master->pkt_dts = 12;
	setFrameInterlaced(master.get(), true, true);
	FrameHolder output = makeFrame(16, 8);
	pushInto(output.get(), {false, false, true, true});
	std::string message;
	ASSERT_TRUE(compositor.compose(2, master.get(), message)) << message;
	EXPECT_EQ(output->pts, 1002);
	EXPECT_EQ(output->pkt_dts, 12);
	EXPECT_TRUE(frameIsInterlaced(output.get()));
	EXPECT_TRUE(frameIsTopFieldFirst(output.get()));
}

// A card may attach captions or a time code to every picture. The reused
// output picture must carry the latest picture's data, not one more entry
// per picture for as long as the stream runs.
TEST_F(QuadCompositorTest, SideDataOfEveryPictureIsCarriedOnceNotGathered)
{
	initCompositor(8, 4);
	FrameHolder output = makeFrame(16, 8);
	FrameHolder master = allocateFrame();
	for (int picture = 0; picture < 5; ++picture) {
		AVFrameSideData *captions = av_frame_new_side_data(master.get(), AV_FRAME_DATA_A53_CC, 3);
		ASSERT_NE(captions, nullptr);
		captions->data[0] = uint8_t(picture);
		ASSERT_GE(av_dict_set_int(&master->metadata, "picture", picture, 0), 0);
		pushInto(output.get());
		std::string message;
		ASSERT_TRUE(compositor.compose(0, master.get(), message)) << message;
		av_frame_remove_side_data(master.get(), AV_FRAME_DATA_A53_CC);
		av_dict_free(&master->metadata);
	}
	ASSERT_EQ(output->nb_side_data, 1);
	EXPECT_EQ(output->side_data[0]->type, AV_FRAME_DATA_A53_CC);
	EXPECT_EQ(output->side_data[0]->data[0], 4);
	const AVDictionaryEntry *entry = av_dict_get(output->metadata, "picture", nullptr, 0);
	ASSERT_NE(entry, nullptr);
	EXPECT_STREQ(entry->value, "4");
}

// The picture is the caller's pooled one: one of another size or format, or
// one someone else still holds, is refused rather than replaced or written.
TEST_F(QuadCompositorTest, BeginRefusesPicturesItMustNotWrite)
{
	initCompositor(8, 4);
	std::string message;
	FrameHolder wrong[] = {makeFrame(6, 4), makeFrame(16, 8, AV_PIX_FMT_YUV420P), allocateFrame()};
	for (const FrameHolder &output : wrong) {
		EXPECT_FALSE(compositor.begin(output.get(), message));
		EXPECT_EQ(message, "Output frame is not a writable NV12 picture of the output size");
	}
	FrameHolder output = makeFrame(16, 8);
	FrameHolder holder = allocateFrame();
	ASSERT_GE(av_frame_ref(holder.get(), output.get()), 0);
	const std::vector<uint8_t> before = pictureBytes(holder.get());
	EXPECT_FALSE(compositor.begin(output.get(), message));
	EXPECT_EQ(message, "Output frame is not a writable NV12 picture of the output size");
	EXPECT_FALSE(compositor.pushFrame(0, tiles[0].get(), message));
	EXPECT_EQ(message, "FilterCompositor has no picture begun");
	EXPECT_EQ(pictureBytes(holder.get()), before);
}

TEST_F(QuadCompositorTest, InitRejectsBadArguments)
{
	std::string message;
	EXPECT_FALSE(compositor.init(8, 4, quadrantsWithSources({false, false, false, false}), message));
	EXPECT_EQ(message, "FilterCompositor requires at least one real source");
	EXPECT_FALSE(compositor.init(0, 4, quadrantsWithSources({true, true, true, true}), message));
	EXPECT_EQ(message, "Invalid quadrant dimensions");
	EXPECT_FALSE(compositor.init(8, -1, quadrantsWithSources({true, true, true, true}), message));
	EXPECT_EQ(message, "Invalid quadrant dimensions");
	EXPECT_FALSE(compositor.init(5, 4, quadrantsWithSources({true, true, true, true}), message));
	EXPECT_EQ(message, "Quadrant dimensions must be even");
	EXPECT_FALSE(compositor.init(8, 3, quadrantsWithSources({true, true, true, true}), message));
	EXPECT_EQ(message, "Quadrant dimensions must be even");
	ASSERT_TRUE(compositor.init(8, 4, quadrantsWithSources({false, true, false, false}), message));
	EXPECT_FALSE(compositor.init(8, 4, quadrantsWithSources({true, true, true, true}), message));
	EXPECT_EQ(message, "FilterCompositor is already initialized");
}

TEST_F(QuadCompositorTest, PushAndComposeRejectBadCalls)
{
	std::string message;
	FrameHolder tile = makeTile(0, 8, 4);
	FrameHolder output = makeFrame(16, 8);
	EXPECT_FALSE(compositor.begin(output.get(), message));
	EXPECT_EQ(message, "FilterCompositor is not initialized");
	EXPECT_FALSE(compositor.pushFrame(0, tile.get(), message));
	EXPECT_EQ(message, "FilterCompositor is not initialized");
	EXPECT_FALSE(compositor.compose(0, tile.get(), message));
	EXPECT_EQ(message, "FilterCompositor is not initialized");

	initCompositor(8, 4);
	EXPECT_FALSE(compositor.compose(0, tile.get(), message));
	EXPECT_EQ(message, "FilterCompositor has no picture begun");
	EXPECT_FALSE(compositor.begin(nullptr, message));
	EXPECT_EQ(message, "Output frame is null");
	ASSERT_TRUE(compositor.begin(output.get(), message)) << message;
	EXPECT_FALSE(compositor.pushFrame(4, tile.get(), message));
	EXPECT_EQ(message, "Invalid quadrant index: 4");
	EXPECT_FALSE(compositor.pushFrame(-1, tile.get(), message));
	EXPECT_EQ(message, "Invalid quadrant index: -1");
	Nv12View view;
	EXPECT_FALSE(compositor.slotView(4, view, message));
	EXPECT_EQ(message, "Invalid quadrant index: 4");
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
	EXPECT_FALSE(compositor.compose(0, tile.get(), message));
	EXPECT_EQ(message, "FilterCompositor does not have all 2x2 slot frames");

	ASSERT_TRUE(compositor.pushFrame(3, tiles[3].get(), message));
	EXPECT_FALSE(compositor.compose(0, nullptr, message));
	EXPECT_EQ(message, "Master reference frame is not available");
	// A failed compose keeps the pushed tiles for the next one.
	EXPECT_TRUE(compositor.compose(0, tiles[0].get(), message)) << message;
	EXPECT_EQ(output->data[0][8], lumaValue(1, 0, 0));
	// A composed picture is the caller's again: the next needs a begin.
	EXPECT_FALSE(compositor.compose(0, tiles[0].get(), message));
	EXPECT_EQ(message, "FilterCompositor has no picture begun");
}

TEST(Nv12LayoutTest, ViewsAddressTilesAndFieldsAndCopyOnlyTheirSize)
{
	FrameHolder picture = makeFrame(16, 8);
	const Nv12View tile = nv12TileView(picture.get(), 8, 4, 8, 4);
	EXPECT_EQ(tile.data[0], picture->data[0] + 4 * picture->linesize[0] + 8);
	EXPECT_EQ(tile.data[1], picture->data[1] + 2 * picture->linesize[1] + 8);
	const Nv12View second = nv12FieldView(tile, 1);
	EXPECT_EQ(second.data[0], tile.data[0] + picture->linesize[0]);
	EXPECT_EQ(second.data[1], tile.data[1] + picture->linesize[1]);
	EXPECT_EQ(second.linesize[0], 2 * picture->linesize[0]);
	EXPECT_EQ(second.height, 2);

	FrameHolder source = makeTile(1, 8, 4);
	EXPECT_TRUE(copyNv12View(nv12ViewOf(source.get()), tile));
	EXPECT_EQ(picture->data[0][7 * picture->linesize[0] + 15], lumaValue(1, 7, 3));
	EXPECT_FALSE(copyNv12View(nv12ViewOf(source.get()), nv12TileView(picture.get(), 0, 0, 6, 4)));
	FrameHolder emptyTile = allocateFrame();
	emptyTile->width = 8;
	emptyTile->height = 4;
	EXPECT_FALSE(copyNv12View(nv12ViewOf(emptyTile.get()), tile));
}

} // namespace
} // namespace tiloran
