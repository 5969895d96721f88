// Faults while streaming, through the real programs: the server with
// test-pattern inputs, the worker it starts and a real SRT listener. Each
// fault ends in a clear console line, a status that tells the truth and a
// stream that can be started again; a broken preview folder never stops the
// stream nor fills the console.
//
// The preview and configuration folders are broken for real: as the test
// runs as root, which ignores directory modes, read-only and full file
// systems are mounted in a mount namespace of the test's own. Without the
// rights for that, those cases are skipped.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <regex>
#include <string>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e/EndToEndSupport.h"

using namespace std::chrono_literals;
using namespace tiloran::test;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

// Small inputs keep the encoder's share of the two cores low.
const std::vector<std::string> testInputs{ "--test-inputs=2:320x180p25" };

const std::string workerFailurePrefix = "[Worker] Streamer failed: ";
const std::string previewFailurePrefix = "[PreviewWriter] Failed to save preview: ";

json faultRequest(const SrtRecorder &recorder)
{
	json request = startRequest(recorder.hostPort(), { { 1, 1 }, { 2, 2 } });
	request["videoBitrate"] = 2;
	return request;
}

void startAndReceive(ServerSession &server, SrtRecorder &recorder, const json &request)
{
	std::string answer;
	ASSERT_TRUE(server.startStream(request, answer)) << answer << "\n" << server.errors();
	ASSERT_TRUE(recorder.waitForBytes(1, kGenerousTimeout)) << "nothing arrived at the SRT listener\n"
						    << server.output() << server.errors();
}

void startAndReceive(ServerSession &server, SrtRecorder &recorder)
{
	startAndReceive(server, recorder, faultRequest(recorder));
}

// After a fault ended the worker: a new start streams to a new listener.
void expectANewStartWorks(ServerSession &server)
{
	SCOPED_TRACE("a new start streams again");
	SrtRecorder recorder;
	startAndReceive(server, recorder);
	stopAndExpectOrderlyEnd(server, recorder);
}

void reportTime(const std::string &what, Clock::duration duration)
{
	const long long milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
	testing::Test::RecordProperty(what, std::to_string(milliseconds));
	std::cout << "[ measured ] " << what << ": " << milliseconds << " ms" << std::endl;
}

// The time from start until the status reports the worker gone, or nothing.
std::optional<Clock::duration> timeUntilNotRunning(ServerSession &server, Clock::time_point start,
						   std::chrono::milliseconds timeout)
{
	if (!server.waitForRunning(false, timeout))
		return std::nullopt;
	return Clock::now() - start;
}

// After the worker's SRT output broke: its own line, then its end, seen by
// the supervisor and the status (the teardown, slow in a sanitizer build,
// comes between the line and the end).
void expectWorkerEnd(ServerSession &server, Clock::time_point lost, const std::string &measure)
{
	const std::optional<Clock::duration> ended = timeUntilNotRunning(server, lost, kGenerousTimeout);
	ASSERT_TRUE(ended) << "the worker did not end after giving up\n" << server.output();
	reportTime(measure, *ended);
	// The rest of the line is the SRT library's reason.
	static const std::regex failure(
		"\\[Worker\\] Streamer failed: Failed to write encoded (AAC )?packet to SRT output: [^\n]+\n");
	EXPECT_TRUE(std::regex_search(server.errors(), failure)) << server.errors();
	EXPECT_TRUE(server.process().waitForOutput(
		"[WorkerSupervisor] Worker PID " + server.workerPid() + " exited with code 1\n", kGenerousTimeout))
		<< server.output();
}

// Waits until the recording holds the given number of video pictures more
// than now: the stream goes on. Every 15th picture is offered to the preview.
bool waitForMorePictures(const SrtRecorder &recorder, int pictures, std::chrono::milliseconds timeout)
{
	const int target = countVideoPackets(recorder.recording()) + pictures;
	return waitUntil(
		[&] {
			// Each look reads the whole recording: not every 20 ms.
			std::this_thread::sleep_for(250ms);
			return countVideoPackets(recorder.recording()) >= target;
		},
		timeout);
}

