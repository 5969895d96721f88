// What the server knows of a stream: the statistics document and the metrics
// built from what the supervisor and the worker report, and the supervisor's
// stop in two steps (asked over the channel, then terminated), with a
// stand-in worker that speaks over its channel as a test tells it to.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "supervision/StreamStatistics.h"
#include "supervision/WorkerSupervisor.h"
#include "support/CapturedOutputTest.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using nlohmann::json;
using tiloran::EventCode;
using tiloran::StreamStatistics;
using tiloran::WorkerSupervisor;
namespace test = tiloran::test;

namespace {

const json record = json::parse(R"({
	"output": {"width": 1280, "height": 720, "frameRate": "25/1", "codec": "libx264", "videoBitrateKbps": 4000,
		"measuredBitrateKbps": 4100.5, "picturesEncoded": 250, "picturesDropped": 3, "fps": 25.0,
		"latencyMs": {"p50": 12.5, "p99": 40.0, "count": 240, "sum": 3000.0}},
	"inputs": [{"quadrant": 1, "name": "One", "source": "Test Input 1", "fps": 25.0, "lastPictureAgeMs": 5, "signal": "ok"},
		{"quadrant": 3, "name": "Three", "source": "Test Input 3", "fps": 0, "lastPictureAgeMs": 900, "signal": "none"}],
	"audio": {"channels": 2, "peakDbfs": [-18.1, -120.0], "rmsDbfs": [-21.1, -120.0]},
	"srt": null})");

// Each event as "code level: message", "-" for no code.
std::string eventMessages(const json &document)
{
	std::string messages;
	for (const json &event : document["events"])
		messages += (event["code"].is_string() ? event["code"].get<std::string>() : "-") + " " +
			    event["level"].get<std::string>() + ": " + event["message"].get<std::string>() + "\n";
	return messages;
}

TEST(StreamStatisticsTest, ARunFromStartToFailure)
{
	StreamStatistics statistics;
	json document = statistics.document(false);
	EXPECT_EQ(document["state"], "idle");
	EXPECT_TRUE(document["lastExit"].is_null() && document["output"].is_null() && document["uptimeSeconds"].is_null());
	EXPECT_EQ(document["events"], json::array());

	statistics.workerStarted(42);
	statistics.statisticsReceived(record);
	document = statistics.document(true);
	EXPECT_EQ(document["state"], "starting");
	EXPECT_EQ(document["output"], record["output"]);
	EXPECT_EQ(document["inputs"], record["inputs"]);
	EXPECT_EQ(document["audio"], record["audio"]);
	EXPECT_TRUE(document["uptimeSeconds"].is_number());
	const std::string startedSince = document["since"];

	statistics.liveReceived();
	statistics.eventReceived(EventCode::InputSignalLost, "warning", "Input lost on quadrant 3 (Three)");
	statistics.eventReceived(std::nullopt, "shouting", "an unknown level is taken as info");
	document = statistics.document(true);
	EXPECT_EQ(document["state"], "live");
	EXPECT_GE(document["since"].get<std::string>(), startedSince);

	statistics.failureReceived(EventCode::SrtRejected,
				   "Failed to open SRT output 'srt://x:1?mode=caller&latency=120': Input/output error");
	statistics.workerEnded(1, StreamStatistics::Ending::ByItself);
	document = statistics.document(false);
	EXPECT_EQ(document["state"], "failed");
	EXPECT_TRUE(document["output"].is_null() && document["inputs"].is_null() && document["uptimeSeconds"].is_null());
	EXPECT_EQ(document["lastExit"]["code"], 1);
	EXPECT_EQ(document["lastExit"]["message"],
		  "Failed to open SRT output 'srt://x:1?mode=caller&latency=120': Input/output error");
	EXPECT_EQ(document["lastExit"]["failureCode"], "srt.rejected");
	// The run's totals outlive it.
	EXPECT_EQ(document["lastExit"]["picturesEncoded"], 250);
	EXPECT_EQ(document["lastExit"]["picturesDropped"], 3);
	EXPECT_EQ(eventMessages(document),
		  "worker.started info: Worker started (PID 42)\n"
		  "stream.on.air info: On air: pictures are handed to the output\n"
		  "input.signal.lost warning: Input lost on quadrant 3 (Three)\n"
		  "- info: an unknown level is taken as info\n"
		  "stream.ended error: Stream ended: Failed to open SRT output 'srt://x:1?mode=caller&latency=120': Input/output error\n");
	const std::string at = document["lastExit"]["at"];
	EXPECT_EQ(at.size(), 24u);
	EXPECT_EQ(at.back(), 'Z');

	// A record that comes after the end belongs to no run.
	statistics.statisticsReceived(record);
	EXPECT_TRUE(statistics.document(false)["output"].is_null());

	// Without a reason from the worker, its exit code is the reason.
	statistics.workerStarted(43);
	statistics.workerEnded(137, StreamStatistics::Ending::ByItself);
	EXPECT_EQ(statistics.document(false)["lastExit"]["message"], "Worker exited with code 137");
	EXPECT_EQ(statistics.document(false)["lastExit"]["failureCode"], "worker.exited");

	// An older worker's reason without a code stands alone.
	statistics.workerStarted(44);
	statistics.failureReceived(std::nullopt, "Out of memory");
	statistics.workerEnded(1, StreamStatistics::Ending::ByItself);
	EXPECT_EQ(statistics.document(false)["lastExit"]["message"], "Out of memory");
	EXPECT_TRUE(statistics.document(false)["lastExit"]["failureCode"].is_null());
}

