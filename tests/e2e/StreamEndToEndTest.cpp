// Whole streams through the real programs: the server with test-pattern
// inputs starts the worker, which sends to a real SRT listener that records
// to a file; the recording is then examined with ffprobe and ffmpeg.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "capture/SourceInput.h"
#include "e2e/EndToEndSupport.h"

using namespace std::chrono_literals;
using namespace tiloran::test;
using nlohmann::json;

namespace {

constexpr int64_t videoFrameTicks = 90000 / 25;
constexpr int tileWidth = 640;
constexpr int tileHeight = 360;

// Streams for the given time from the moment the first bytes arrive, then
// stops through the API and expects an orderly end.
void streamFor(ServerSession &server, SrtRecorder &recorder, const json &request, std::chrono::seconds duration)
{
	std::string answer;
	ASSERT_TRUE(server.startStream(request, answer)) << answer << "\n" << server.errors();
	ASSERT_TRUE(recorder.waitForBytes(1, kGenerousTimeout)) << "nothing arrived at the SRT listener\n"
						    << server.output() << server.errors();
	std::this_thread::sleep_for(duration);

	stopAndExpectOrderlyEnd(server, recorder);
}

// The colour band at the top of each tile of a picture decoded from the
// middle of the recording's pictures (which begin late on a loaded machine),
// against the colours of the test inputs expected per slot.
void expectQuadrantColours(const std::filesystem::path &recording, const std::array<int, 4> &inputPerSlot)
{
	const PacketTimes times = probePacketTimes(recording);
	ASSERT_FALSE(times.videoPts.empty()) << "no pictures in the recording";
	const auto [first, last] = std::minmax_element(times.videoPts.begin(), times.videoPts.end());
	int64_t start = *first;
	if (!times.audioPts.empty())
		start = std::min(start, *std::min_element(times.audioPts.begin(), times.audioPts.end()));
	const double secondsIn = double((*first + *last) / 2 - start) / 90000;
	const std::optional<Nv12Picture> picture = decodePicture(recording, 2 * tileWidth, 2 * tileHeight, secondsIn);
	ASSERT_TRUE(picture) << "no picture decoded from the recording";
	const int band = tiloran::testInputBandHeight(tileHeight);
	for (int slot = 0; slot < 4; ++slot) {
		const tiloran::TestInputColour &expected = tiloran::kTestInputColours[inputPerSlot[slot] - 1];
		// The middle of the band, clear of its edges and of the tile's.
		const int left = (slot % 2) * tileWidth + 32;
		const int top = (slot / 2) * tileHeight + 8;
		const std::array<double, 3> colour = picture->meanColour(left, top, tileWidth - 64, band - 16);
		SCOPED_TRACE("slot " + std::to_string(slot) + " should show input " + std::to_string(inputPerSlot[slot]) +
			     " (" + expected.name + ")");
		// Compression moves a flat colour by a few steps at most.
		EXPECT_NEAR(colour[0], expected.y, 8);
		EXPECT_NEAR(colour[1], expected.u, 8);
		EXPECT_NEAR(colour[2], expected.v, 8);
	}
}

void expectRecordingFormat(const std::filesystem::path &recording)
{
	const json streams = probeStreams(recording);
	ASSERT_EQ(streams.size(), 2u) << streams.dump(2);
	EXPECT_EQ(streams[0].value("codec_name", ""), "h264");
	EXPECT_EQ(streams[0].value("width", 0), 2 * tileWidth);
	EXPECT_EQ(streams[0].value("height", 0), 2 * tileHeight);
	EXPECT_EQ(streams[0].value("r_frame_rate", ""), "25/1");
	EXPECT_EQ(streams[1].value("codec_name", ""), "aac");
	EXPECT_EQ(streams[1].value("sample_rate", ""), "48000");
	EXPECT_EQ(streams[1].value("channels", 0), 2);
}

} // namespace