// How many failure lines a run of failures may print since its first line:
// that one, one of another kind from a save that was under way when the
// folder broke, and one a minute after that.
size_t allowedFailureLines(Clock::time_point firstLine)
{
	return 2 + static_cast<size_t>(std::chrono::duration_cast<std::chrono::minutes>(Clock::now() - firstLine).count());
}

size_t countLinesStartingWith(const std::string &text, const std::string &prefix)
{
	size_t count = 0;
	for (size_t start = 0; start < text.size();) {
		if (text.compare(start, prefix.size(), prefix) == 0)
			++count;
		const size_t end = text.find('\n', start);
		if (end == std::string::npos)
			break;
		start = end + 1;
	}
	return count;
}

// The number in "[PreviewWriter] Preview saved again after N failed
// attempts"; 0 when there is no such line.
int failedAttemptsBeforeRecovery(const std::string &output)
{
	static const std::regex line("\\[PreviewWriter\\] Preview saved again after ([0-9]+) failed attempts?\n");
	std::smatch match;
	return std::regex_search(output, match, line) ? std::stoi(match[1].str()) : 0;
}

bool waitForPreviewPicture(ServerSession &server, std::chrono::milliseconds timeout)
{
	return waitUntil(
		[&] {
			const httplib::Result preview = server.get("/api/preview");
			return preview && preview->status == 200;
		},
		timeout);
}

// Whether the process has ended. An orphan that came to this process (see
// PR_SET_CHILD_SUBREAPER) is reaped here; any other counts as ended once it
// is gone or a zombie.
bool processEnded(pid_t pid)
{
	siginfo_t information{};
	if (waitid(P_PID, static_cast<id_t>(pid), &information, WEXITED | WNOHANG) == 0)
		return information.si_pid == pid;
	std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
	std::string text;
	if (!std::getline(stat, text))
		return true;
	const size_t nameEnd = text.rfind(')');
	return nameEnd != std::string::npos && text.size() > nameEnd + 2 && text[nameEnd + 2] == 'Z';
}

// Moves this test process (and so the programs it starts afterwards) into a
// mount namespace of its own whose mounts propagate nowhere. Needs
// CAP_SYS_ADMIN and a process with a single thread.
bool enterPrivateMountNamespace(std::string &reason)
{
	if (unshare(CLONE_NEWNS) != 0) {
		reason = std::string("no mount namespace of its own (unshare): ") + std::strerror(errno);
		return false;
	}
	if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
		reason = std::string("mounts cannot be made private: ") + std::strerror(errno);
		return false;
	}
	return true;
}

// One mount made by the test, undone when the object goes (or earlier).
class TestMount
{
public:
	// A small tmpfs on an existing directory.
	static std::unique_ptr<TestMount> smallFileSystem(const std::filesystem::path &directory,
							  const std::string &size, std::string &reason)
	{
		const std::string options = "size=" + size + ",mode=0755";
		if (mount("tmpfs", directory.c_str(), "tmpfs", 0, options.c_str()) != 0) {
			reason = std::string("tmpfs cannot be mounted: ") + std::strerror(errno);
			return nullptr;
		}
		return std::unique_ptr<TestMount>(new TestMount(directory));
	}

	// The directory itself, with what it holds, made read-only.
	static std::unique_ptr<TestMount> readOnly(const std::filesystem::path &directory, std::string &reason)
	{
		if (mount(directory.c_str(), directory.c_str(), nullptr, MS_BIND, nullptr) != 0) {
			reason = std::string("bind mount failed: ") + std::strerror(errno);
			return nullptr;
		}
		auto mounted = std::unique_ptr<TestMount>(new TestMount(directory));
		if (mount(nullptr, directory.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
			reason = std::string("read-only remount failed: ") + std::strerror(errno);
			return nullptr;
		}
		return mounted;
	}

	~TestMount() { unmount(); }
	TestMount(const TestMount &) = delete;
	TestMount &operator=(const TestMount &) = delete;

	bool unmount()
	{
		if (!mounted_)
			return true;
		mounted_ = umount2(directory_.c_str(), MNT_DETACH) != 0;
		return !mounted_;
	}

private:
	explicit TestMount(std::filesystem::path directory) : directory_(std::move(directory)) {}

	std::filesystem::path directory_;
	bool mounted_ = true;
};

// Fills the file system that holds the directory: a file grows until no
// byte more fits. True when the file system is full.
bool fillFileSystem(const std::filesystem::path &filler)
{
	const int file = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
	if (file < 0)
		return false;
	const std::string block(4096, 'x');
	bool full = false;
	for (;;) {
		const ssize_t written = ::write(file, block.data(), block.size());
		if (written < 0) {
			full = errno == ENOSPC;
			break;
		}
	}
	::close(file);
	return full;
}

} // namespace

