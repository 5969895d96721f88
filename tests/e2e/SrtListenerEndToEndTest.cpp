// The real server and worker with test inputs, the worker as SRT listener,
// and real srt-live-transmit callers: three join at different times and each
// records from a key picture on, with its audio; one frozen is dropped while
// the others go on without a hole, one leaves; calls with a wrong passphrase, a stream id
// not on the list and one too many are refused with SRT's reason; a further
// listener whose port is taken is left out.

#include <chrono>
#include <csignal>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "e2e/EndToEndSupport.h"

using namespace std::chrono_literals;
using namespace tiloran::test;

namespace {

const std::string passphrase = "listener-pass-1";

// The messages of the run's events with the code, one a line.
std::string eventsWithCode(ServerSession &server, const std::string &code)
{
	const nlohmann::json document = stats(server);
	std::string messages;
	if (document.is_object() && document["events"].is_array())
		for (const nlohmann::json &event : document["events"])
			if (event["code"] == code)
				messages += event["message"].get<std::string>() + "\n";
	return messages;
}

// srt-live-transmit calling the worker, recording what it gets; it does not
// call again once its call failed or its connection ended.
class SrtCaller
{
public:
	SrtCaller(const std::filesystem::path &directory, const std::string &name, int port, const std::string &streamId,
		  const std::string &secret)
		: recording_(directory / (name + ".ts")), startedAt_(std::chrono::steady_clock::now())
	{
		const std::string command = "exec srt-live-transmit -a:no 'srt://127.0.0.1:" + std::to_string(port) +
					    "?mode=caller&latency=500&passphrase=" + secret + "&streamid=" + streamId +
					    "' file://con > '" + recording_.string() + "'";
		process_ = std::make_unique<ChildProcess>("/bin/sh", std::vector<std::string>{ "-c", command });
	}
	~SrtCaller() { end(SIGKILL); }

	const std::filesystem::path &recording() const { return recording_; }
	uintmax_t recordedBytes() const
	{
		std::error_code error;
		const uintmax_t size = std::filesystem::file_size(recording_, error);
		return error ? 0 : size;
	}
	// Seconds from the call to its first bytes.
	double secondsToFirstBytes()
	{
		if (!waitUntil([this] { return recordedBytes() > 0; }, kGenerousTimeout))
			return -1;
		return std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt_).count();
	}
	ChildProcess &process() { return *process_; }
	void end(int signalNumber)
	{
		if (process_->running()) {
			process_->signal(signalNumber);
			process_->signal(SIGCONT);
			if (!process_->waitForExit(kGenerousTimeout)) {
				process_->signal(SIGKILL);
				process_->waitForExit(kGenerousTimeout);
			}
		}
	}

private:
	std::filesystem::path recording_;
	std::chrono::steady_clock::time_point startedAt_;
	std::unique_ptr<ChildProcess> process_;
};


// Pictures missing from a recording at 25 pictures/s; a step back or off the
// grid counts as more than any run could skip.
int64_t missingPictures(const PacketTimes &times, std::string &holes)
{
	int64_t missing = 0;
	for (std::size_t index = 1; index < times.videoPts.size(); ++index) {
		const int64_t step = times.videoPts[index] - times.videoPts[index - 1];
		if (step == 3600)
			continue;
		holes += " " + std::to_string(index) + ": " + std::to_string(times.videoPts[index - 1]) + " -> " +
			 std::to_string(times.videoPts[index]);
		missing += step > 0 && step % 3600 == 0 ? step / 3600 - 1 : int64_t{ 1 } << 32;
	}
	return missing;
}

} // namespace

