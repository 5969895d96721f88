#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "supervision/platform/WorkerProcess.h"
#include "supervision/StreamStatistics.h"
#include "supervision/WorkerLink.h"

namespace tiloran {

// Why a start is refused while a worker runs.
inline constexpr const char *workerAlreadyRunningMessage = "Worker process is already running";

// Runs the media worker as a child process of the server: launches it beside
// the server's own executable with the server's HTTP port on its command line
// and a private channel, watches it from a monitor thread, logs how it ended,
// and stops it on request: first by asking it over the channel, then, after
// stopGrace, by terminating it. At most one worker exists at a time. What the
// worker reports over the channel goes to statistics(). A worker whose
// statistics records stop coming is reported unresponsive after
// unresponsiveAfter and terminated after endUnresponsiveAfter; if asked at its
// start, a new worker then takes its place (it fetches the same configuration).
//
// Threading: start(), stop() and isRunning() are called from the HTTP
// library's worker threads, possibly at the same time, and stop() from the
// destructor on the main thread. The monitor thread runs monitorWorker() and
// only touches the record under mutex_. start(), stop() and the monitor's
// launch of a worker in place of an unresponsive one are serialised as a whole
// by operationMutex_, so that two of them never launch two workers or join the
// monitor twice; the monitor only tries for it, and gives up once a stop has
// begun (stop() joins it holding the lock). mutex_ is held only for short
// reads and writes of the record, never while waiting for the process or
// joining the monitor.
class WorkerSupervisor
{
public:
	// The worker is the program "zenvo_tiloran_worker" beside the server.
	WorkerSupervisor();
	// Runs another program in the worker's place (tests).
	explicit WorkerSupervisor(std::string workerProgram);
	~WorkerSupervisor();

	WorkerSupervisor(const WorkerSupervisor &) = delete;
	WorkerSupervisor &operator=(const WorkerSupervisor &) = delete;

	// How long a worker asked to stop may take to end by itself.
	static constexpr std::chrono::seconds stopGrace{ 2 };
	// How long a worker that has sent statistics records may go without.
	static constexpr std::chrono::seconds unresponsiveAfter{ 3 };
	static constexpr std::chrono::seconds endUnresponsiveAfter{ 10 };

	// runSettings: the worker configuration document of the run, which the
	// statistics keep (without its secret) as the settings on air.
	// restartWhenUnresponsive: start a new worker in place of one ended
	// for sending no records (as long as no stop comes).
	bool start(int port, std::string &error, nlohmann::json runSettings = nullptr,
		   bool restartWhenUnresponsive = false);
	// Why start() did not start a worker, for a caller that acts on it.
	enum class StartProblem { AlreadyRunning, ProgramMissing, LaunchFailed };
	// The same, with the reason it did not in problem as well.
	bool start(int port, std::string &error, StartProblem &problem, nlohmann::json runSettings,
		   bool restartWhenUnresponsive);
	// Returns false only when terminating a running worker failed; sets
	// error to "Worker process is not running" when there was none.
	bool stop(std::string &error);
	bool isRunning();

	StreamStatistics &statistics() { return statistics_; }

	// Which of the named H.264 encoders the worker can open on this machine
	// (its "encoders" command, answered on its channel), encoder name to
	// whether it can. Empty with a message when the worker could not tell or
	// when abandon was requested, which ends the asking worker at once.
	// Independent of start() and stop(): any thread, also while a stream runs.
	std::map<std::string, bool> checkEncoders(const std::vector<std::string> &names, std::stop_token abandon,
						  std::string &message);
	// The key every worker of this supervisor gets in its environment and
	// shows to read its configuration's secrets. Fixed at construction;
	// any thread.
	const std::string &workerKey() const { return workerKey_; }

private:
	std::string workerPath() const;
	// Launches a worker and fills the record; operationMutex_ held.
	bool launch(std::string &error, StartProblem &problem);
	void monitorWorker();
	// Between waits for the end: whether the records still come.
	void watchRecords(std::uint32_t processId);
	// Replaces an unresponsive worker that has ended; false when a stop has
	// begun or the launch failed.
	bool launchInPlace();
	void clearRecord();

	std::mutex operationMutex_;
	std::mutex mutex_;
	// Signalled when the monitor has cleared the record.
	std::condition_variable ended_;
	std::thread monitorThread_;
	bool running_ = false;
	// stop() had to terminate the worker after the grace period.
	bool terminated_ = false;
	// The monitor terminated the worker for sending no records.
	bool unresponsive_ = false;
	// From the start of stop() to the next start().
	bool stopping_ = false;
	// As given to start(); read by the monitor.
	int port_ = 0;
	bool restartWhenUnresponsive_ = false;
	nlohmann::json runSettings_;
	platform::ProcessHandle process_;
	std::uint32_t processId_ = 0;

	StreamStatistics statistics_;
	// The current or last worker's channel; replaced by start() and read
	// by the monitor, which start() and stop() join first.
	std::unique_ptr<WorkerLink> link_;

	std::string workerProgram_;
	const std::string workerKey_;
	// Declared last: on POSIX its thread must outlive every worker.
	platform::ProcessLauncher launcher_;
};

} // namespace tiloran
