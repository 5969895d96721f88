#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/platform/ChannelStream.h"

namespace tiloran::platform {

// File name of the worker program on this platform.
std::string workerExecutableName();

// Full path of the running server's executable, or an empty string when the
// system cannot tell it (or would cut it off).
std::string ownExecutablePath();

// Whether anything exists at the path. Errors that mean "not there" (missing
// file or directory, bad network path, invalid name) count as absence; any
// other error is thrown as std::filesystem::filesystem_error for "exists".
bool pathExists(const std::filesystem::path &path);

// The exit code of a process ended by ProcessHandle::terminate(): 128 + 9, as
// a shell reports a process killed by SIGKILL, on every platform.
inline constexpr std::uint32_t terminatedExitCode = 137;

// One variable of a child's environment.
struct EnvironmentVariable {
	std::string name;
	std::string value;
};

enum class WaitResult {
	Ended,
	TimedOut,
	Failed,
};

enum class ActiveState {
	Active,
	Ended,
	Unknown,
};

// One launched child process; owns the system's handles for it and closes
// them on destruction.
//
// Threading: waitForEnd(), queryActive() and terminate() may run at the same
// time on different threads. close() and assignment only when no other thread
// uses the object.
class ProcessHandle
{
public:
	ProcessHandle();
	~ProcessHandle();
	ProcessHandle(ProcessHandle &&other) noexcept;
	ProcessHandle &operator=(ProcessHandle &&other) noexcept;
	ProcessHandle(const ProcessHandle &) = delete;
	ProcessHandle &operator=(const ProcessHandle &) = delete;

	explicit operator bool() const;
	std::uint32_t id() const;

	// Waits at most timeout for the end of the process. On Ended the exit
	// code is filled (terminatedExitCode after terminate()) and the process
	// is reaped; on Failed message says why.
	WaitResult waitForEnd(std::chrono::milliseconds timeout, std::uint32_t &exitCode,
			      std::string &message) const;

	// Whether the process still runs, without reaping it.
	ActiveState queryActive() const;

	// Asks the system to end the process at once; does not wait for it.
	bool terminate(std::string &message) const;

	void close();

	struct State;

private:
	explicit ProcessHandle(std::unique_ptr<State> state);
	friend class ProcessLauncher;

	std::unique_ptr<State> state_;
};

// Creates child processes that share the server's console and environment,
// inherit no other handle but the end of a private channel, if given, and
// run in a given working directory.
//
// On POSIX the launcher owns one thread that performs every launch: the child
// asks to be killed when its launching thread ends, so that thread has to live
// as long as the children may run. On Windows the launcher owns a job object
// that ends its children when it is closed, also when the server dies. Destroy
// the launcher only after its children have ended.
//
// Threading: launch() may be called from any thread; calls are serialised.
class ProcessLauncher
{
public:
	ProcessLauncher();
	~ProcessLauncher();
	ProcessLauncher(const ProcessLauncher &) = delete;
	ProcessLauncher &operator=(const ProcessLauncher &) = delete;

	// Starts program with the arguments (not including the program itself).
	// An empty working directory keeps the server's own. The child inherits
	// channel (may be null), named to it by the variable channelVariable;
	// the caller closes its own copy afterwards. variables are set in the
	// child's environment, in place of the server's own of those names.
	// Returns false with the system's error text when the process could not
	// be created or the program could not be run.
	bool launch(const std::string &program, const std::vector<std::string> &arguments,
		    const std::string &workingDirectory, const ChannelStream *channel,
		    const std::vector<EnvironmentVariable> &variables, ProcessHandle &process, std::string &message);

	struct Private;

private:
	std::unique_ptr<Private> private_;
};

} // namespace tiloran::platform