json streamStats(ServerSession &server)
{
	const httplib::Result result = server.get("/api/stream/stats");
	return result && result->status == 200 ? json::parse(result->body, nullptr, false) : json();
}

// The listener ends at once, without closing its connection: SRT would tell
// the worker only when its peer timeout passes (about 5 s); the worker gives
// up as soon as SRT holds a second unacknowledged.
TEST(StreamFaults, ReceiverKilled)
{
	ServerSession server(testInputs);
	{
		SrtRecorder recorder;
		startAndReceive(server, recorder);
		ASSERT_TRUE(recorder.waitForBytes(100000, kGenerousTimeout));
		const Clock::time_point killed = Clock::now();
		recorder.kill();

		// libsrt's own limit is about 5 s: 20 s is that with room for a
		// busy machine.
		ASSERT_TRUE(server.process().waitForError(workerFailurePrefix, 20s))
			<< "the worker did not give up within 20 s of losing its receiver\n"
			<< server.errors();
		reportTime("receiver_killed_to_worker_failure_ms", Clock::now() - killed);
		expectWorkerEnd(server, killed, "receiver_killed_to_status_false_ms");
		EXPECT_EQ(streamStats(server)["lastExit"]["failureCode"], "srt.lost") << streamStats(server).dump(2);
	}
	expectANewStartWorks(server);
}

// The listener stops reading and answering (SIGSTOP) for 10 s: the worker
// gives up while it is frozen and does not hang on it.
TEST(StreamFaults, ReceiverFrozen)
{
	ServerSession server(testInputs);
	{
		SrtRecorder recorder;
		startAndReceive(server, recorder);
		ASSERT_TRUE(recorder.waitForBytes(100000, kGenerousTimeout));
		const Clock::time_point frozen = Clock::now();
		recorder.pause();
		const bool gaveUp = server.process().waitForError(workerFailurePrefix, 10s);
		const Clock::duration tookToGiveUp = Clock::now() - frozen;
		// Let it go (a stopped listener ends with the recorder in any case).
		recorder.resume();
		recorder.kill();
		ASSERT_TRUE(gaveUp) << "the worker did not give up within the 10 s its receiver was frozen\n"
				    << server.errors();
		reportTime("receiver_frozen_to_worker_failure_ms", tookToGiveUp);
		expectWorkerEnd(server, frozen, "receiver_frozen_to_status_false_ms");
		EXPECT_EQ(streamStats(server)["lastExit"]["failureCode"], "srt.lost") << streamStats(server).dump(2);
	}
	expectANewStartWorks(server);
}

TEST(StreamFaults, WorkerKilled)
{
	ServerSession server(testInputs);
	{
		SrtRecorder recorder;
		startAndReceive(server, recorder);
		const std::string pid = server.workerPid();
		ASSERT_FALSE(pid.empty()) << server.output();
		const Clock::time_point killed = Clock::now();
		ASSERT_EQ(::kill(std::stoi(pid), SIGKILL), 0);

		// The supervisor learns of the end at once (its pidfd wakes it);
		// 10 s bounds that promise with room for a busy machine.
		const std::optional<Clock::duration> ended = timeUntilNotRunning(server, killed, 10s);
		ASSERT_TRUE(ended) << server.output();
		reportTime("worker_killed_to_status_false_ms", *ended);
		EXPECT_TRUE(server.process().waitForOutput("[WorkerSupervisor] Worker PID " + pid +
								   " exited with code " + std::to_string(128 + SIGKILL) + "\n",
							   kGenerousTimeout))
			<< server.output();
		// Killed, it said nothing: its exit is the reason.
		EXPECT_EQ(streamStats(server)["lastExit"]["failureCode"], "worker.exited") << streamStats(server).dump(2);
		const httplib::Result stop = server.post("/api/stream/stop", "");
		ASSERT_TRUE(stop);
		EXPECT_EQ(stop->status, 200);
		EXPECT_EQ(json::parse(stop->body, nullptr, false),
			  (json{ { "status", "not_running" }, { "message", "Worker process is not running" } }))
			<< stop->body;
	}
	expectANewStartWorks(server);
}