TEST(StreamEndToEnd, FourInputsToAnSrtListener)
{
	ServerSession server({ "--test-inputs=4:640x360p25" });
	SrtRecorder recorder;

	std::string answer;
	ASSERT_TRUE(server.startStream(startRequest(recorder.hostPort(), { { 1, 1 }, { 2, 2 }, { 3, 3 }, { 4, 4 } }),
					answer))
		<< answer;
	ASSERT_TRUE(recorder.waitForBytes(1, kGenerousTimeout)) << server.output() << server.errors();
	const auto started = std::chrono::steady_clock::now();

	// The preview shows the whole composed picture while the stream runs.
	std::string previewType;
	std::string previewBody;
	EXPECT_TRUE(waitUntil(
		[&] {
			const httplib::Result preview = server.get("/api/preview");
			if (!preview || preview->status != 200)
				return false;
			previewType = preview->get_header_value("Content-Type");
			previewBody = preview->body;
			return true;
		},
		kGenerousTimeout));
	EXPECT_EQ(previewType, "image/jpeg");
	EXPECT_EQ(jpegSize(previewBody), std::make_optional(std::make_pair(1280, 720)));

	// Ten seconds of stream in all.
	std::this_thread::sleep_until(started + 10s);
	const double streamedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
	stopAndExpectOrderlyEnd(server, recorder);
	EXPECT_EQ(server.errors().find("[Worker]"), std::string::npos) << server.errors();

	expectRecordingFormat(recorder.recording());

	/*
	 * Every picture is one master picture, 1/25 s apart; a busy machine may
	 * skip master pictures, never repeat them, and never sends more than the
	 * time allows. The worker always takes the newest master picture, so
	 * however busy the machine, the pictures span the time streamed, less
	 * the second by which the audio may lead and the pictures still on
	 * their way at the stop. How many of the master pictures a machine
	 * keeps up with depends on its load (the suite runs other tests beside
	 * this one); a quarter is far below what a loaded two-core machine
	 * manages with the sanitizer build, and far above a worker that sends
	 * only key pictures or stalls.
	 */
	const PacketTimes times = probePacketTimes(recorder.recording());
	ASSERT_GT(times.videoPts.size(), 10u);
	ASSERT_GT(times.audioPts.size(), 10u);
	std::vector<int64_t> video = times.videoPts;
	std::sort(video.begin(), video.end());
	for (size_t index = 1; index < video.size(); ++index) {
		const int64_t step = video[index] - video[index - 1];
		ASSERT_TRUE(step > 0 && step % videoFrameTicks == 0) << "video step " << step << " at " << index;
	}
	const double frames = static_cast<double>(video.size());
	const double spannedSeconds = static_cast<double>(video.back() + videoFrameTicks - video.front()) / 90000;
	// A program several times slower than real time has more pictures still
	// on their way at the stop; a quarter of the time still finds a stall.
	EXPECT_GE(spannedSeconds, programsKeepRealTime ? streamedSeconds - 3 : streamedSeconds / 4)
		<< "of " << streamedSeconds << " s";
	EXPECT_GE(frames, 0.25 * 25 * (streamedSeconds - 1)) << "of " << streamedSeconds << " s";
	EXPECT_LE(frames, 25 * (streamedSeconds + 2)) << "of " << streamedSeconds << " s";

	/*
	 * Both streams follow the master's clock. Audio runs without gaps and may
	 * begin earlier (the master's audio is sent while the other inputs
	 * deliver their first pictures, which a loaded machine makes take
	 * seconds rather than a fraction of one); by the end of the run the two
	 * still meet within one video frame, so neither drifted. The AAC encoder
	 * holds back up to two frames, which a terminated worker never sends:
	 * the end of the audio may fall short by that much more.
	 */
	const int64_t audioFrameTicks = 1024 * 90000 / 48000;
	std::vector<int64_t> audio = times.audioPts;
	std::sort(audio.begin(), audio.end());
	for (size_t index = 1; index < audio.size(); ++index)
		ASSERT_EQ(audio[index] - audio[index - 1], audioFrameTicks) << "audio gap at " << index;
	EXPECT_GE(video.front(), audio.front() - videoFrameTicks);
	EXPECT_LE(video.front(), audio.front() + 5 * 90000);
	const int64_t videoEnd = video.back() + videoFrameTicks;
	const int64_t audioEnd = audio.back() + audioFrameTicks;
	EXPECT_LE(audioEnd - videoEnd, videoFrameTicks) << "video ends at " << videoEnd << ", audio at " << audioEnd;
	EXPECT_LE(videoEnd - audioEnd, videoFrameTicks + 2 * audioFrameTicks)
		<< "video ends at " << videoEnd << ", audio at " << audioEnd;

	expectQuadrantColours(recorder.recording(), { 1, 2, 3, 4 });
	EXPECT_EQ(dominantFrequency(recorder.recording(), 2.0, 2.0), tiloran::testInputToneFrequency(1));
}

