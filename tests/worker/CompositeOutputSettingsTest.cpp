// The output's decisions that need no encoder: which H.264 encoder, its scan,
// GOP and private options, and the URL that FFmpeg gets for the SRT URI.

#include <gtest/gtest.h>

#include "config/SrtSettings.h"
#include "output/CompositeOutput.h"
#include "output/VideoEncoderSettings.h"

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
		Options expected = { { "preset", "veryfast" }, { "tune", "zerolatency" }, { "forced-idr", "#1" } };
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

// Quick Sync in its constant-bitrate mode with low-delay rate control, the
// option names those of FFmpeg 5.1's h264_qsv.
TEST(CompositeOutputSettingsTest, QsvKeepsEveryPictureToTheBufferWithoutLookingAhead)
{
	const VideoEncoderSettings settings = chooseVideoEncoderSettings("h264_qsv", 1920, 1080, 25, 1, 1);
	EXPECT_TRUE(settings.qsv);
	EXPECT_FALSE(settings.nvenc);
	EXPECT_EQ(settings.gopSize, 50);
	EXPECT_EQ(optionTexts(settings), (Options{ { "preset", "veryfast" },
						   { "look_ahead", "#0" },
						   { "low_delay_brc", "#1" },
						   { "async_depth", "#1" },
						   { "forced_idr", "#1" } }));
}

TEST(CompositeOutputSettingsTest, OtherEncodersAreTreatedLikeLibx264)
{
	const VideoEncoderSettings settings = chooseVideoEncoderSettings("h264_vaapi", 3840, 2160, 25, 1, 3);
	EXPECT_FALSE(settings.nvenc);
	EXPECT_FALSE(settings.qsv);
	EXPECT_TRUE(settings.interlaced);
	EXPECT_EQ(settings.fieldOrder, 3);
	EXPECT_EQ(settings.gopSize, 50);
	EXPECT_EQ(optionTexts(settings),
		  (Options{ { "preset", "veryfast" }, { "tune", "zerolatency" }, { "forced-idr", "#1" }, { "x264-params", "bff=1" } }));
	EXPECT_EQ(settings.logLines,
		  (std::vector<std::string>{ "[CompositeOutput] Encoder field_order=3 scan=interlaced encoder=h264_vaapi" }));
}

TEST(CompositeOutputSettingsTest, SrtSettingsFromTheUriAndFromTheDocument)
{
	SrtSettings settings;
	std::string message;
	ASSERT_TRUE(srtSettingsFromUri("srt://203.0.113.5:9000?mode=caller&streamid=cam&latency=800&passphrase=0123456789",
				       settings, message));
	EXPECT_EQ(settings.host, "203.0.113.5");
	EXPECT_EQ(settings.port, 9000);
	EXPECT_EQ(settings.streamId, "cam");
	EXPECT_EQ(settings.latencyMs, 800);
	EXPECT_EQ(settings.passphrase, "0123456789");
	EXPECT_FALSE(settings.reconnect);

	// The first parameter of a name counts; a URI cannot carry an '&'
	// inside a value.
	settings = {};
	ASSERT_TRUE(srtSettingsFromUri("srt://[::1]:9000?mode=caller&latency=5&latency=120&streamid=a=b", settings, message));
	EXPECT_EQ(settings.host, "::1");
	EXPECT_EQ(settings.latencyMs, 5);
	EXPECT_EQ(settings.streamId, "a=b");
	settings = {};
	ASSERT_TRUE(srtSettingsFromUri("srt://host:9000", settings, message));
	EXPECT_EQ(settings.latencyMs, 120);
	for (const char *uri : { "srt://host?mode=caller", "srt://:9000", "srt://host:0", "file:/tmp/out.ts" }) {
		EXPECT_FALSE(srtSettingsFromUri(uri, settings, message)) << uri;
		EXPECT_EQ(message, "SRT URI has no host and port");
	}
	EXPECT_FALSE(srtSettingsFromUri("srt://host:9000?latency=abc", settings, message));
	EXPECT_EQ(message, "SRT URI has an invalid latency");

	// The document's "srt" object gives the values as the request had them,
	// whatever the URI made of them.
	const nlohmann::json document = {
		{ "srt",
		  { { "host_port", "receiver.example:9001" },
		    { "streamid", "#!::r=live/feed,m=publish&x=1" },
		    { "passphrase", "pass&word=1234" },
		    { "latency", 250 } } },
		{ "srt_reconnect", true },
	};
	settings = {};
	ASSERT_TRUE(srtSettingsFromDocument(
		document, "srt://receiver.example:9001?mode=caller&streamid=#!::r=live/feed,m=publish&x=1&latency=250", settings,
		message));
	EXPECT_EQ(settings.host, "receiver.example");
	EXPECT_EQ(settings.port, 9001);
	EXPECT_EQ(settings.streamId, "#!::r=live/feed,m=publish&x=1");
	EXPECT_EQ(settings.passphrase, "pass&word=1234");
	EXPECT_EQ(settings.latencyMs, 250);
	EXPECT_TRUE(settings.reconnect);
}

} // namespace
} // namespace tiloran