std::string metricsText(ServerSession &server)
{
	const httplib::Result result = server.get("/metrics");
	return result && result->status == 200 ? result->body : std::string();
}

// The value of a metric without labels, or nothing.
std::optional<double> metric(const std::string &text, const std::string &name)
{
	const std::size_t at = text.find("\n" + name + " ");
	if (at == std::string::npos)
		return std::nullopt;
	return std::stod(text.substr(at + name.size() + 2));
}

// Waits until the stream is live with the worker's records coming.
void waitUntilLive(ServerSession &server)
{
	ASSERT_TRUE(waitUntil(
		[&] {
			const json document = streamStats(server);
			return document.is_object() && document["state"] == "live" && document["output"].is_object();
		},
		kGenerousTimeout))
		<< streamStats(server).dump(2) << server.output();
}

// A worker that stops (SIGSTOP) looks healthy no longer: unresponsive with
// the age of its last record after 3 s, ended as not responding after 10 s.
// With reconnection on, a new worker takes its place and goes on air.
TEST(StreamFaults, WorkerFrozen)
{
	ServerSession server(testInputs);
	for (const bool reconnect : { false, true }) {
		SCOPED_TRACE(reconnect ? "with reconnection" : "without reconnection");
		SrtRecorder recorder;
		json request = faultRequest(recorder);
		request["srtReconnect"] = reconnect;
		startAndReceive(server, recorder, request);
		waitUntilLive(server);
		const std::string pid = server.workerPid();
		ASSERT_FALSE(pid.empty());
		ASSERT_EQ(::kill(std::stoi(pid), SIGSTOP), 0);

		ASSERT_TRUE(waitUntil([&] { return streamStats(server).value("state", "") == "unresponsive"; },
				      kGenerousTimeout))
			<< streamStats(server).dump(2);
		const json silent = streamStats(server);
		EXPECT_TRUE(silent["running"]);
		EXPECT_GE(silent["statisticsAgeSeconds"].get<double>(), 3.0) << silent.dump(2);
		const std::string metrics = metricsText(server);
		EXPECT_EQ(metric(metrics, "tiloran_stream_live"), 0.0) << metrics;
		EXPECT_EQ(metric(metrics, "tiloran_stream_running"), 1.0) << metrics;
		EXPECT_GE(metric(metrics, "tiloran_statistics_age_seconds").value_or(0), 3.0) << metrics;
		// The frozen worker's last pace is no measure of the stream now.
		EXPECT_FALSE(metric(metrics, "tiloran_output_fps")) << metrics;

		const std::string ended = "[WorkerSupervisor] Worker PID " + pid + " ended: Worker stopped responding (exit code " +
					  std::to_string(128 + SIGKILL) + ")\n";
		ASSERT_TRUE(server.process().waitForOutput(ended, kGenerousTimeout)) << server.output();
		EXPECT_NE(server.output().find("[WorkerSupervisor] Worker PID " + pid + " sent no statistics for 10 s; terminating it\n"),
			  std::string::npos)
			<< server.output();
		ASSERT_TRUE(waitUntil(
			[&] {
				const json document = streamStats(server);
				return document.is_object() && document["lastExit"].is_object() &&
				       document["lastExit"]["failureCode"] == "worker.unresponsive";
			},
			kGenerousTimeout))
			<< streamStats(server).dump(2);
		EXPECT_EQ(streamStats(server)["lastExit"]["message"], "Worker stopped responding");
		EXPECT_EQ(streamStats(server)["lastExit"]["code"], 128 + SIGKILL);

		if (!reconnect) {
			ASSERT_TRUE(server.waitForRunning(false, kGenerousTimeout));
			EXPECT_EQ(streamStats(server)["state"], "failed");
			EXPECT_EQ(metric(metricsText(server), "tiloran_worker_restarts_total"), 0.0);
			continue;
		}
		// A new worker of the same configuration, counted and reported.
		ASSERT_TRUE(waitUntil([&] { return server.workerPid() != pid; }, kGenerousTimeout)) << server.output();
		waitUntilLive(server);
		const json again = streamStats(server);
		EXPECT_TRUE(again["running"]);
		EXPECT_EQ(again["workerRestarts"], 1);
		const json &events = again["events"];
		const auto restarted = std::find_if(events.begin(), events.end(),
						    [](const json &event) { return event["code"] == "worker.restarted"; });
		ASSERT_NE(restarted, events.end()) << again.dump(2);
		EXPECT_EQ((*restarted)["message"], "Worker started again in place of the one that stopped responding (restart 1)");
		EXPECT_EQ(metric(metricsText(server), "tiloran_worker_restarts_total"), 1.0);
		stopAndExpectOrderlyEnd(server, recorder);
	}
}