TEST(SrtListenerEndToEnd, CallersJoinAtKeyPicturesAndOneThatStopsReadingIsDroppedAlone)
{
	ServerSession server({ "--test-inputs=2:320x180p25" });
	const int port = freeUdpPort();
	// Every address of the machine, IPv4 callers too.
	nlohmann::json request = startRequest("[::]:" + std::to_string(port), { { 1, 1 }, { 2, 2 } });
	request["srtMode"] = "listener";
	request["srtPassphrase"] = passphrase;
	request["srtMaxCallers"] = 3;
	request["srtAllowedStreamIds"] = { "studio-a", "studio-b", "studio-c" };
	// Room for a busy machine's stalls: a hole must be one the worker made.
	request["srtLatency"] = 500;
	// A further listener on a port another program holds is left out, with
	// the reason; the stream goes on.
	SrtRecorder occupying;
	request["outputs"] = { { { "srtHostPort", occupying.hostPort() }, { "srtMode", "listener" } } };
	std::string answer;
	ASSERT_TRUE(server.startStream(request, answer)) << answer;
	ASSERT_TRUE(waitUntil([&] { return stats(server)["srt"]["state"] == "listening" && stats(server)["state"] == "live"; },
			      kGenerousTimeout))
		<< stats(server).dump(2) << server.errors();
	EXPECT_NE(eventsWithCode(server, "srt.listening"), "");
	EXPECT_NE(eventsWithCode(server, "srt.failed")
			  .find("Output 1: SRT cannot listen on " + occupying.hostPort() + ": Address already in use"),
		  std::string::npos)
		<< eventsWithCode(server, "srt.failed");

	const std::filesystem::path &directory = server.directory();
	SrtCaller first(directory, "first", port, "studio-a", passphrase);
	const double firstSeconds = first.secondsToFirstBytes();
	std::this_thread::sleep_for(2s);
	SrtCaller second(directory, "second", port, "studio-b", passphrase);
	const double secondSeconds = second.secondsToFirstBytes();

	// Refused: a wrong passphrase, a stream id not on the list.
	SrtCaller wrongSecret(directory, "wrong-secret", port, "studio-c", "another-pass-1");
	SrtCaller unlisted(directory, "unlisted", port, "studio-x", passphrase);
	// Each caller shows SRT's rejection.
	ASSERT_TRUE(wrongSecret.process().waitForError("REJECT", kGenerousTimeout)) << wrongSecret.process().standardError();
	ASSERT_TRUE(unlisted.process().waitForError("REJECT", kGenerousTimeout)) << unlisted.process().standardError();
	// Each refusal reaches the server as an event of its own, in no set order.
	ASSERT_TRUE(waitUntil([&] { return eventsWithCode(server, "srt.caller.refused.passphrase") != ""; }, kGenerousTimeout))
		<< server.errors();
	EXPECT_TRUE(waitUntil([&] { return eventsWithCode(server, "srt.caller.refused").find("\"studio-x\")") !=
					   std::string::npos; },
			      kGenerousTimeout))
		<< eventsWithCode(server, "srt.caller.refused") << server.errors();
	EXPECT_EQ(wrongSecret.recordedBytes() + unlisted.recordedBytes(), 0u);

	std::this_thread::sleep_for(1s);
	SrtCaller third(directory, "third", port, "studio-c", passphrase);
	const double thirdSeconds = third.secondsToFirstBytes();
	// One more than the three allowed.
	SrtCaller fourth(directory, "fourth", port, "studio-a", passphrase);
	ASSERT_TRUE(fourth.process().waitForError("REJECT", kGenerousTimeout)) << fourth.process().standardError();
	ASSERT_TRUE(waitUntil([&] { return eventsWithCode(server, "srt.caller.refused").find("SRT_REJX_OVERLOAD") !=
						   std::string::npos; },
			      kGenerousTimeout))
		<< server.errors();

	// Each caller's own figures, by slot.
	nlohmann::json callers;
	ASSERT_TRUE(waitUntil([&] { return (callers = stats(server)["srt"]["callers"]).size() == 3; }, kGenerousTimeout))
		<< callers.dump(2);
	EXPECT_EQ(callers[2]["slot"], 3);
	EXPECT_EQ(callers[2]["streamId"], "studio-c");
	EXPECT_EQ(callers[2]["address"].get<std::string>().rfind("127.0.0.1:", 0), 0u);
	const httplib::Result metrics = server.get("/metrics");
	ASSERT_TRUE(metrics);
	EXPECT_NE(metrics->body.find("tiloran_srt_caller_rtt_seconds{slot=\"3\"}"), std::string::npos) << metrics->body;
	const std::filesystem::path metricsFile = directory / "metrics.txt";
	writeFile(metricsFile, metrics->body);
	int status = -1;
	const std::string checked = runCommand("promtool check metrics < '" + metricsFile.string() + "' 2>&1", &status);
	EXPECT_EQ(status, 0) << checked << metrics->body;

	// The third, after a second of its own, stops reading: it is dropped,
	// the others go on.
	ASSERT_TRUE(waitUntil([&] { return third.recordedBytes() > 500 * 1000; }, kGenerousTimeout));
	third.process().signal(SIGSTOP);
	const auto frozenAt = std::chrono::steady_clock::now();
	ASSERT_TRUE(waitUntil([&] { return eventsWithCode(server, "srt.caller.dropped") != ""; }, kGenerousTimeout))
		<< server.errors();
	const double dropSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - frozenAt).count();
	std::this_thread::sleep_until(frozenAt + 5s);
	// Let go, it writes out what it holds and ends, its connection gone.
	third.end(SIGTERM);
	const uintmax_t before = first.recordedBytes();
	ASSERT_TRUE(waitUntil([&] { return first.recordedBytes() > before + 100 * 1000; }, kGenerousTimeout));

	// One more in the third's place hangs up.
	{
		SrtCaller passing(directory, "passing", port, "studio-c", passphrase);
		ASSERT_GT(passing.secondsToFirstBytes(), 0);
		passing.end(SIGTERM);
	}
	ASSERT_TRUE(waitUntil([&] { return eventsWithCode(server, "srt.caller.left") != ""; }, kGenerousTimeout))
		<< server.errors();
	std::string stopAnswer;
	ASSERT_TRUE(server.stopStream(stopAnswer)) << stopAnswer;
	ASSERT_TRUE(server.waitForRunning(false, kGenerousTimeout));
	first.end(SIGTERM);
	second.end(SIGTERM);
	std::cout << "first bytes after the call: " << firstSeconds << " s, " << secondSeconds << " s, " << thirdSeconds
		  << " s; frozen caller dropped after " << dropSeconds << " s\n"
		  << eventsWithCode(server, "srt.caller.dropped") << eventsWithCode(server, "srt.caller.left")
		  << eventsWithCode(server, "srt.caller.refused") << eventsWithCode(server, "srt.caller.refused.passphrase");

	// As FurtherOutputsEndToEnd: only pictures the worker itself skipped, in
	// a build behind real time, may be missing.
	const nlohmann::json lastExit = stats(server)["lastExit"];
	ASSERT_TRUE(lastExit.is_object() && lastExit["picturesDropped"].is_number()) << lastExit.dump();
	const int64_t skipped = programsKeepRealTime ? 0 : lastExit["picturesDropped"].get<int64_t>();
	for (SrtCaller *caller : { &first, &second, &third }) {
		SCOPED_TRACE(caller->recording().string());
		EXPECT_EQ(firstVideoFrame(caller->recording()), "1,I\n");
		const PacketTimes times = probePacketTimes(caller->recording());
		ASSERT_GT(times.videoPts.size(), 10u);
		ASSERT_FALSE(times.audioPts.empty());
		EXPECT_LT(std::llabs(times.videoPts.front() - times.audioPts.front()), 90000);
		EXPECT_LT(std::llabs(times.videoPts.back() - times.audioPts.back()), 90000);
		if (caller == &third)
			continue;
		std::string holes;
		EXPECT_LE(missingPictures(times, holes), skipped)
			<< holes << " in " << times.videoPts.size() << " pictures; the run: " << lastExit.dump();
		EXPECT_EQ(videoDecodeErrors(caller->recording()), "");
	}
}
