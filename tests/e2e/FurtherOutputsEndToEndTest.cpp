// The real server and worker with test inputs and two real SRT listeners:
// the main destination and one further "outputs" destination with
// reconnection. The further one's listener goes away and comes back while
// the stream runs: the main one's recording goes on without a gap, and the
// further one's new recording begins on a key picture; both decode.

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "e2e/EndToEndSupport.h"

using namespace std::chrono_literals;
using namespace tiloran::test;

namespace {

// The further destination's link as statistics show it.
nlohmann::json furtherLink(ServerSession &server)
{
	const nlohmann::json document = stats(server);
	if (!document.is_object() || !document["outputs"].is_array() || document["outputs"].size() != 1)
		return nullptr;
	return document["outputs"][0];
}


} // namespace

TEST(FurtherOutputsEndToEnd, AFurtherDestinationReconnectsWithoutTouchingTheMainOne)
{
	ServerSession server({ "--test-inputs=2:320x180p25" });
	SrtRecorder main;
	SrtRecorder further;
	nlohmann::json request = startRequest(main.hostPort(), { { 1, 1 }, { 2, 2 } });
	// Room for a busy machine's stalls: a hole must be one the worker made.
	request["srtLatency"] = 500;
	request["outputs"] = { { { "srtHostPort", further.hostPort() },
				 { "srtLatency", 500 },
				 { "srtReconnect", true } } };
	std::string answer;
	ASSERT_TRUE(server.startStream(request, answer)) << answer;
	ASSERT_TRUE(main.waitForBytes(100 * 188, kGenerousTimeout)) << server.errors();
	ASSERT_TRUE(further.waitForBytes(100 * 188, kGenerousTimeout)) << server.errors();
	ASSERT_TRUE(waitUntil([&] { return furtherLink(server)["state"] == "connected"; }, kGenerousTimeout))
		<< stats(server).dump(2);
	EXPECT_EQ(furtherLink(server)["peer"], further.hostPort());

	further.kill();
	ASSERT_TRUE(waitUntil([&] { return furtherLink(server)["state"] == "reconnecting"; }, kGenerousTimeout))
		<< server.errors();
	// Away for two seconds: the stream and its main link go on.
	std::this_thread::sleep_for(2s);
	nlohmann::json document = stats(server);
	EXPECT_EQ(document["state"], "live");
	EXPECT_EQ(document["srt"]["state"], "connected");
	further.restart();
	ASSERT_TRUE(waitUntil([&] { return furtherLink(server)["reconnects"] == 1; }, kGenerousTimeout))
		<< server.errors();
	// Two seconds of the stream after the return.
	ASSERT_TRUE(further.waitForBytes(1000 * 1000, kGenerousTimeout)) << server.errors();
	document = stats(server);
	EXPECT_EQ(document["srt"]["reconnects"], 0);
	EXPECT_EQ(document["srt"]["outages"], 0);
	stopAndExpectOrderlyEnd(server, main);
	further.stop();
	// Where the programs do not keep real time (sanitizer builds) the worker
	// may skip master pictures to stay live, each a hole of its own making.
	// Elsewhere a skipped picture would be the further link slowing the
	// stream, which is what this test is for.
	const nlohmann::json lastExit = stats(server)["lastExit"];
	ASSERT_TRUE(lastExit.is_object() && lastExit["picturesDropped"].is_number()) << lastExit.dump();
	const int64_t skipped = programsKeepRealTime ? 0 : lastExit["picturesDropped"].get<int64_t>();

	// The main recording: one picture every 3600 ticks (25 pictures/s) from
	// its first to its last but those allowed above, and it decodes.
	const PacketTimes times = probePacketTimes(main.recording());
	ASSERT_GT(times.videoPts.size(), 100u);
	std::string holes;
	int64_t missing = 0;
	for (std::size_t index = 1; index < times.videoPts.size(); ++index)
		if (times.videoPts[index] - times.videoPts[index - 1] != 3600) {
			holes += " " + std::to_string(index) + ": " + std::to_string(times.videoPts[index - 1]) + " -> " +
				 std::to_string(times.videoPts[index]);
			// A step back or off the picture grid is never a skipped picture.
			const int64_t step = times.videoPts[index] - times.videoPts[index - 1];
			missing += step > 0 && step % 3600 == 0 ? step / 3600 - 1 : int64_t{ 1 } << 32;
		}
	EXPECT_LE(missing, skipped) << holes << " in " << times.videoPts.size() << " pictures, " << skipped
				    << " skipped by the worker in a build behind real time";
	EXPECT_EQ(videoDecodeErrors(main.recording()), "");
	// The further destination's recording after its return decodes from its
	// first picture on.
	EXPECT_EQ(firstVideoFrame(further.recording()), "1,I\n");
	EXPECT_EQ(videoDecodeErrors(further.recording()), "");
}