// A worker that does not stop in time (frozen here) is ended by force, and
// said to be: not as an orderly end with code 0.
TEST(StreamFaults, WorkerThatDoesNotStopIsTerminated)
{
	ServerSession server(testInputs);
	SrtRecorder recorder;
	startAndReceive(server, recorder);
	waitUntilLive(server);
	const std::string pid = server.workerPid();
	ASSERT_EQ(::kill(std::stoi(pid), SIGSTOP), 0);
	const httplib::Result stop = server.post("/api/stream/stop", "");
	ASSERT_TRUE(stop);
	EXPECT_EQ(stop->body, R"({"status":"stopped"})");
	EXPECT_TRUE(server.process().waitForOutput("[WorkerSupervisor] Worker PID " + pid +
							   " terminated: did not stop within 2 s (exit code " +
							   std::to_string(128 + SIGKILL) + ")\n",
						   kGenerousTimeout))
		<< server.output();
	EXPECT_EQ(server.output().find(" exited with code 0"), std::string::npos) << server.output();
	const json document = streamStats(server);
	EXPECT_EQ(document["state"], "stopped");
	EXPECT_EQ(document["lastExit"]["code"], 128 + SIGKILL);
	EXPECT_EQ(document["lastExit"]["message"], "terminated: did not stop within 2 s");
	EXPECT_EQ(document["lastExit"]["failureCode"], "worker.terminated");
}

// A server that dies without a word must not leave its worker behind, holding
// the capture cards and sending on.
TEST(StreamFaults, ServerKilled)
{
	// The worker, orphaned, then comes to this process, which sees its end
	// for itself.
	ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0) << std::strerror(errno);
	{
		ServerSession server(testInputs);
		SrtRecorder recorder;
		startAndReceive(server, recorder);
		const std::string pidText = server.workerPid();
		ASSERT_FALSE(pidText.empty()) << server.output();
		const pid_t worker = std::stoi(pidText);
		ASSERT_FALSE(processEnded(worker));

		const Clock::time_point killed = Clock::now();
		server.process().signal(SIGKILL);
		// The worker stops in order as soon as its server dies; 10 s
		// bounds that promise with room for a busy machine.
		const bool gone = waitUntil([&] { return processEnded(worker); }, 10s);
		const Clock::duration took = Clock::now() - killed;
		if (!gone) {
			::kill(worker, SIGKILL);
			waitUntil([&] { return processEnded(worker); }, kGenerousTimeout);
		}
		ASSERT_TRUE(gone) << "the worker outlived the killed server by 10 s";
		reportTime("server_killed_to_worker_gone_ms", took);
		EXPECT_EQ(server.process().waitForExit(kGenerousTimeout), std::make_optional(128 + SIGKILL));
	}
	SCOPED_TRACE("a new server streams again");
	ServerSession server(testInputs);
	expectANewStartWorks(server);
}

