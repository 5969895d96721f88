// The real server and worker with test inputs and a real SRT listener: what
// GET /api/stream/stats and GET /metrics tell while a stream runs, after it
// failed and after a stop; stops that let the worker end by itself, so that a
// new stream reaches the same listener at once; and a worker that ends when
// its server's channel closes.

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e/EndToEndSupport.h"

using namespace std::chrono_literals;
using namespace tiloran::test;

namespace {

// The test tone's level: FFmpeg's sine source at its default amplitude of 1/8.
constexpr double toneDbfs = -18.06;

bool waitForState(ServerSession &server, const std::string &state, std::chrono::milliseconds timeout)
{
	return waitUntil(
		[&] {
			const nlohmann::json document = stats(server);
			return document.is_object() && document["state"] == state;
		},
		timeout);
}

double median(std::vector<double> values)
{
	std::sort(values.begin(), values.end());
	return values.empty() ? 0 : values[values.size() / 2];
}

double milliseconds(std::chrono::steady_clock::duration duration)
{
	return std::chrono::duration<double, std::milli>(duration).count();
}

} // namespace

TEST(StreamStatisticsEndToEnd, WhileFourInputsStream)
{
	ServerSession server({ "--test-inputs=4:640x360p25" });
	SrtRecorder listener;
	nlohmann::json request = startRequest(listener.hostPort(), { { 1, 1 }, { 2, 2 }, { 3, 3 }, { 4, 4 } });
	// Larger than the listener's own 120 ms, so that it is what both settle on.
	request["srtLatency"] = 300;
	std::string answer;
	ASSERT_TRUE(server.startStream(request, answer)) << answer;
	ASSERT_TRUE(waitForState(server, "live", 60s)) << stats(server).dump(2) << server.errors();

	// Five records, one a second, once the stream has settled.
	std::vector<nlohmann::json> records;
	int64_t lastEncoded = -1;
	ASSERT_TRUE(waitUntil(
		[&] {
			// The state may turn live a moment before the first record
			// with the output's figures arrives.
			const nlohmann::json document = stats(server);
			const bool recorded = document.is_object() && document["output"].is_object();
			const int64_t encoded = recorded ? document["output"].value("picturesEncoded", int64_t(0)) : 0;
			if (encoded > 50 && encoded != lastEncoded) {
				if (lastEncoded >= 0)
					records.push_back(document);
				lastEncoded = encoded;
			}
			return records.size() == 5;
		},
		60s));

	std::vector<double> fps, bitrate, latency, peaks, sendRate;
	std::vector<std::vector<double>> inputFps(4);
	for (const nlohmann::json &record : records) {
		SCOPED_TRACE(record.dump(2));
		EXPECT_EQ(record["state"], "live");
		EXPECT_TRUE(record["running"]);
		const nlohmann::json &output = record["output"];
		EXPECT_EQ(output["width"], 1280);
		EXPECT_EQ(output["height"], 720);
		EXPECT_EQ(output["frameRate"], "25/1");
		EXPECT_EQ(output["codec"], "libx264");
		EXPECT_EQ(output["videoBitrateKbps"], 4000);
		fps.push_back(output["fps"]);
		bitrate.push_back(output["measuredBitrateKbps"]);
		latency.push_back(output["latencyMs"]["p50"]);
		ASSERT_EQ(record["inputs"].size(), 4u);
		for (std::size_t index = 0; index < 4; ++index) {
			const nlohmann::json &input = record["inputs"][index];
			EXPECT_EQ(input["quadrant"], index + 1);
			EXPECT_EQ(input["name"], "Camera " + std::to_string(index + 1));
			EXPECT_EQ(input["source"], "Test Input " + std::to_string(index + 1) + " (640x360p25)");
			if (programsKeepRealTime) {
				EXPECT_EQ(input["signal"], "ok");
				EXPECT_LT(input["lastPictureAgeMs"].get<double>(), 400);
			}
			inputFps[index].push_back(input["fps"]);
		}
		EXPECT_EQ(record["audio"]["channels"], 2);
		for (const char *level : { "peakDbfs", "rmsDbfs" }) {
			ASSERT_EQ(record["audio"][level].size(), 2u);
		}
		peaks.push_back(record["audio"]["peakDbfs"][0]);
		peaks.push_back(record["audio"]["peakDbfs"][1]);
		EXPECT_NEAR(record["audio"]["rmsDbfs"][0].get<double>(), toneDbfs - 3.01, 1.0);
		const nlohmann::json &srt = record["srt"];
		EXPECT_EQ(srt["state"], "connected");
		EXPECT_EQ(srt["peer"], listener.hostPort());
		EXPECT_GT(srt["rttMs"].get<double>(), 0);
		EXPECT_EQ(srt["latencyMs"], 300);
		EXPECT_EQ(srt["packetsLost"], 0);
		EXPECT_EQ(srt["reconnects"], 0);
		EXPECT_GT(srt["packetsSent"].get<int64_t>(), 0);
		EXPECT_GT(srt["connectedSeconds"].get<double>(), 0);
		for (const char *key : { "bandwidthMbps", "packetsRetransmitted", "packetsDropped", "sendBufferMs" })
			EXPECT_TRUE(srt[key].is_number()) << key;
		sendRate.push_back(srt["sendRateMbps"]);
		EXPECT_TRUE(record["lastExit"].is_null());
	}
	// Each figure is the median of five seconds, so one slow second on a
	// busy machine does not decide.
	if (programsKeepRealTime) {
		EXPECT_NEAR(median(fps), 25, 2);
		for (const std::vector<double> &values : inputFps)
			EXPECT_NEAR(median(values), 25, 2);
		EXPECT_NEAR(median(bitrate), 4000, 1200);
		EXPECT_LT(median(latency), 200);
		// What SRT sends is the stream, with its own headers on top.
		EXPECT_NEAR(median(sendRate) * 1000, median(bitrate), median(bitrate) * 0.2);
	}
	EXPECT_GT(median(latency), 0);
	for (double peak : peaks)
		EXPECT_NEAR(peak, toneDbfs, 1.0);
	std::printf("[ measure  ] fps %.2f, bitrate %.0f kbps, SRT send rate %.0f kbps, latency p50 %.1f ms (medians of five "
		    "seconds)\n",
		    median(fps), median(bitrate), median(sendRate) * 1000, median(latency));

	// Prometheus's own checker and parser read the metrics as they are.
	const httplib::Result metrics = server.get("/metrics");
	ASSERT_TRUE(metrics);
	EXPECT_EQ(metrics->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
	const std::filesystem::path file = server.directory() / "metrics.txt";
	writeFile(file, metrics->body);
	int status = -1;
	const std::string checked = runCommand("promtool check metrics < '" + file.string() + "' 2>&1", &status);
	EXPECT_EQ(status, 0) << checked << metrics->body;
	const std::string parsed = runCommand(
		"/usr/bin/python3 -c 'import sys\nfrom prometheus_client.parser import text_string_to_metric_families as parse\n"
		"for family in parse(open(sys.argv[1]).read()):\n print(family.name, family.type, len(family.samples))' '" +
			file.string() + "' 2>&1",
		&status);
	EXPECT_EQ(status, 0) << parsed;
	for (const char *family :
	     { "tiloran_stream_running gauge 1", "tiloran_stream_uptime_seconds gauge 1", "tiloran_pictures_encoded counter 1",
	       "tiloran_pictures_dropped counter 1", "tiloran_output_fps gauge 1", "tiloran_output_bitrate_kbps gauge 1",
	       "tiloran_latency_seconds summary 4", "tiloran_input_fps gauge 4", "tiloran_input_signal gauge 4",
	       "tiloran_audio_peak_dbfs gauge 2", "tiloran_srt_rtt_seconds gauge 1", "tiloran_srt_send_rate_mbps gauge 1",
	       "tiloran_srt_packets_lost counter 1", "tiloran_srt_connected gauge 1",
	       "tiloran_srt_reconnects counter 1", "tiloran_worker_starts counter 1", "tiloran_worker_failures counter 1" })
		EXPECT_NE(parsed.find(family), std::string::npos) << family << "\n" << parsed;
	EXPECT_NE(metrics->body.find("\ntiloran_stream_running 1\n"), std::string::npos) << metrics->body;
	EXPECT_NE(metrics->body.find("\ntiloran_srt_connected 1\n"), std::string::npos) << metrics->body;
	EXPECT_NE(metrics->body.find("\ntiloran_worker_starts_total 1\n"), std::string::npos) << metrics->body;

	// Every dropped picture is a hole in the recorded timeline, and every
	// hole a dropped picture: a busy machine may drop, the count must tell.
	// Only pictures the recording lost at its ends (SRT drops what it holds
	// when a live connection closes) can hide a drop.
	ASSERT_TRUE(server.stopStream(answer)) << answer;
	listener.stop();
	const nlohmann::json ended = stats(server);
	ASSERT_TRUE(ended["lastExit"].is_object()) << ended.dump(2);
	const PacketTimes times = probePacketTimes(listener.recording());
	ASSERT_GT(times.videoPts.size(), 100u);
	int64_t holes = 0;
	for (std::size_t index = 1; index < times.videoPts.size(); ++index)
		holes += std::max<int64_t>(0, std::llround((times.videoPts[index] - times.videoPts[index - 1]) / 3600.0) - 1);
	const int64_t dropped = ended["lastExit"]["picturesDropped"];
	const int64_t lost = std::max<int64_t>(0, ended["lastExit"]["picturesEncoded"].get<int64_t>() -
							   static_cast<int64_t>(times.videoPts.size()));
	EXPECT_GE(dropped, holes) << ended.dump(2);
	EXPECT_LE(dropped, holes + lost) << ended.dump(2);
	std::printf("[ measure  ] %lld pictures dropped over the run, %lld holes recorded\n", static_cast<long long>(dropped),
		    static_cast<long long>(holes));
}

TEST(StreamStatisticsEndToEnd, StopAndStartAtOnceReachTheSameListener)
{
	// A worker that runs many times slower than real time may need longer
	// than the supervisor grants it to end by itself; being killed then is
	// right, and the listener holds the dead caller for seconds.
	if (!programsKeepRealTime)
		GTEST_SKIP() << "the programs do not keep real time in this build";
	ServerSession server({ "--test-inputs=2:320x180p25" });
	SrtRecorder listener;
	const nlohmann::json request = startRequest(listener.hostPort(), { { 1, 1 }, { 2, 2 } });
	std::vector<double> reachedMs;
	for (int round = 0; round < 10; ++round) {
		SCOPED_TRACE("round " + std::to_string(round));
		const uintmax_t before = listener.recordedBytes();
		const auto start = std::chrono::steady_clock::now();
		std::string answer;
		ASSERT_TRUE(server.startStream(request, answer)) << answer;
		// Each new stream reaches the listener, which the last one left at
		// once: a stream that was only killed would hold it for seconds.
		ASSERT_TRUE(listener.waitForBytes(before + 100 * 188, 30s)) << server.errors();
		reachedMs.push_back(milliseconds(std::chrono::steady_clock::now() - start));
		ASSERT_TRUE(server.stopStream(answer)) << answer;
	}
	std::sort(reachedMs.begin(), reachedMs.end());
	std::printf("[ measure  ] a new stream reached the listener %.0f ms after its start (median of ten), %.0f ms at most\n",
		    reachedMs[5], reachedMs.back());

	// Every worker ended by itself when asked, none was terminated.
	const std::string output = server.output();
	std::size_t ownEnds = 0;
	for (std::size_t at = output.find("[Worker] Stopped on request\n"); at != std::string::npos;
	     at = output.find("[Worker] Stopped on request\n", at + 1))
		++ownEnds;
	EXPECT_EQ(ownEnds, 10u) << output;
	const nlohmann::json document = stats(server);
	EXPECT_EQ(document["state"], "stopped");
	EXPECT_EQ(document["lastExit"]["code"], 0);
	EXPECT_TRUE(document["lastExit"]["message"].is_null());
	EXPECT_EQ(document.dump().find("did not stop"), std::string::npos) << document.dump(2);
	EXPECT_NE(document.dump().find("Worker stopped (exit code 0)"), std::string::npos) << document.dump(2);
}

TEST(StreamStatisticsEndToEnd, NoListenerShowsWhyTheStreamFailed)
{
	ServerSession server({ "--test-inputs=1:320x180p25" });
	const std::string unused = "127.0.0.1:" + std::to_string(freeUdpPort());
	nlohmann::json request = startRequest(unused, { { 1, 1 } });
	request["srtPassphrase"] = "nobody-will-read-this";
	const auto start = std::chrono::steady_clock::now();
	std::string answer;
	ASSERT_TRUE(server.startStream(request, answer)) << answer;
	EXPECT_TRUE(waitForState(server, "starting", 1s) || waitForState(server, "failed", 1s));
	ASSERT_TRUE(waitForState(server, "failed", 60s)) << stats(server).dump(2);
	std::printf("[ measure  ] failed %.0f ms after the start\n", milliseconds(std::chrono::steady_clock::now() - start));

	const httplib::Result result = server.get("/api/stream/stats");
	ASSERT_TRUE(result);
	EXPECT_EQ(result->get_header_value("Access-Control-Allow-Origin"), "*");
	EXPECT_EQ(result->body.find("nobody-will-read-this"), std::string::npos) << result->body;
	const nlohmann::json document = nlohmann::json::parse(result->body);
	EXPECT_FALSE(document["running"]);
	EXPECT_EQ(document["lastExit"]["code"], 1);
	// No listener at the port: the call went unanswered.
	EXPECT_EQ(document["lastExit"]["failureCode"], "srt.peer.silent");
	const std::string message = document["lastExit"]["message"];
	EXPECT_EQ(message.rfind("Failed to open SRT output 'srt://" + unused + "?mode=caller&latency=120&passphrase=***'", 0),
		  0u)
		<< message;
	EXPECT_TRUE(document["output"].is_null());
	const nlohmann::json &events = document["events"];
	ASSERT_FALSE(events.empty());
	EXPECT_EQ(events.back()["level"], "error");
	EXPECT_EQ(events.back()["code"], "stream.ended");
	EXPECT_EQ(events.back()["message"], "Stream ended: " + message);
	// The reason the connection's own event gave, not the system's
	// generic text for a failed output.
	std::string reason;
	for (const nlohmann::json &event : events) {
		const std::string text = event["message"];
		const std::string failed = "SRT connection to " + unused + " failed: ";
		if (event["code"] == "srt.peer.silent" && text.rfind(failed, 0) == 0)
			reason = text.substr(failed.size());
	}
	ASSERT_FALSE(reason.empty()) << events.dump(2);
	EXPECT_EQ(message.find("Input/output error"), std::string::npos) << message;
	EXPECT_EQ(message.substr(message.size() - reason.size() - 3), "': " + reason) << message;

	const httplib::Result metrics = server.get("/metrics");
	ASSERT_TRUE(metrics);
	EXPECT_NE(metrics->body.find("\ntiloran_worker_failures_total 1\n"), std::string::npos) << metrics->body;
	EXPECT_NE(metrics->body.find("\ntiloran_stream_running 0\n"), std::string::npos) << metrics->body;
}

// Started by hand with a channel, the worker ends when the other end closes,
// as it does when its server dies, whether or not the system would also have
// ended it with its parent.
TEST(WorkerChannelEndToEnd, AWorkerEndsWhenItsServersChannelCloses)
{
	SrtRecorder listener;
	const nlohmann::json document = {
		{ "quadrants", { { { "id", 1 }, { "name", "One" }, { "source_id", "test-1" },
				   { "source_name", "Test Input 1 (320x180p25)" } } } },
		{ "codec", "libx264" },
		{ "video_bitrate", 2 },
		{ "audio_bitrate", 128 },
		{ "srt_uri", "srt://" + listener.hostPort() + "?mode=caller&latency=120" },
	};
	ConfigurationServer configuration(200, document.dump());

	int ends[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
	ChildProcess::Options options;
	options.channelDescriptor = ends[1];
	options.setEnvironment["TILORAN_WORKER_CHANNEL"] = "3";
	ChildProcess worker(workerProgram(), { "start", std::to_string(configuration.port()) }, options);
	::close(ends[1]);

	ASSERT_TRUE(listener.waitForBytes(50 * 188, 60s)) << worker.standardError();
	// The statistics come over the channel.
	std::string received;
	char buffer[4096];
	while (received.find(R"("type":"statistics")") == std::string::npos) {
		const ssize_t count = ::read(ends[0], buffer, sizeof(buffer));
		ASSERT_GT(count, 0);
		received.append(buffer, static_cast<std::size_t>(count));
	}

	::close(ends[0]);
	const std::optional<int> status = worker.waitForExit(30s);
	ASSERT_TRUE(status.has_value()) << worker.standardOutput();
	EXPECT_EQ(*status, 0);
	EXPECT_NE(worker.standardOutput().find("[Worker] Stopped on request\n"), std::string::npos);
}
