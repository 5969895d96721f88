#include "WorkerSupervisor.h"

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

bool WorkerSupervisor::start(int port, std::string &error)
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
	platform::ProcessHandle process;
	std::string message;
	if (!launcher_.launch(path, { "start", std::to_string(port) }, workingDirectory, process, message)) {
		error = "Failed to start Worker: " + message;
		return false;
	}

	std::uint32_t processId = process.id();
	{
		std::lock_guard lock(mutex_);
		process_ = std::move(process);
		processId_ = processId;
		running_ = true;
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

	std::lock_guard lock(mutex_);
	clearRecord();
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
	{
		std::lock_guard lock(mutex_);
		if (!process_ || !running_) {
			error = "Worker process is not running";
			printLine("[WorkerSupervisor] " + error);
			return true;
		}

		if (process_.queryActive() == platform::ActiveState::Active) {
			printLine("[WorkerSupervisor] Terminating Worker process PID " + std::to_string(processId_));
			std::string message;
			if (!process_.terminate(message)) {
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