// A run its link ended says the link's own reason in place of the generic
// text of a failed output; a failure of another kind keeps its words, even
// after another step's error event.
TEST(StreamStatisticsTest, TheLinksOwnReasonForTheRunItEnded)
{
	const json silent = { { "state", "closed" },
			      { "failedAttempts", 1 },
			      { "failure", { { "code", "srt.peer.silent" }, { "reason", "peer idle timeout" } } } };
	const std::string generic = "Failed to open SRT output 'srt://x:1?mode=caller': Input/output error";
	struct Case {
		std::optional<EventCode> failure;
		std::string expected;
	};
	for (const Case &testCase : { Case{ EventCode::SrtPeerSilent, "Failed to open SRT output 'srt://x:1?mode=caller': peer idle timeout" },
				      Case{ EventCode::OutputFailed, generic } }) {
		StreamStatistics statistics;
		statistics.workerStarted(42);
		statistics.linkReceived(EventCode::SrtPeerSilent, "error", "SRT connection to x:1 failed: peer idle timeout", silent);
		statistics.eventReceived(EventCode::RecordingEnded, "error", "Recording ended: writing a.ts failed: disk full");
		statistics.failureReceived(testCase.failure, generic);
		statistics.workerEnded(1, StreamStatistics::Ending::ByItself);
		EXPECT_EQ(statistics.document(false)["lastExit"]["message"], testCase.expected);
	}
}

