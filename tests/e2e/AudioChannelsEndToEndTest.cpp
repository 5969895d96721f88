// Which of the master's embedded audio channels go out, through the real
// programs: the server with a test input and a simulated card
// (tests/fake_decklink/, captured through the driver's library), its worker
// and a real SRT listener. Each pair of an input's channels carries a tone of
// its own, so the recording's frequency tells which pair was sent.

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "capture/SourceInput.h"
#include "e2e/EndToEndSupport.h"

using namespace std::chrono_literals;
using namespace tiloran::test;
using nlohmann::json;

namespace {

// A card of colour 3 (750 Hz on channels 1 and 2, 1000 Hz more on each
// further pair) with 8 channels, in the test input's mode.
const char *const kCard = "name=Card 1,peid=11,mode=640x360p25,colour=3,audio-channels=8";

class AudioChannelsEndToEnd : public testing::Test
{
protected:
	ScopedEnvironment library_{ "TILORAN_DECKLINK_LIBRARY",
				    (libraryDirectory() / "libtiloran_fake_decklink.so").string() };
	ScopedEnvironment devices_{ "TILORAN_FAKE_DECKLINK_DEVICES", kCard };
	ScopedEnvironment capture_{ "TILORAN_CAPTURE", std::nullopt };
};

json masterOnly(const std::string &hostPort, const std::string &source, const json &audioChannels)
{
	json request = startRequest(hostPort, {});
	request["quadrants"] = json::array({ { { "id", 1 }, { "name", "Master" }, { "source_id", source } } });
	request["audioChannels"] = audioChannels;
	return request;
}

TEST_F(AudioChannelsEndToEnd, ChannelsFiveAndSixOfATestInputAndOfACardGoOut)
{
	ServerSession server({ "--test-inputs=1:640x360p25" });
	const std::pair<std::string, int> masters[] = {
		{ "test-1", tiloran::testInputToneFrequency(1, 3) },
		{ "decklink-11", 750 + 2000 },
	};
	for (const auto &[source, frequency] : masters) {
		SCOPED_TRACE(source);
		SrtRecorder recorder;
		std::string answer;
		ASSERT_TRUE(server.startStream(masterOnly(recorder.hostPort(), source, { 5, 6 }), answer)) << answer;
		ASSERT_TRUE(recorder.waitForBytes(1, kGenerousTimeout)) << server.output() << server.errors();
		std::this_thread::sleep_for(4s);
		stopAndExpectOrderlyEnd(server, recorder);
		EXPECT_EQ(dominantFrequency(recorder.recording(), 1.0, 2.0, 0), frequency);
		EXPECT_EQ(dominantFrequency(recorder.recording(), 1.0, 2.0, 1), frequency);
	}
	EXPECT_NE(server.output().find("[Streamer] Output audio channels: 5 and 6 of 16\n"), std::string::npos)
		<< server.output();
	EXPECT_NE(server.output().find("[Streamer] Output audio channels: 5 and 6 of 8\n"), std::string::npos)
		<< server.output();

	// The card has no channel 9.
	std::string answer;
	EXPECT_FALSE(server.startStream(masterOnly("127.0.0.1:9", "decklink-11", { 9, 10 }), answer));
	ASSERT_EQ(answer.substr(0, 4), "400 ") << answer;
	EXPECT_EQ(json::parse(answer.substr(4)).value("error", ""),
		  "Field audioChannels must be from 1 to 8: the master input 'Card 1' has 8 audio channels");
}

} // namespace
