// Opening the inputs behind quadrants: capture cards by name, test patterns
// by their name "Test Input K (MODE)".

#include <gtest/gtest.h>

extern "C" {
#include <libavdevice/avdevice.h>
}

#include "capture/CaptureSource.h"
#include "capture/CaptureSourceFactory.h"
#include "capture/SourceCapture.h"
#include "capture/SourceInput.h"
#include "media/FfmpegSupport.h"
#include "support/TestSupport.h"

namespace tiloran {
namespace {

QuadrantConfig quadrantFor(const std::string &sourceId, const std::string &sourceName)
{
	QuadrantConfig quadrant;
	quadrant.id = 1;
	quadrant.name = "Quadrant 1";
	quadrant.source_id = sourceId;
	quadrant.source_name = sourceName;
	quadrant.empty = false;
	return quadrant;
}

std::string openError(const std::string &sourceId, const std::string &sourceName)
{
	SourceCapture source;
	std::string message;
	EXPECT_FALSE(source.open(quadrantFor(sourceId, sourceName), true, message));
	return message;
}

TEST(SourceCaptureInputTest, CardsThroughFfmpegNeedItsDeckLinkDevice)
{
	test::ScopedEnvironment capture("TILORAN_CAPTURE", "ffmpeg");
	EXPECT_EQ(openError("decklink-1", "DeckLink Duo (1)"),
		  "FFmpeg DeckLink input format is not available");
	// Only "test-" ids are test patterns; anything else is a card.
	EXPECT_EQ(openError("decklink-2", "Test Input 1 (640x360p25)"),
		  "FFmpeg DeckLink input format is not available");
	EXPECT_EQ(openError("", "Test Input 1 (640x360p25)"),
		  "FFmpeg DeckLink input format is not available");
}

TEST(SourceCaptureInputTest, CardsGoThroughTheDriverWhereFfmpegHasNoDeckLinkDevice)
{
	avdevice_register_all();
	const bool ffmpegHasDeckLink = av_find_input_format("decklink") != nullptr;
	const std::string missing = (test::libraryDirectory() / "no-such-driver.so").string();
	test::ScopedEnvironment library("TILORAN_DECKLINK_LIBRARY", missing);
	{
		test::ScopedEnvironment capture("TILORAN_CAPTURE", std::nullopt);
		QuadrantConfig quadrant = quadrantFor("decklink-1", "DeckLink Duo (1)");
		EXPECT_EQ(captureKindFor(quadrant), ffmpegHasDeckLink ? CaptureKind::FfmpegDevice : CaptureKind::Driver);
		quadrant.source_id = "test-1";
		EXPECT_EQ(captureKindFor(quadrant), CaptureKind::TestPattern);
	}
	test::ScopedEnvironment capture("TILORAN_CAPTURE", "driver");
	EXPECT_EQ(openError("decklink-1", "DeckLink Duo (1)"), "DeckLink driver library is not available: " + missing);
	// Test patterns are never cards.
	EXPECT_EQ(captureKindFor(quadrantFor("test-1", "Test Input 1 (640x360p25)")), CaptureKind::TestPattern);
}

TEST(SourceCaptureInputTest, MalformedTestInputNamesAreRefusedNamingTheSource)
{
	const std::string expected = "': expected \"Test Input K (MODE)\" with K from 1 to 8 and MODE "
				     "such as 1920x1080i50 or 640x360p25";
	for (const std::string name : { "Test Input 1", "Test Input 9 (640x360p25)",
					"Test Input 0 (640x360p25)", "Test Input 01 (640x360p25)",
					"Test Input (640x360p25)", "test input 1 (640x360p25)",
					"Test Input 1 (640x360p25) ", "DeckLink Duo (1)", "" })
		EXPECT_EQ(openError("test-1", name), "Malformed test input name '" + name + expected);

	const std::string modes = "': expected WIDTHxHEIGHT (even numbers from 16 to 8192) followed "
				  "by p (frames per second) or i (fields per second) and a whole rate "
				  "from 1 to 120, 23.98, 29.97 or 59.94";
	for (const std::string mode : { "640x360p121", "640x360p0", "640x360i29.98", "641x360p25",
					"640x361p25", "14x360p25", "640x8194p25", "640x360",
					"640x360p", "640x360p25.0", "640x360p-25", "x360p25",
					"640xp25", "640x360q25", "i50", "" }) {
		const std::string name = "Test Input 1 (" + mode + ")";
		EXPECT_EQ(openError("test-1", name),
			  "Unknown test input mode '" + mode + "' of source '" + name + modes);
	}
}

TEST(SourceCaptureInputTest, ModesGiveFramesPerSecond)
{
	TestInputMode mode;
	ASSERT_TRUE(parseTestInputMode("1920x1080i50", mode));
	EXPECT_EQ(mode.width, 1920);
	EXPECT_EQ(mode.height, 1080);
	EXPECT_TRUE(mode.interlaced);
	EXPECT_EQ(av_cmp_q(mode.frameRate, AVRational{ 25, 1 }), 0);

	ASSERT_TRUE(parseTestInputMode("1920x1080i59.94", mode));
	EXPECT_EQ(av_cmp_q(mode.frameRate, AVRational{ 30000, 1001 }), 0);
	ASSERT_TRUE(parseTestInputMode("1280x720p59.94", mode));
	EXPECT_FALSE(mode.interlaced);
	EXPECT_EQ(av_cmp_q(mode.frameRate, AVRational{ 60000, 1001 }), 0);
	ASSERT_TRUE(parseTestInputMode("3840x2160p23.98", mode));
	EXPECT_EQ(av_cmp_q(mode.frameRate, AVRational{ 24000, 1001 }), 0);
	// Every mode the server offers opens: odd field rates give half frames.
	ASSERT_TRUE(parseTestInputMode("16x8192i25", mode));
	EXPECT_EQ(av_cmp_q(mode.frameRate, AVRational{ 25, 2 }), 0);
	ASSERT_TRUE(parseTestInputMode("0640x0360p120", mode));
	EXPECT_EQ(mode.width, 640);
	EXPECT_EQ(av_cmp_q(mode.frameRate, AVRational{ 120, 1 }), 0);
}

// A card reports the field order and the real base rate but no average rate;
// the test pattern's stream must look the same after the stream analysis.
TEST(SourceCaptureInputTest, TestPatternStreamsLookLikeACard)
{
	struct Case {
		std::string name;
		AVRational timeBase;
		AVRational rate;
		int fieldOrder;
	};
	for (const Case &entry : { Case{ "Test Input 1 (640x360p29.97)", { 1001, 30000 }, { 30000, 1001 }, AV_FIELD_PROGRESSIVE },
				   Case{ "Test Input 2 (640x360i50)", { 1, 25 }, { 25, 1 }, AV_FIELD_TT },
				   Case{ "Test Input 3 (160x90i25)", { 1, 25 }, { 25, 2 }, AV_FIELD_TT } }) {
		SCOPED_TRACE(entry.name);
		InputFormatContextHolder input;
		std::string message;
		ASSERT_TRUE(openSourceInput(quadrantFor("test-1", entry.name), 2, input, message)) << message;
		ASSERT_EQ(input->nb_streams, 2u);

		const AVStream *video = input->streams[0];
		EXPECT_EQ(video->codecpar->codec_type, AVMEDIA_TYPE_VIDEO);
		EXPECT_EQ(video->codecpar->codec_id, AV_CODEC_ID_RAWVIDEO);
		EXPECT_EQ(video->codecpar->codec_tag, MKTAG('U', 'Y', 'V', 'Y'));
		EXPECT_EQ(video->codecpar->format, AV_PIX_FMT_UYVY422);
		EXPECT_EQ(video->codecpar->field_order, entry.fieldOrder);
		EXPECT_EQ(video->avg_frame_rate.num, 0);
		EXPECT_EQ(video->avg_frame_rate.den, 0);
		EXPECT_EQ(av_cmp_q(video->r_frame_rate, entry.rate), 0);
		EXPECT_EQ(av_cmp_q(video->time_base, entry.timeBase), 0);

		const AVStream *audio = input->streams[1];
		EXPECT_EQ(audio->codecpar->codec_type, AVMEDIA_TYPE_AUDIO);
		EXPECT_EQ(audio->codecpar->codec_id, AV_CODEC_ID_PCM_S16LE);
		EXPECT_EQ(audio->codecpar->sample_rate, 48000);
		EXPECT_EQ(audio->codecpar->ch_layout.nb_channels, 16);
	}
}

} // namespace
} // namespace tiloran