// A link change stands beside its event until the next, whatever the
// worker's records say meanwhile; "On air" waits for the link to carry the
// pictures.
TEST(StreamStatisticsTest, TheLinkAsItsLastChangeSaysAndOnAirOnceItIsUp)
{
	StreamStatistics statistics;
	statistics.workerStarted(42);
	const json refused = { { "state", "connecting" },
			       { "failedAttempts", 2 },
			       { "failure", { { "code", "srt.rejected" }, { "reason", "connection rejected" } } } };
	statistics.linkReceived(EventCode::SrtRejected, "warning", "SRT connection attempt 2 to x:1 failed: connection rejected", refused);
	json document = statistics.document(true);
	EXPECT_EQ(document["srt"], refused) << "before the first record";

	json older = record;
	older["srt"] = { { "state", "connecting" }, { "peer", "x:1" }, { "failedAttempts", 1 }, { "rttMs", nullptr } };
	statistics.statisticsReceived(older);
	statistics.liveReceived();
	document = statistics.document(true);
	EXPECT_EQ(document["srt"]["failedAttempts"], 2) << "a record made before the change does not undo it";
	EXPECT_EQ(document["srt"]["failure"]["code"], "srt.rejected");
	EXPECT_EQ(document["srt"]["peer"], "x:1");
	EXPECT_EQ(document["state"], "live");
	EXPECT_EQ(eventMessages(document).find("On air"), std::string::npos) << eventMessages(document);

	statistics.linkReceived(EventCode::SrtConnected, "info", "SRT connected to x:1 (attempt 3)",
				{ { "state", "connected" }, { "failedAttempts", 0 }, { "failure", nullptr } });
	document = statistics.document(true);
	EXPECT_EQ(document["srt"]["state"], "connected");
	EXPECT_TRUE(document["srt"]["failure"].is_null());
	EXPECT_EQ(eventMessages(document), "worker.started info: Worker started (PID 42)\n"
					   "srt.rejected warning: SRT connection attempt 2 to x:1 failed: connection rejected\n"
					   "srt.connected info: SRT connected to x:1 (attempt 3)\n"
					   "stream.on.air info: On air: pictures are handed to the output\n");

	// The next run starts with no link known.
	statistics.workerEnded(0, StreamStatistics::Ending::ByItself);
	statistics.workerStarted(43);
	EXPECT_TRUE(statistics.document(true)["srt"].is_null());
}

// The settings on air come with the run's number, without the passphrase,
// and a new run is a new number even if no read saw the stop between.
TEST(StreamStatisticsTest, TheRunsNumberAndSettingsWithoutTheSecret)
{
	StreamStatistics statistics;
	EXPECT_TRUE(statistics.document(false)["run"].is_null());
	const json settings = { { "video_bitrate", 12000000 },
				{ "srt", { { "host_port", "x:1" }, { "passphrase", "a-secret-passphrase" } } },
				{ "srt_uri", "srt://x:1?mode=caller&passphrase=a-secret-passphrase" } };
	statistics.workerStarted(42, settings);
	json run = statistics.document(true)["run"];
	EXPECT_EQ(run["id"], 1);
	EXPECT_EQ(run["settings"]["video_bitrate"], 12000000);
	EXPECT_EQ(run["settings"]["srt"]["host_port"], "x:1");
	EXPECT_EQ(run.dump().find("a-secret-passphrase"), std::string::npos) << run.dump();

	statistics.stopRequested();
	statistics.workerEnded(0, StreamStatistics::Ending::ByItself);
	statistics.workerStarted(43, { { "video_bitrate", 8000000 } });
	run = statistics.document(true)["run"];
	EXPECT_EQ(run["id"], 2);
	EXPECT_EQ(run["settings"], json({ { "video_bitrate", 8000000 } }));
}

TEST(StreamStatisticsTest, StopsAsAskedAndAsForced)
{
	StreamStatistics statistics;
	statistics.workerStarted(7);
	statistics.stopRequested();
	statistics.workerEnded(0, StreamStatistics::Ending::ByItself);
	json document = statistics.document(false);
	EXPECT_EQ(document["state"], "stopped");
	EXPECT_EQ(document["lastExit"]["code"], 0);
	EXPECT_TRUE(document["lastExit"]["message"].is_null());
	EXPECT_NE(eventMessages(document).find("stream.stopped info: Worker stopped (exit code 0)\n"), std::string::npos);
	EXPECT_TRUE(document["lastExit"]["failureCode"].is_null());

	statistics.workerStarted(8);
	statistics.stopRequested();
	statistics.workerEnded(137, StreamStatistics::Ending::TerminatedAfterStop);
	document = statistics.document(false);
	EXPECT_EQ(document["state"], "stopped");
	EXPECT_EQ(document["lastExit"]["code"], 137);
	EXPECT_EQ(document["lastExit"]["message"], "terminated: did not stop within 2 s");
	EXPECT_EQ(document["lastExit"]["failureCode"], "worker.terminated");
	EXPECT_NE(eventMessages(document).find("worker.terminated warning: Worker did not stop within 2 s and was terminated\n"),
		  std::string::npos);
	// Neither stop counts as a failure.
	EXPECT_NE(statistics.metrics(false).find("\ntiloran_worker_failures_total 0\n"), std::string::npos);
	EXPECT_NE(statistics.metrics(false).find("\ntiloran_worker_starts_total 2\n"), std::string::npos);
}