// Made read-only while streaming: the stream goes on, the preview keeps the
// last picture, the console gets one line and not one per picture, and the
// first picture saved afterwards says how many failed.
TEST(StreamFaults, ReadOnlyPreviewFolder)
{
	std::string reason;
	if (!enterPrivateMountNamespace(reason))
		GTEST_SKIP() << reason;
	ServerSession server(testInputs);
	SrtRecorder recorder;
	startAndReceive(server, recorder);
	ASSERT_TRUE(waitForPreviewPicture(server, kGenerousTimeout)) << server.errors();

	const std::filesystem::path previewDirectory = server.previewDirectory();
	std::unique_ptr<TestMount> readOnly = TestMount::readOnly(previewDirectory, reason);
	ASSERT_TRUE(readOnly) << reason;
	ASSERT_TRUE(server.process().waitForError(previewFailurePrefix + "Failed to open output file: " +
							  (previewDirectory / "preview.jpg.tmp").string() + "\n",
						  kGenerousTimeout))
		<< server.errors();
	const Clock::time_point firstFailure = Clock::now();
	const httplib::Result before = server.get("/api/preview");
	ASSERT_TRUE(before);
	EXPECT_EQ(before->status, 200);

	ASSERT_TRUE(waitForMorePictures(recorder, 150, kGenerousTimeout)) << "the stream did not go on\n"
									  << server.errors();
	EXPECT_TRUE(server.waitForRunning(true, 1s));
	const size_t failureLines = countLinesStartingWith(server.errors(), previewFailurePrefix);
	EXPECT_GE(failureLines, 1u);
	EXPECT_LE(failureLines, allowedFailureLines(firstFailure)) << server.errors();
	const httplib::Result during = server.get("/api/preview");
	ASSERT_TRUE(during);
	EXPECT_EQ(during->status, 200);
	EXPECT_EQ(during->body, before->body);

	ASSERT_TRUE(readOnly->unmount());
	ASSERT_TRUE(server.process().waitForOutput("[PreviewWriter] Preview saved again after ", kGenerousTimeout))
		<< server.output();
	const int failedAttempts = failedAttemptsBeforeRecovery(server.output());
	EXPECT_GT(failedAttempts, static_cast<int>(failureLines)) << server.output();
	std::cout << "[ measured ] preview saves failed while read-only: " << failedAttempts << ", lines printed: "
		  << failureLines << std::endl;
	EXPECT_EQ(server.errors().find("[Worker]"), std::string::npos) << server.errors();
	stopAndExpectOrderlyEnd(server, recorder);
}

