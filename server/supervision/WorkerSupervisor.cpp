#include "supervision/WorkerSupervisor.h"

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "common/ConsoleLine.h"
#include "common/HexText.h"
#include "common/platform/SecureRandom.h"
#include "common/WorkerKey.h"

namespace tiloran {

namespace {

// The end of the process wakes the monitor at once; between, it looks at
// the worker's records this often.
constexpr std::chrono::milliseconds watchSlice{ 250 };
// Opening an encoder takes a moment; one that takes longer than this is not usable.
constexpr std::chrono::seconds encoderCheckLimit{ 10 };
constexpr std::size_t maxEncoderAnswerBytes = 64 * 1024;

} // namespace

WorkerSupervisor::WorkerSupervisor() : workerKey_(hexText(platform::secureRandomBytes(32))) {}

WorkerSupervisor::WorkerSupervisor(std::string workerProgram)
	: workerProgram_(std::move(workerProgram)), workerKey_(hexText(platform::secureRandomBytes(32)))
{
}

WorkerSupervisor::~WorkerSupervisor()
{
	std::string ignored;
	stop(ignored);
	if (monitorThread_.joinable())
		monitorThread_.join();
}

std::string WorkerSupervisor::workerPath() const
{
	if (!workerProgram_.empty())
		return workerProgram_;

	std::string ownPath = platform::ownExecutablePath();
	if (ownPath.empty())
		return platform::workerExecutableName();
	return (std::filesystem::path(ownPath).parent_path() / platform::workerExecutableName()).string();
}

std::map<std::string, bool> WorkerSupervisor::checkEncoders(const std::vector<std::string> &names,
							      std::stop_token abandon, std::string &message)
{
	const std::string path = workerPath();
	if (!platform::pathExists(path)) {
		message = "Worker executable not found: " + path;
		return {};
	}
	platform::ChannelStream serverEnd;
	platform::ChannelStream workerEnd;
	if (!platform::ChannelStream::createPair(serverEnd, workerEnd, message))
		return {};
	std::vector<std::string> arguments{ "encoders" };
	arguments.insert(arguments.end(), names.begin(), names.end());
	platform::ProcessHandle process;
	// No key: this worker reads no configuration.
	const bool launched = launcher_.launch(path, arguments, std::filesystem::path(path).parent_path().string(),
					       &workerEnd, {}, process, message);
	workerEnd = platform::ChannelStream();
	if (!launched)
		return {};

	// The answer ends with the worker; one that hangs, or is no longer
	// wanted, is ended, which ends the answer too.
	std::thread guard([&process, abandon] {
		std::uint32_t exitCode = 0;
		std::string ignored;
		const auto giveUp = std::chrono::steady_clock::now() + encoderCheckLimit;
		while (process.waitForEnd(watchSlice, exitCode, ignored) == platform::WaitResult::TimedOut) {
			if (abandon.stop_requested() || std::chrono::steady_clock::now() >= giveUp) {
				process.terminate(ignored);
				process.waitForEnd(encoderCheckLimit, exitCode, ignored);
				return;
			}
		}
	});
	std::string answer;
	char buffer[4096];
	long count = 0;
	while (answer.size() < maxEncoderAnswerBytes && (count = serverEnd.read(buffer, sizeof buffer)) > 0)
		answer.append(buffer, static_cast<std::size_t>(count));
	serverEnd.interrupt();
	guard.join();

	std::map<std::string, bool> available;
	const nlohmann::json document = nlohmann::json::parse(answer, nullptr, false);
	if (document.is_object() && document.value("type", "") == "encoders" && document.contains("encoders") &&
	    document["encoders"].is_array()) {
		for (const nlohmann::json &entry : document["encoders"]) {
			if (entry.is_object() && entry.contains("name") && entry["name"].is_string() &&
			    entry.contains("available") && entry["available"].is_boolean())
				available[entry["name"].get<std::string>()] = entry["available"].get<bool>();
		}
	}
	if (available.empty())
		message = abandon.stop_requested() ? "the server is stopping" : "the worker gave no answer";
	return available;
}

bool WorkerSupervisor::start(int port, std::string &error, nlohmann::json runSettings, bool restartWhenUnresponsive)
{
	StartProblem problem;
	return start(port, error, problem, std::move(runSettings), restartWhenUnresponsive);
}

bool WorkerSupervisor::start(int port, std::string &error, StartProblem &problem, nlohmann::json runSettings,
			     bool restartWhenUnresponsive)
{
	std::lock_guard operation(operationMutex_);
	{
		std::lock_guard lock(mutex_);
		if (running_) {
			error = workerAlreadyRunningMessage;
			problem = StartProblem::AlreadyRunning;
			return false;
		}
	}

	// The monitor of a previous worker has ended or is about to.
	if (monitorThread_.joinable())
		monitorThread_.join();

	{
		std::lock_guard lock(mutex_);
		port_ = port;
		restartWhenUnresponsive_ = restartWhenUnresponsive;
		runSettings_ = std::move(runSettings);
		stopping_ = false;
	}
	if (!launch(error, problem))
		return false;
	monitorThread_ = std::thread([this] { monitorWorker(); });
	return true;
}

bool WorkerSupervisor::launch(std::string &error, StartProblem &problem)
{
	std::string path = workerPath();
	if (!platform::pathExists(path)) {
		error = "Worker executable not found: " + path;
		problem = StartProblem::ProgramMissing;
		return false;
	}
	problem = StartProblem::LaunchFailed;

	std::string workingDirectory = std::filesystem::path(path).parent_path().string();
	platform::ChannelStream serverEnd;
	platform::ChannelStream workerEnd;
	std::string message;
	if (!platform::ChannelStream::createPair(serverEnd, workerEnd, message)) {
		error = "Failed to start Worker: " + message;
		return false;
	}
	platform::ProcessHandle process;
	const bool launched = launcher_.launch(path, { "start", std::to_string(port_) }, workingDirectory, &workerEnd,
					       { { workerKeyVariable, workerKey_ } }, process, message);
	// Only the worker may hold its end, so that the server reads the end of
	// the stream when the worker is gone.
	workerEnd = platform::ChannelStream();
	if (!launched) {
		error = "Failed to start Worker: " + message;
		return false;
	}

	std::uint32_t processId = process.id();
	// The run is recorded before its worker's first line is read, which
	// would otherwise belong to no run; the previous worker's link has said
	// all it will before.
	link_.reset();
	statistics_.workerStarted(processId, runSettings_);
	link_ = std::make_unique<WorkerLink>(std::move(serverEnd), statistics_);
	{
		std::lock_guard lock(mutex_);
		process_ = std::move(process);
		processId_ = processId;
		running_ = true;
		terminated_ = false;
		unresponsive_ = false;
	}

	printLine("[WorkerSupervisor] Worker started: " + path);
	printLine("[WorkerSupervisor] Worker PID: " + std::to_string(processId));
	return true;
}

void WorkerSupervisor::monitorWorker()
{
	for (;;) {
		std::uint32_t processId;
		{
			std::lock_guard lock(mutex_);
			if (!process_)
				return;
			processId = processId_;
		}
		std::uint32_t exitCode = 0;
		std::string message;
		platform::WaitResult result;
		// Only this thread replaces the handle, and stop() closes it only
		// after joining this thread, so it stays valid while we wait
		// without the lock.
		while ((result = process_.waitForEnd(watchSlice, exitCode, message)) == platform::WaitResult::TimedOut)
			watchRecords(processId);

		StreamStatistics::Ending ending = StreamStatistics::Ending::ByItself;
		{
			std::lock_guard lock(mutex_);
			if (unresponsive_)
				ending = StreamStatistics::Ending::Unresponsive;
			else if (terminated_)
				ending = StreamStatistics::Ending::TerminatedAfterStop;
		}
		const std::string worker = "[WorkerSupervisor] Worker PID " + std::to_string(processId);
		const std::string code = " (exit code " + std::to_string(exitCode) + ")";
		if (result != platform::WaitResult::Ended)
			printLine("[WorkerSupervisor] Worker monitor failed: " + message);
		else if (ending == StreamStatistics::Ending::Unresponsive)
			printLine(worker + " ended: " + StreamStatistics::unresponsiveReason + code);
		else if (ending == StreamStatistics::Ending::TerminatedAfterStop)
			printLine(worker + " " + StreamStatistics::terminatedReason + code);
		else
			printLine(worker + " exited with code " + std::to_string(exitCode));

		// What the worker said last (why it failed) is read before its end
		// is recorded; the channel closes with the process.
		link_->awaitEnd(std::chrono::seconds(1));
		statistics_.workerEnded(exitCode, ending);

		if (ending == StreamStatistics::Ending::Unresponsive && restartWhenUnresponsive_ && launchInPlace())
			continue;
		std::lock_guard lock(mutex_);
		clearRecord();
		ended_.notify_all();
		return;
	}
}

void WorkerSupervisor::watchRecords(std::uint32_t processId)
{
	const std::optional<std::chrono::steady_clock::duration> silence = statistics_.recordSilence();
	if (!silence || *silence < unresponsiveAfter)
		return;
	statistics_.workerUnresponsive(*silence);
	if (*silence < endUnresponsiveAfter)
		return;

	std::lock_guard lock(mutex_);
	// A stop in progress ends the worker its own way.
	if (unresponsive_ || stopping_)
		return;
	printLine("[WorkerSupervisor] Worker PID " + std::to_string(processId) + " sent no statistics for " +
		  std::to_string(endUnresponsiveAfter.count()) + " s; terminating it");
	std::string message;
	if (process_.terminate(message))
		unresponsive_ = true;
	else
		printLine("[WorkerSupervisor] Failed to terminate Worker: " + message);
}

bool WorkerSupervisor::launchInPlace()
{
	// stop() holds the lock while it joins this thread: wait for it only
	// as long as no stop has begun.
	std::unique_lock operation(operationMutex_, std::defer_lock);
	for (;;) {
		{
			std::lock_guard lock(mutex_);
			if (stopping_)
				return false;
		}
		if (operation.try_lock())
			break;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	{
		std::lock_guard lock(mutex_);
		if (stopping_)
			return false;
		process_.close();
		processId_ = 0;
	}
	std::string error;
	StartProblem problem;
	if (!launch(error, problem)) {
		printLine("[WorkerSupervisor] Failed to start the Worker again: " + error);
		return false;
	}
	statistics_.workerRestarted();
	return true;
}

void WorkerSupervisor::clearRecord()
{
	process_.close();
	processId_ = 0;
	running_ = false;
}

bool WorkerSupervisor::stop(std::string &error)
{
	std::lock_guard operation(operationMutex_);
	bool active = false;
	{
		std::lock_guard lock(mutex_);
		stopping_ = true;
		if (!process_ || !running_) {
			error = "Worker process is not running";
			printLine("[WorkerSupervisor] " + error);
			return true;
		}
		active = process_.queryActive() == platform::ActiveState::Active;
		if (active)
			printLine("[WorkerSupervisor] Terminating Worker process PID " + std::to_string(processId_));
	}

	if (active) {
		// Asked first, the worker closes its output (the receiver learns
		// of the end at once) and exits by itself.
		statistics_.stopRequested();
		const bool asked = link_->requestStop();
		std::unique_lock lock(mutex_);
		if (asked)
			ended_.wait_for(lock, stopGrace, [this] { return !running_; });
		if (running_ && process_.queryActive() == platform::ActiveState::Active) {
			terminated_ = true;
			std::string message;
			if (!process_.terminate(message)) {
				terminated_ = false;
				error = "Failed to terminate Worker: " + message;
				return false;
			}
		}
	}

	if (monitorThread_.joinable())
		monitorThread_.join();

	std::lock_guard lock(mutex_);
	clearRecord();
	return true;
}

bool WorkerSupervisor::isRunning()
{
	std::lock_guard lock(mutex_);
	return running_;
}

} // namespace tiloran
