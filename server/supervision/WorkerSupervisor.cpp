#include "supervision/WorkerSupervisor.h"

#include <chrono>
#include <filesystem>

#include "common/ConsoleLine.h"

namespace tiloran {

namespace {

constexpr std::chrono::milliseconds monitorSlice{ 1000 };

} // namespace

WorkerSupervisor::WorkerSupervisor() = default;

WorkerSupervisor::WorkerSupervisor(std::string workerProgram)
	: workerProgram_(std::move(workerProgram))
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

bool WorkerSupervisor::start(int port, std::string &error, nlohmann::json runSettings)
{
	std::lock_guard operation(operationMutex_);
	{
		std::lock_guard lock(mutex_);
		if (running_) {
			error = workerAlreadyRunningMessage;
			return false;
		}
	}

	// The monitor of a previous worker has ended or is about to.
	if (monitorThread_.joinable())
		monitorThread_.join();

	std::string path = workerPath();
	if (!platform::pathExists(path)) {
		error = "Worker executable not found: " + path;
		return false;
	}

	std::string workingDirectory = std::filesystem::path(path).parent_path().string();
	platform::ChannelStream serverEnd;
	platform::ChannelStream workerEnd;
	std::string message;
	if (!platform::ChannelStream::createPair(serverEnd, workerEnd, message)) {
		error = "Failed to start Worker: " + message;
		return false;
	}
	platform::ProcessHandle process;
	const bool launched = launcher_.launch(path, { "start", std::to_string(port) }, workingDirectory, &workerEnd,
					       process, message);
	// Only the worker may hold its end, so that the server reads the end of
	// the stream when the worker is gone.
	workerEnd = platform::ChannelStream();
	if (!launched) {
		error = "Failed to start Worker: " + message;
		return false;
	}

	std::uint32_t processId = process.id();
	link_ = std::make_unique<WorkerLink>(std::move(serverEnd), statistics_);
	statistics_.workerStarted(processId, std::move(runSettings));
	{
		std::lock_guard lock(mutex_);
		process_ = std::move(process);
		processId_ = processId;
		running_ = true;
		terminated_ = false;
	}

	printLine("[WorkerSupervisor] Worker started: " + path);
	printLine("[WorkerSupervisor] Worker PID: " + std::to_string(processId));

	monitorThread_ = std::thread([this] { monitorWorker(); });
	return true;
}

void WorkerSupervisor::monitorWorker()
{
	std::uint32_t processId;
	std::uint32_t exitCode = 0;
	std::string message;
	platform::WaitResult result;
	do {
		{
			std::lock_guard lock(mutex_);
			if (!process_)
				return;
			processId = processId_;
		}
		// Only stop() closes the handle, and only after joining this
		// thread, so it stays valid while we wait without the lock.
		result = process_.waitForEnd(monitorSlice, exitCode, message);
	} while (result == platform::WaitResult::TimedOut);

	if (result == platform::WaitResult::Ended)
		printLine("[WorkerSupervisor] Worker PID " + std::to_string(processId) + " exited with code " +
			  std::to_string(exitCode));
	else
		printLine("[WorkerSupervisor] Worker monitor failed: " + message);

	// What the worker said last (why it failed) is read before its end is
	// recorded; the channel closes with the process.
	link_->awaitEnd(std::chrono::seconds(1));
	bool terminated;
	{
		std::lock_guard lock(mutex_);
		terminated = terminated_;
	}
	statistics_.workerEnded(exitCode, terminated);

	std::lock_guard lock(mutex_);
	clearRecord();
	ended_.notify_all();
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
