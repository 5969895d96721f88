// The composite output as an SRT caller, against a real SRT listener on the
// loopback interface.

#include <gtest/gtest.h>

#include <chrono>

#include "CompositeOutputTestSupport.h"
#include "support/SrtListener.h"
#include "support/TestSupport.h"

namespace tiloran {
namespace {

using namespace std::chrono_literals;
using test::makeAudio;
using test::makePicture;
using test::outputConfig;

using test::startPts;
using test::tileHeight;
using test::tileWidth;
const std::string passphrase = "tiloran-secret-42";

std::string callerUri(int port, const std::string &query)
{
	return "srt://127.0.0.1:" + std::to_string(port) + "?mode=caller" + query;
}

// Pictures at 25 frames/s from index first on, each after its 1920 samples of audio.
void pushPictures(CompositeOutput &output, int first, int count)
{
	std::string message;
	for (int index = first; index < first + count; ++index) {
		FrameHolder audio = makeAudio(2, 1920, 48000, startPts + index * 3600);
		ASSERT_TRUE(output.pushAudioFrame(audio.get(), message)) << message;
		FrameHolder picture = makePicture(2 * tileWidth, 2 * tileHeight, startPts + index * 3600, index);
		ASSERT_TRUE(output.pushVideoFrame(picture.get(), message)) << message;
	}
}

TEST(CompositeOutputSrtTest, ListenerGetsTheStreamWithTheLatencyAndStreamIdAskedFor)
{
	const int port = test::freeUdpPort();
	// The listener asks for less than the caller: SRT settles on the larger
	// value, so what it reports is the caller's latency.
	test::SrtListener listener(port, { .latencyMilliseconds = 20, .passphrase = passphrase });
	const std::string uri = callerUri(port, "&streamid=studio/quad-1&latency=800&passphrase=" + passphrase);

	test::TemporaryDirectory directory;
	{
		CompositeOutput output;
		std::string message;
		ASSERT_TRUE(output.init(outputConfig(uri), tileWidth, tileHeight, 25, 1, 48000, 1, message)) << message;
		ASSERT_TRUE(listener.waitForConnection(test::kGenerousTimeout));
		EXPECT_EQ(listener.streamId(), "studio/quad-1");
		EXPECT_EQ(listener.negotiatedLatencyMilliseconds(), 800);

		pushPictures(output, 0, 40);
		// SRT hands data on after the latency; let it arrive before the caller closes.
		ASSERT_TRUE(listener.waitForBytes(60 * 1316, test::kGenerousTimeout)) << listener.received().size();
		// Flushed after every packet, the muxer still hands SRT whole TS packets.
		EXPECT_EQ(listener.oddMessages(), 0);
	}

	const std::filesystem::path received = directory.path() / "received.ts";
	test::writeFile(received, listener.received());
	const test::ProbedMedia media = test::probeMedia(received.string());
	ASSERT_EQ(media.error, "");
	ASSERT_EQ(media.streams.size(), 2u);
	EXPECT_EQ(media.streams[0].codec, AV_CODEC_ID_H264);
	EXPECT_EQ(media.streams[0].width, 2 * tileWidth);
	EXPECT_EQ(media.streams[0].height, 2 * tileHeight);
	EXPECT_EQ(media.streams[1].codec, AV_CODEC_ID_AAC);
	EXPECT_EQ(media.streams[1].channels, 2);
	EXPECT_EQ(media.streams[1].sampleRate, 48000);
	const std::vector<int64_t> videoPts = media.ptsOf(0);
	ASSERT_FALSE(videoPts.empty());
	// Moved on by the AAC encoder's priming, as every timestamp is.
	EXPECT_EQ(videoPts.front(), startPts + 1920);
}

TEST(CompositeOutputSrtTest, DefaultLatencyIsSrtsOwn120Milliseconds)
{
	const int port = test::freeUdpPort();
	test::SrtListener listener(port, { .latencyMilliseconds = 20, .passphrase = "" });
	CompositeOutput output;
	std::string message;
	ASSERT_TRUE(output.init(outputConfig(callerUri(port, "&latency=120")), tileWidth, tileHeight, 25, 1, 48000, 1,
				message))
		<< message;
	ASSERT_TRUE(listener.waitForConnection(test::kGenerousTimeout));
	EXPECT_EQ(listener.negotiatedLatencyMilliseconds(), 120);
	EXPECT_EQ(listener.streamId(), "");
}

TEST(CompositeOutputSrtTest, ListenerWithAnotherPassphraseRefusesTheCaller)
{
	const int port = test::freeUdpPort();
	test::SrtListener listener(port, { .latencyMilliseconds = 20, .passphrase = "another-secret-99" });
	const std::string uri = callerUri(port, "&streamid=cam&latency=300&passphrase=" + passphrase);

	CompositeOutput output;
	std::string message;
	EXPECT_FALSE(output.init(outputConfig(uri), tileWidth, tileHeight, 25, 1, 48000, 1, message));
	// The URI as configured, latency in milliseconds, the passphrase hidden.
	EXPECT_EQ(message, "Failed to open SRT output '" + callerUri(port, "&streamid=cam&latency=300&passphrase=***") +
				   "': Input/output error");
	EXPECT_EQ(listener.acceptedConnections(), 0);
}

TEST(CompositeOutputSrtTest, MissingListenerFailsInitWithinTheConnectTimeout)
{
	const int port = test::freeUdpPort();
	const std::string uri = callerUri(port, "&latency=120");
	CompositeOutput output;
	std::string message;
	const auto start = std::chrono::steady_clock::now();
	EXPECT_FALSE(output.init(outputConfig(uri), tileWidth, tileHeight, 25, 1, 48000, 1, message));
	const auto elapsed = std::chrono::steady_clock::now() - start;
	EXPECT_EQ(message, "Failed to open SRT output '" + uri + "': Input/output error");
	// SRT gives up connecting after 3 seconds. A loaded machine only adds to
	// that, so the bound is generous; it still fails an output that waits on
	// for the listener.
	EXPECT_LT(elapsed, 30s);
}

TEST(CompositeOutputSrtTest, ListenerGoingAwayFailsEveryLaterPushWithTheWriteError)
{
	const int port = test::freeUdpPort();
	test::SrtListener listener(port, { .latencyMilliseconds = 20, .passphrase = "" });
	auto output = std::make_unique<CompositeOutput>();
	std::string message;
	ASSERT_TRUE(output->init(outputConfig(callerUri(port, "&latency=20")), tileWidth, tileHeight, 25, 1, 48000, 1,
				 message))
		<< message;
	ASSERT_TRUE(listener.waitForConnection(test::kGenerousTimeout));
	pushPictures(*output, 0, 10);
	// Five more pictures without audio: the last of them waits for a pool
	// frame, which comes back only after all audio was encoded (audio goes
	// first), so from here on the output thread works on pictures alone.
	for (int index = 10; index < 15; ++index) {
		FrameHolder picture = makePicture(2 * tileWidth, 2 * tileHeight, startPts + index * 3600, index);
		ASSERT_TRUE(output->pushVideoFrame(picture.get(), message)) << message;
	}
	ASSERT_TRUE(listener.waitForBytes(1316, test::kGenerousTimeout));

	listener.close();

	// Pictures two seconds apart make the muxer write without waiting for
	// audio; one of those writes meets the broken connection.
	const std::string expectedPrefix = "Failed to write encoded packet to SRT output: ";
	int64_t pts = startPts + 15 * 3600;
	int attempt = 0;
	ASSERT_TRUE(test::waitUntil(
		[&] {
			pts += 180000;
			FrameHolder picture = makePicture(2 * tileWidth, 2 * tileHeight, pts, attempt++);
			return !output->pushVideoFrame(picture.get(), message);
		},
		test::kGenerousTimeout));
	EXPECT_EQ(message.rfind(expectedPrefix, 0), 0u) << message;
	EXPECT_GT(message.size(), expectedPrefix.size());
	const std::string failure = message;

	FrameHolder picture = makePicture(2 * tileWidth, 2 * tileHeight, pts + 3600, 0);
	EXPECT_FALSE(output->pushVideoFrame(picture.get(), message));
	EXPECT_EQ(message, failure);
	FrameHolder audio = makeAudio(2, 1920, 48000, pts);
	EXPECT_FALSE(output->pushAudioFrame(audio.get(), message));
	EXPECT_EQ(message, failure);

	// The bound catches a destructor that hangs on the broken connection,
	// not a slow one.
	const auto destroyStart = std::chrono::steady_clock::now();
	output.reset();
	EXPECT_LT(std::chrono::steady_clock::now() - destroyStart, test::kGenerousTimeout);
	std::cout << "Write failure after the listener went away: " << failure << std::endl;
}

} // namespace
} // namespace tiloran