TEST(StreamEndToEnd, Layouts)
{
	ServerSession server({ "--test-inputs=4:640x360p25" });
	{
		SCOPED_TRACE("a single source fills all four quadrants");
		SrtRecorder recorder;
		json request = startRequest(recorder.hostPort(), {});
		request.erase("quadrants");
		request["devices"] = { "test-2" };
		streamFor(server, recorder, request, 4s);
		expectRecordingFormat(recorder.recording());
		expectQuadrantColours(recorder.recording(), { 2, 2, 2, 2 });
		EXPECT_EQ(dominantFrequency(recorder.recording(), 1.0, 2.0), tiloran::testInputToneFrequency(2));
	}
	{
		SCOPED_TRACE("two sources listed out of order; the first listed is the master and fills the empty quadrants");
		SrtRecorder recorder;
		streamFor(server, recorder, startRequest(recorder.hostPort(), { { 4, 3 }, { 1, 1 } }), 4s);
		EXPECT_NE(server.output().find("[Streamer] Master quadrant: Camera 3 (4)\n"), std::string::npos);
		expectQuadrantColours(recorder.recording(), { 1, 3, 3, 3 });
		EXPECT_EQ(dominantFrequency(recorder.recording(), 1.0, 2.0), tiloran::testInputToneFrequency(3));
	}
	EXPECT_EQ(server.errors().find("[Worker]"), std::string::npos) << server.errors();
}

TEST(StreamEndToEnd, InterlacedInputs)
{
	ServerSession server({ "--test-inputs=2:640x360i50" });
	SrtRecorder recorder;
	streamFor(server, recorder, startRequest(recorder.hostPort(), { { 1, 1 }, { 2, 2 } }), 4s);

	EXPECT_NE(server.output().find(" scan=interlaced"), std::string::npos) << server.output();
	const json streams = probeStreams(recorder.recording());
	ASSERT_FALSE(streams.empty());
	EXPECT_EQ(streams[0].value("field_order", ""), "tt") << streams[0].dump(2);
	EXPECT_EQ(streams[0].value("r_frame_rate", ""), "25/1");
	expectQuadrantColours(recorder.recording(), { 1, 2, 1, 1 });
}

// The worker run directly against a stand-in configuration server, since the
// real server offers all its test inputs in one size.
TEST(StreamEndToEnd, SourceOfAnotherSizeStopsStartUp)
{
	const json document = {
		{ "audio_bitrate", 128 },
		{ "codec", "libx264" },
		{ "quadrants",
		  { { { "id", 1 }, { "name", "Big" }, { "source_id", "test-1" }, { "source_name", "Test Input 1 (640x360p25)" } },
		    { { "id", 2 }, { "name", "Small" }, { "source_id", "test-2" }, { "source_name", "Test Input 2 (320x180p25)" } } } },
		{ "srt_uri", "srt://127.0.0.1:" + std::to_string(freeUdpPort()) + "?mode=caller&latency=120" },
		{ "video_bitrate", 4 },
	};
	ConfigurationServer server(200, document.dump());
	ChildProcess worker(workerProgram(), { "start", std::to_string(server.port()) });
	const std::optional<int> exitCode = worker.waitForExit(kGenerousTimeout);
	ASSERT_TRUE(exitCode.has_value());
	EXPECT_EQ(*exitCode, 1);
	// Only the first line: a sanitizer build adds its own report at exit.
	const std::string errors = worker.standardError();
	EXPECT_EQ(errors.substr(0, errors.find('\n') + 1),
		  "[Worker] Streamer failed: Source 'Test Input 2 (320x180p25)' size does not match master source\n")
		<< errors;

	// Both inputs were opened, no capture thread was started and no output opened.
	const std::string output = worker.standardOutput();
	EXPECT_NE(output.find("[SourceCapture] Worker pixel format for quadrant 2 (Test Input 2 (320x180p25)): nv12\n"),
		  std::string::npos)
		<< output;
	EXPECT_EQ(output.find("[SourceCapture] First decoded frame"), std::string::npos) << output;
	EXPECT_EQ(output.find("[CompositeOutput]"), std::string::npos) << output;
}
