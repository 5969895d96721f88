// The worker started by the real server: it fetches the document the server
// wrote for a stream start request, prints it and, with nobody listening at
// the SRT address, ends with code 1; the supervisor sees the exit code and
// the stream status turns false. Asked at the server's start, the worker
// tells which encoders this machine can open.

#include <map>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "e2e/EndToEndSupport.h"

using namespace tiloran::test;

namespace {

// The process id from the supervisor's "Worker PID: " line.
std::string workerPid(const std::string &serverOutput)
{
	std::smatch match;
	static const std::regex line("\\[WorkerSupervisor\\] Worker PID: ([0-9]+)\n");
	return std::regex_search(serverOutput, match, line) ? match[1].str() : "";
}

} // namespace

TEST(WorkerControlEndToEnd, WorkerFetchesItsDocumentFromTheServer)
{
	ServerSession server({ "--test-inputs=4:640x360p25" });

	// Nothing listens at the SRT address: the worker cannot get past its output.
	const std::string unusedSrt = "127.0.0.1:" + std::to_string(freeUdpPort());
	std::string answer;
	ASSERT_TRUE(server.startStream(startRequest(unusedSrt, { { 1, 1 }, { 2, 2 } }), answer)) << answer;
	EXPECT_EQ(answer, R"(200 {"status":"started"})");

	const std::string failure = "[Worker] Streamer failed: Failed to open SRT output 'srt://" + unusedSrt +
				    "?mode=caller&latency=120': ";
	ASSERT_TRUE(server.process().waitForError(failure, kGenerousTimeout)) << server.errors();
	const std::string pid = workerPid(server.output());
	ASSERT_FALSE(pid.empty()) << server.output();
	EXPECT_TRUE(server.process().waitForOutput("[WorkerSupervisor] Worker PID " + pid + " exited with code 1\n",
						   kGenerousTimeout))
		<< server.output();
	EXPECT_TRUE(server.waitForRunning(false, kGenerousTimeout));

	const httplib::Result document = server.get("/api/worker/config");
	ASSERT_TRUE(document);
	ASSERT_EQ(document->status, 200);
	const std::string output = server.output();
	EXPECT_NE(output.find("[Worker] Starting\n"
			      "[Worker] Encoder endpoint: http://127.0.0.1:3000/api/worker/config\n"
			      "[Worker] Worker config loaded successfully\n" +
			      nlohmann::json::parse(document->body).dump(2) + "\n"),
		  std::string::npos)
		<< output;

	// Only one failure line, and the stop that follows finds no worker.
	const std::string errors = server.errors();
	EXPECT_EQ(errors.find("[Worker] Streamer failed: "), errors.rfind("[Worker] Streamer failed: ")) << errors;
	const httplib::Result stop = server.post("/api/stream/stop", "");
	ASSERT_TRUE(stop);
	EXPECT_EQ(stop->body, "{\n  \"message\": \"Worker process is not running\",\n  \"status\": \"not_running\"\n}");
}

TEST(WorkerControlEndToEnd, ThePassphraseNeverReachesTheConsole)
{
	ServerSession server({ "--test-inputs=1:320x180p25" });
	const std::string unusedSrt = "127.0.0.1:" + std::to_string(freeUdpPort());
	const std::string passphrase = "not for the console";
	nlohmann::json request = startRequest(unusedSrt, { { 1, 1 } });
	request["srtPassphrase"] = passphrase;
	request["srtStreamId"] = "feed";
	std::string answer;
	ASSERT_TRUE(server.startStream(request, answer)) << answer;

	// The output's own line about the failed connection comes before the
	// worker's.
	const std::string failure = "[Worker] Streamer failed: Failed to open SRT output 'srt://" + unusedSrt +
				    "?mode=caller&streamid=feed&latency=120&passphrase=***': ";
	ASSERT_TRUE(server.process().waitForError(failure, kGenerousTimeout)) << server.errors();
	EXPECT_TRUE(server.waitForRunning(false, kGenerousTimeout));
	const std::string console = server.output() + server.errors();
	EXPECT_EQ(console.find(passphrase), std::string::npos) << console;
	EXPECT_NE(console.find("\"passphrase\": \"***\""), std::string::npos) << console;
	EXPECT_NE(console.find("[Streamer] SRT URI: srt://" + unusedSrt + "?mode=caller&streamid=feed&latency=120&passphrase=***\n"),
		  std::string::npos)
		<< console;
	EXPECT_NE(console.find("[CompositeOutput] SRT connection to " + unusedSrt + " failed: "), std::string::npos)
		<< console;
}

TEST(WorkerControlEndToEnd, TheClientConfigurationSaysWhichEncodersOpenHere)
{
	ServerSession server({});
	// The worker is asked once the server listens; its answer arrives a moment later.
	std::map<std::string, nlohmann::json> available;
	std::string body;
	EXPECT_TRUE(waitUntil(
		[&] {
			const httplib::Result config = server.get("/api/config");
			if (!config || config->status != 200)
				return false;
			body = config->body;
			available.clear();
			const nlohmann::json document = nlohmann::json::parse(body);
			for (const nlohmann::json &codec : document["encoding"]["codecs"])
				available[codec["value"].get<std::string>()] = codec.value("available", nlohmann::json());
			return !available["libx264"].is_null();
		},
		kGenerousTimeout))
		<< server.output();
	// This machine has the software encoder and neither Intel's nor NVIDIA's hardware.
	EXPECT_EQ(available["libx264"], true) << body;
	EXPECT_EQ(available["h264_qsv"], false) << body;
	EXPECT_EQ(available["h264_nvenc"], false) << body;
	// The answer is the worker's whole output: its encoders' lines stay off the server's console.
	EXPECT_EQ(server.output().find("[Worker]"), std::string::npos) << server.output();
	EXPECT_EQ(server.output().find("[CompositeOutput]"), std::string::npos) << server.output();
}
