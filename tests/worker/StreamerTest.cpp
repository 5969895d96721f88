// The streamer in-process on test-pattern inputs that end after a given
// number of pictures, writing its MPEG-TS output to a file instead of SRT.

#include <algorithm>
#include <map>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "capture/SourceInput.h"
#include "e2e/EndToEndSupport.h"
#include "pipeline/Streamer.h"

using namespace tiloran;
using namespace tiloran::test;
using nlohmann::json;

namespace {

// Opens test patterns; the quadrants listed end after that many pictures.
SourceInputOpener endingInputs(std::map<int, int64_t> frameLimits)
{
	return [frameLimits](const QuadrantConfig &quadrant, int32_t, InputFormatContextHolder &input,
			     std::string &message) {
		TestPattern pattern;
		if (!parseTestInputName(quadrant.source_name, pattern, message))
			return false;
		const auto limit = frameLimits.find(quadrant.id);
		if (limit != frameLimits.end())
			pattern.frameLimit = limit->second;
		return openTestPatternInput(pattern, quadrant.source_name, input, message);
	};
}

json documentFor(const std::filesystem::path &output)
{
	return {
		{ "audio_bitrate", 128 },
		{ "codec", "libx264" },
		{ "quadrants",
		  { { { "id", 1 }, { "name", "One" }, { "source_id", "test-1" }, { "source_name", "Test Input 1 (320x180p25)" } },
		    { { "id", 2 }, { "name", "Two" }, { "source_id", "test-2" }, { "source_name", "Test Input 2 (320x180p25)" } } } },
		{ "srt_uri", output.string() },
		{ "video_bitrate", 2 },
	};
}

} // namespace

// Without this the stream would wait for the broken source's first picture for ever.
TEST(Streamer, SourceFailingBeforeItsFirstPictureEndsTheRun)
{
	TemporaryDirectory directory;
	Streamer streamer(endingInputs({ { 2, 0 } }));
	std::string message;
	testing::internal::CaptureStdout();
	const bool result = streamer.run(documentFor(directory.path() / "out.ts"), message);
	const std::string output = testing::internal::GetCapturedStdout();
	EXPECT_FALSE(result);
	EXPECT_EQ(message, "Failed to read DeckLink input frame for source 'Test Input 2 (320x180p25)': End of file");
	// No preview directory in the document: no preview.
	EXPECT_EQ(output.find("Preview"), std::string::npos) << output;
}

TEST(Streamer, EndingMasterEndsTheRunAfterItsLastPicture)
{
	TemporaryDirectory directory;
	const std::filesystem::path file = directory.path() / "out.ts";
	const std::filesystem::path preview = directory.path() / "preview";
	json document = documentFor(file);
	document["preview_path"] = preview.string();

	Streamer streamer(endingInputs({ { 1, 40 } }));
	std::string message;
	testing::internal::CaptureStdout();
	EXPECT_FALSE(streamer.run(document, message));
	const std::string output = testing::internal::GetCapturedStdout();
	EXPECT_EQ(message, "Failed to read DeckLink input frame for source 'Test Input 1 (320x180p25)': End of file");

	EXPECT_NE(output.find("[Streamer] Starting 2x2 (4 slots) nv12 H.264 stream\n"
			      "[Streamer] Real sources: 2\n"
			      "[Streamer] Master quadrant: One (1)\n"
			      "[Streamer] Master source: Test Input 1 (320x180p25)\n"
			      "[Streamer] Codec: libx264\n"
			      "[Streamer] Video bitrate: 2000000\n"
			      "[Streamer] SRT URI: " +
			      file.string() + "\n"),
		  std::string::npos)
		<< output;
	EXPECT_NE(output.find("[Streamer] Output FPS follows master source: 25/1\n"
			      "[Streamer] Output field order follows master source: 1\n"
			      "[Streamer] Output audio follows master source: 48000 Hz, stereo AAC\n"),
		  std::string::npos)
		<< output;
	EXPECT_NE(output.find("[Streamer] Preview writer enabled: " + preview.string() + " using pixel format: nv12\n"),
		  std::string::npos)
		<< output;

	// The output was closed in order: a complete file of the composed pictures.
	const json streams = probeStreams(file);
	ASSERT_EQ(streams.size(), 2u);
	EXPECT_EQ(streams[0].value("width", 0), 640);
	EXPECT_EQ(streams[0].value("height", 0), 360);
	EXPECT_EQ(streams[1].value("codec_name", ""), "aac");

	// At most one output picture per master picture, none repeated.
	PacketTimes times = probePacketTimes(file);
	ASSERT_FALSE(times.videoPts.empty());
	EXPECT_LE(times.videoPts.size(), 40u);
	std::sort(times.videoPts.begin(), times.videoPts.end());
	for (size_t index = 1; index < times.videoPts.size(); ++index) {
		const int64_t step = times.videoPts[index] - times.videoPts[index - 1];
		EXPECT_TRUE(step > 0 && step % 3600 == 0) << step;
	}

	EXPECT_EQ(jpegSize(readFile(preview / "preview.jpg")), std::make_optional(std::make_pair(640, 360)));
}