TEST(StreamStatisticsTest, TheNewestEventsAreKeptAndTheLastFiftyShown)
{
	StreamStatistics statistics;
	for (int index = 0; index < 250; ++index)
		statistics.eventReceived(std::nullopt, "info", "event " + std::to_string(index));
	const json events = statistics.document(false)["events"];
	ASSERT_EQ(events.size(), StreamStatistics::shownEvents);
	EXPECT_EQ(events.front()["message"], "event 200");
	EXPECT_EQ(events.back()["message"], "event 249");
}

TEST(StreamStatisticsTest, MetricsInPrometheusTextFormat)
{
	StreamStatistics statistics;
	statistics.workerStarted(9);
	statistics.liveReceived();
	statistics.statisticsReceived(record);
	const std::string text = statistics.metrics(true);
	for (const char *lines : {
		     "# HELP tiloran_stream_running Whether a worker runs (1) or not (0).\n"
		     "# TYPE tiloran_stream_running gauge\ntiloran_stream_running 1\n",
		     "# TYPE tiloran_stream_live gauge\ntiloran_stream_live 1\n",
		     "# TYPE tiloran_pictures_encoded_total counter\ntiloran_pictures_encoded_total 250\n",
		     "tiloran_pictures_dropped_total 3\n",
		     "tiloran_output_fps 25\n",
		     "tiloran_output_bitrate_kbps 4100.5\n",
		     "# TYPE tiloran_latency_seconds summary\n"
		     "tiloran_latency_seconds{quantile=\"0.5\"} 0.0125\n"
		     "tiloran_latency_seconds{quantile=\"0.99\"} 0.04\n"
		     "tiloran_latency_seconds_sum 3\ntiloran_latency_seconds_count 240\n",
		     "tiloran_input_fps{quadrant=\"1\"} 25\ntiloran_input_fps{quadrant=\"3\"} 0\n",
		     "tiloran_input_signal{quadrant=\"1\"} 1\ntiloran_input_signal{quadrant=\"3\"} 0\n",
		     "tiloran_audio_peak_dbfs{channel=\"1\"} -18.1\ntiloran_audio_peak_dbfs{channel=\"2\"} -120\n",
		     "# TYPE tiloran_worker_starts_total counter\ntiloran_worker_starts_total 1\n",
		     "tiloran_worker_failures_total 0\n" })
		EXPECT_NE(text.find(lines), std::string::npos) << lines << "\n---\n" << text;
	EXPECT_EQ(text.back(), '\n');

	// Figures not known are left out, their families stay.
	const std::string idle = StreamStatistics().metrics(false);
	EXPECT_NE(idle.find("# TYPE tiloran_output_fps gauge\n# HELP"), std::string::npos) << idle;
	EXPECT_NE(idle.find("\ntiloran_stream_running 0\n"), std::string::npos);

	// The adaptive bitrate's target, only where the worker reports one.
	EXPECT_EQ(text.find("tiloran_video_target_bitrate_bytes_per_second"), std::string::npos);
	json adaptive = record;
	adaptive["output"]["targetBitrateKbps"] = 2600;
	adaptive["output"]["bitrateControl"] = "backing off";
	statistics.statisticsReceived(adaptive);
	EXPECT_NE(statistics.metrics(true).find("# TYPE tiloran_video_target_bitrate_bytes_per_second gauge\n"
						"tiloran_video_target_bitrate_bytes_per_second 325000\n"),
		  std::string::npos)
		<< statistics.metrics(true);
}

class SupervisedStatisticsTest : public test::CapturedOutputTest
{
protected:
	test::TemporaryDirectory directory;
	const std::string standIn = test::standInWorkerProgram().string();
};

