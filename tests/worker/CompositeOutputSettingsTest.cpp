// The output's decisions that need no encoder: which H.264 encoder, its scan,
// GOP and private options, and the URL that FFmpeg gets for the SRT URI.

#include <gtest/gtest.h>

#include "CompositeOutput.h"
#include "VideoEncoderSettings.h"

namespace tiloran {
namespace {

using Options = std::vector<std::pair<std::string, std::string>>;

// The options as name/value texts, integers marked with '#', in setting order.
Options optionTexts(const VideoEncoderSettings &settings)
{
	Options texts;
	for (const VideoEncoderOption &option : settings.options) {
		if (const std::string *text = std::get_if<std::string>(&option.value))
			texts.emplace_back(option.name, *text);
		else
			texts.emplace_back(option.name, "#" + std::to_string(std::get<int64_t>(option.value)));
	}
	return texts;
}

TEST(CompositeOutputSettingsTest, H264MeansLibx264AndOtherNamesPassUnchanged)
{
	EXPECT_EQ(videoEncoderLookupName("h264"), "libx264");
	EXPECT_EQ(videoEncoderLookupName("libx264"), "libx264");
	EXPECT_EQ(videoEncoderLookupName("h264_nvenc"), "h264_nvenc");
	EXPECT_EQ(videoEncoderLookupName("h264_qsv"), "h264_qsv");
	EXPECT_EQ(videoEncoderLookupName("H264"), "H264");
}

TEST(CompositeOutputSettingsTest, Libx264ScanFollowsTheMasterFieldOrder)
{
	struct Case {
		int32_t fieldOrder;
		bool interlaced;
		int32_t encoderFieldOrder;
		const char *x264Params;
	};
	const Case cases[] = {
		{ 0, false, 1, nullptr }, { 1, false, 1, nullptr }, { 2, true, 2, "tff=1" },
		{ 3, true, 3, "bff=1" },  { 4, true, 4, "tff=1" },  { 5, true, 5, "bff=1" },
	};
	for (const Case &test : cases) {
		SCOPED_TRACE("field order " + std::to_string(test.fieldOrder));
		const VideoEncoderSettings settings =
			chooseVideoEncoderSettings("libx264", 640, 360, 25, 1, test.fieldOrder);
		EXPECT_FALSE(settings.nvenc);
		EXPECT_EQ(settings.interlaced, test.interlaced);
		EXPECT_EQ(settings.fieldOrder, test.encoderFieldOrder);
		Options expected = { { "preset", "veryfast" }, { "tune", "zerolatency" } };
		if (test.x264Params)
			expected.emplace_back("x264-params", test.x264Params);
		EXPECT_EQ(optionTexts(settings), expected);
		ASSERT_EQ(settings.logLines.size(), 1u);
		EXPECT_EQ(settings.logLines[0], "[CompositeOutput] Encoder field_order=" +
							std::to_string(test.encoderFieldOrder) + " scan=" +
							(test.interlaced ? "interlaced" : "progressive") +
							" encoder=libx264");
	}
}

TEST(CompositeOutputSettingsTest, GopIsTwoSecondsOfFramesAndAtLeastOne)
{
	EXPECT_EQ(chooseVideoEncoderSettings("libx264", 640, 360, 30000, 1001, 1).gopSize, 59);
	EXPECT_EQ(chooseVideoEncoderSettings("libx264", 640, 360, 25, 1, 1).gopSize, 50);
	EXPECT_EQ(chooseVideoEncoderSettings("libx264", 640, 360, 1, 2, 1).gopSize, 1);
	EXPECT_EQ(chooseVideoEncoderSettings("libx264", 640, 360, 60000, 1001, 1).gopSize, 119);
	EXPECT_EQ(chooseVideoEncoderSettings("h264_qsv", 640, 360, 50, 1, 1).gopSize, 100);
}

TEST(CompositeOutputSettingsTest, NvencIsProgressiveWithIdrOnlyAndLevelAboveFullHd)
{
	const Options common = {
		{ "preset", "p1" },	   { "tune", "ull" },	      { "rc", "cbr_ld_hq" },
		{ "zerolatency", "#1" },   { "delay", "#0" },	      { "rc-lookahead", "#0" },
		{ "surfaces", "#2" },	   { "forced-idr", "#1" },    { "strict_gop", "#1" },
		{ "profile", "high" },
	};

	for (int32_t fieldOrder = 0; fieldOrder <= 5; ++fieldOrder) {
		SCOPED_TRACE("field order " + std::to_string(fieldOrder));
		const VideoEncoderSettings settings =
			chooseVideoEncoderSettings("h264_nvenc", 3840, 2160, 30000, 1001, fieldOrder);
		EXPECT_TRUE(settings.nvenc);
		EXPECT_FALSE(settings.interlaced);
		EXPECT_EQ(settings.fieldOrder, 1);
		EXPECT_EQ(settings.gopSize, 1);
		Options expected = common;
		expected.emplace_back("level", "5.2");
		EXPECT_EQ(optionTexts(settings), expected);
		EXPECT_EQ(settings.logLines,
			  (std::vector<std::string>{
				  "[CompositeOutput] Encoder field_order=1 scan=progressive encoder=h264_nvenc",
				  "[CompositeOutput] NVENC 3840x2160 gop=1 forced-idr=1 profile=high level=5.2" }));
	}

	const VideoEncoderSettings fullHd = chooseVideoEncoderSettings("h264_nvenc", 1920, 1080, 25, 1, 2);
	EXPECT_EQ(optionTexts(fullHd), common);
	EXPECT_EQ(fullHd.logLines.back(), "[CompositeOutput] NVENC 1920x1080 gop=1 forced-idr=1 profile=high level=auto");
	// One side above full HD is enough.
	EXPECT_EQ(optionTexts(chooseVideoEncoderSettings("h264_nvenc", 1922, 1080, 25, 1, 1)).back().first, "level");
	EXPECT_EQ(optionTexts(chooseVideoEncoderSettings("h264_nvenc", 1920, 1082, 25, 1, 1)).back().first, "level");
}

TEST(CompositeOutputSettingsTest, OtherEncodersAreTreatedLikeLibx264)
{
	const VideoEncoderSettings settings = chooseVideoEncoderSettings("h264_qsv", 3840, 2160, 25, 1, 3);
	EXPECT_FALSE(settings.nvenc);
	EXPECT_TRUE(settings.interlaced);
	EXPECT_EQ(settings.fieldOrder, 3);
	EXPECT_EQ(settings.gopSize, 50);
	EXPECT_EQ(optionTexts(settings),
		  (Options{ { "preset", "veryfast" }, { "tune", "zerolatency" }, { "x264-params", "bff=1" } }));
	EXPECT_EQ(settings.logLines,
		  (std::vector<std::string>{ "[CompositeOutput] Encoder field_order=3 scan=interlaced encoder=h264_qsv" }));
}

TEST(CompositeOutputSettingsTest, FfmpegGetsTheSrtLatencyInMicroseconds)
{
	EXPECT_EQ(ffmpegOutputUrl("srt://203.0.113.5:9000?mode=caller&latency=120"),
		  "srt://203.0.113.5:9000?mode=caller&latency=120000");
	EXPECT_EQ(ffmpegOutputUrl("srt://host:9000?mode=caller&streamid=cam&latency=0&passphrase=0123456789"),
		  "srt://host:9000?mode=caller&streamid=cam&latency=0&passphrase=0123456789");
	EXPECT_EQ(ffmpegOutputUrl("srt://host:9000?mode=caller&streamid=a=b&latency=2147483647&passphrase=x"),
		  "srt://host:9000?mode=caller&streamid=a=b&latency=2147483647000&passphrase=x");
	// FFmpeg reads the first parameter named "latency"; a value inside the
	// stream id that looks like one is that parameter for FFmpeg too.
	EXPECT_EQ(ffmpegOutputUrl("srt://host:9000?mode=caller&streamid=x&latency=5&latency=120"),
		  "srt://host:9000?mode=caller&streamid=x&latency=5000&latency=120");
	EXPECT_EQ(ffmpegOutputUrl("srt://host:9000?mode=caller&streamid=mylatency=9&latency=7"),
		  "srt://host:9000?mode=caller&streamid=mylatency=9&latency=7000");
	// Nothing FFmpeg would read as a number of milliseconds: left alone.
	EXPECT_EQ(ffmpegOutputUrl("srt://host:9000?mode=caller&latency=abc"), "srt://host:9000?mode=caller&latency=abc");
	EXPECT_EQ(ffmpegOutputUrl("srt://host:9000?mode=caller&latency"), "srt://host:9000?mode=caller&latency");
	EXPECT_EQ(ffmpegOutputUrl("srt://host:9000?mode=caller"), "srt://host:9000?mode=caller");
	EXPECT_EQ(ffmpegOutputUrl("srt://host:9000"), "srt://host:9000");
	EXPECT_EQ(ffmpegOutputUrl("file:/tmp/out.ts?latency=120"), "file:/tmp/out.ts?latency=120");
}

} // namespace
} // namespace tiloran