// Removed while streaming: the next picture puts the folder back. A file in
// its place cannot be undone by the worker: the preview answers 503 and the
// console gets one line, until the file goes.
TEST(StreamFaults, RemovedPreviewFolder)
{
	ServerSession server(testInputs);
	SrtRecorder recorder;
	startAndReceive(server, recorder);
	ASSERT_TRUE(waitForPreviewPicture(server, kGenerousTimeout)) << server.errors();
	const std::filesystem::path previewDirectory = server.previewDirectory();

	{
		SCOPED_TRACE("removed");
		std::error_code error;
		std::filesystem::remove_all(previewDirectory, error);
		ASSERT_FALSE(error) << error.message();
		bool onlyPictureOr503 = true;
		ASSERT_TRUE(waitUntil(
			[&] {
				const httplib::Result preview = server.get("/api/preview");
				if (!preview)
					return false;
				onlyPictureOr503 = onlyPictureOr503 && (preview->status == 200 || preview->status == 503);
				return preview->status == 200;
			},
			kGenerousTimeout))
			<< server.errors();
		EXPECT_TRUE(onlyPictureOr503);
		EXPECT_NE(server.output().find("[PreviewWriter] Preview directory was missing, created it again: " +
					       previewDirectory.string() + "\n"),
			  std::string::npos)
			<< server.output();
	}
	{
		SCOPED_TRACE("a file in its place");
		const size_t errorsBefore = server.errors().size();
		// The writer may put the directory back between the removal and the
		// new file.
		ASSERT_TRUE(waitUntil(
			[&] {
				std::error_code ignored;
				std::filesystem::remove_all(previewDirectory, ignored);
				std::ofstream(previewDirectory) << "not a folder";
				return std::filesystem::is_regular_file(previewDirectory, ignored);
			},
			kGenerousTimeout));
		ASSERT_TRUE(server.process().waitForError(
			previewFailurePrefix + "Failed to create preview directory: Not a directory\n", kGenerousTimeout))
			<< server.errors();
		const Clock::time_point firstFailure = Clock::now();
		ASSERT_TRUE(waitForMorePictures(recorder, 150, kGenerousTimeout)) << "the stream did not go on\n"
										  << server.errors();
		EXPECT_TRUE(server.waitForRunning(true, 1s));
		const httplib::Result preview = server.get("/api/preview");
		ASSERT_TRUE(preview);
		EXPECT_EQ(preview->status, 503);
		EXPECT_EQ(json::parse(preview->body, nullptr, false),
			  (json{ { "error", "Preview not available - no preview file found" } }))
			<< preview->body;
		const size_t failureLines =
			countLinesStartingWith(server.errors().substr(errorsBefore), previewFailurePrefix);
		EXPECT_GE(failureLines, 1u);
		EXPECT_LE(failureLines, allowedFailureLines(firstFailure)) << server.errors();

		std::filesystem::remove(previewDirectory);
		ASSERT_TRUE(server.process().waitForOutput("[PreviewWriter] Preview saved again after ", kGenerousTimeout))
			<< server.output();
		const int failedAttempts = failedAttemptsBeforeRecovery(server.output());
		EXPECT_GT(failedAttempts, static_cast<int>(failureLines)) << server.output();
		std::cout << "[ measured ] preview saves failed while a file stood in the way: " << failedAttempts
			  << ", lines printed: " << failureLines << std::endl;
		EXPECT_TRUE(waitForPreviewPicture(server, kGenerousTimeout));
	}
	EXPECT_EQ(server.errors().find("[Worker]"), std::string::npos) << server.errors();
	stopAndExpectOrderlyEnd(server, recorder);
}

// The file system of worker_config.json is full: the start is refused with
// 400, the file of the last start stays as it was, and once there is room a
// start works again.
TEST(StreamFaults, ConfigurationFileSystemFull)
{
	std::string reason;
	if (!enterPrivateMountNamespace(reason))
		GTEST_SKIP() << reason;
	TemporaryDirectory configHome;
	std::unique_ptr<TestMount> fileSystem = TestMount::smallFileSystem(configHome.path(), "64k", reason);
	ASSERT_TRUE(fileSystem) << reason;
	{
		ServerSession server(testInputs, ServerSession::UserMode{ configHome.path() });
		const std::filesystem::path configPath = server.workerConfigPath();
		{
			SrtRecorder recorder;
			startAndReceive(server, recorder);
			stopAndExpectOrderlyEnd(server, recorder);
		}
		const std::string previous = readFile(configPath);
		ASSERT_FALSE(previous.empty()) << configPath;

		const std::filesystem::path filler = configHome.path() / "filler";
		ASSERT_TRUE(fillFileSystem(filler));
		SrtRecorder recorder;
		json request = faultRequest(recorder);
		request["srtStreamId"] = "another-stream";
		const httplib::Result refused = server.post("/api/stream/start", request.dump());
		ASSERT_TRUE(refused);
		EXPECT_EQ(refused->status, 400);
		EXPECT_EQ(json::parse(refused->body, nullptr, false),
			  (json{ { "error", "Failed to write worker config file: " + configPath.string() },
				 { "code", "worker.config.unwritten" } }))
			<< refused->body;
		EXPECT_EQ(readFile(configPath), previous);
		EXPECT_FALSE(std::filesystem::exists(configPath.string() + ".tmp"));
		EXPECT_TRUE(server.waitForRunning(false, 1s));

		std::filesystem::remove(filler);
		startAndReceive(server, recorder, request);
		EXPECT_NE(readFile(configPath).find("another-stream"), std::string::npos);
		stopAndExpectOrderlyEnd(server, recorder);
	}
	EXPECT_TRUE(fileSystem->unmount());
}