TEST_F(SupervisedStatisticsTest, WhatTheWorkerSaysReachesTheStatistics)
{
	const std::filesystem::path say = directory.path() / "say";
	std::ofstream(say) << json{ { "type", "statistics" }, { "record", record } }.dump() << "\n"
			   << R"({"type":"live"})" << "\n"
			   << R"json({"type":"event","code":"input.signal.lost","level":"warning","message":"Input lost on quadrant 3 (Three)"})json" << "\n"
			   << R"json({"type":"event","code":"no.such.code","level":"info","message":"A code of no list"})json" << "\n"
			   << "not json, ignored\n"
			   << R"({"type":"failure","code":"input.format.changed","message":"Master input format changed: 1280x720p50"})" << "\n";
	test::ScopedEnvironment sayLines("TILORAN_STAND_IN_SAY", say.string());
	test::ScopedEnvironment exitCode("TILORAN_STAND_IN_EXIT_CODE", "1");
	WorkerSupervisor supervisor(standIn);
	std::string error;
	ASSERT_TRUE(supervisor.start(3000, error)) << error;
	ASSERT_TRUE(test::waitUntil([&] { return !supervisor.isRunning(); }, 30s));

	const json document = supervisor.statistics().document(supervisor.isRunning());
	EXPECT_EQ(document["state"], "failed");
	EXPECT_EQ(document["lastExit"]["code"], 1);
	// Read before the end was recorded, though the worker exited at once.
	EXPECT_EQ(document["lastExit"]["message"], "Master input format changed: 1280x720p50");
	EXPECT_EQ(document["lastExit"]["failureCode"], "input.format.changed");
	EXPECT_EQ(document["lastExit"]["picturesDropped"], 3);
	const std::string events = eventMessages(document);
	EXPECT_NE(events.find("stream.on.air info: On air: pictures are handed to the output\n"
			      "input.signal.lost warning: Input lost on quadrant 3 (Three)\n- info: A code of no list\n"),
		  std::string::npos)
		<< events;
}

TEST_F(SupervisedStatisticsTest, AWorkerThatDoesNotStopIsTerminatedAfterTheGrace)
{
	test::ScopedEnvironment ignore("TILORAN_STAND_IN_IGNORE_STOP", "1");
	WorkerSupervisor supervisor(standIn);
	std::string error;
	ASSERT_TRUE(supervisor.start(3000, error)) << error;
	const auto start = std::chrono::steady_clock::now();
	EXPECT_TRUE(supervisor.stop(error));
	const auto took = std::chrono::steady_clock::now() - start;
	EXPECT_FALSE(supervisor.isRunning());
	// It was given its grace, and then no more than it takes to end it.
	EXPECT_GE(took, WorkerSupervisor::stopGrace);

	const json document = supervisor.statistics().document(false);
	EXPECT_EQ(document["state"], "stopped");
	EXPECT_NE(eventMessages(document).find("worker.terminated warning: Worker did not stop within 2 s and was terminated\n"),
		  std::string::npos);
	const std::string text = output();
	EXPECT_NE(text.find("[WorkerSupervisor] Terminating Worker process PID "), std::string::npos) << text;
	EXPECT_NE(text.find(" terminated: did not stop within 2 s (exit code 137)\n"), std::string::npos) << text;
	EXPECT_EQ(text.find(" exited with code"), std::string::npos) << text;
	EXPECT_EQ(document["lastExit"]["code"], 137);
	EXPECT_EQ(document["lastExit"]["message"], "terminated: did not stop within 2 s");
}

TEST_F(SupervisedStatisticsTest, AWorkerAskedToStopEndsByItself)
{
	WorkerSupervisor supervisor(standIn);
	std::string error;
	ASSERT_TRUE(supervisor.start(3000, error)) << error;
	EXPECT_TRUE(supervisor.stop(error));
	const json document = supervisor.statistics().document(false);
	EXPECT_EQ(document["state"], "stopped");
	const std::string events = eventMessages(document);
	EXPECT_NE(events.find("stream.stop.requested info: Stop requested\nstream.stopped info: Worker stopped (exit code 0)\n"),
		  std::string::npos)
		<< events;
	EXPECT_EQ(events.find("terminated"), std::string::npos) << events;
}

} // namespace
