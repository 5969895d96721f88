#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace tiloran::test {

// A real program started by a test, with its standard output and standard
// error captured in files so that a test can read them while it runs and
// after it has ended. The destructor kills and reaps a program still running.
//
// Threading: one test thread owns the object and calls everything.
class ChildProcess
{
public:
	struct Options {
		std::filesystem::path workingDirectory; // empty: the test's own
		std::map<std::string, std::string> setEnvironment;
		std::vector<std::string> unsetEnvironment;
		// A descriptor of the test's that the program gets as descriptor 3,
		// where a worker finds the channel its server gave it.
		int channelDescriptor = -1;
	};

	ChildProcess(const std::filesystem::path &program, const std::vector<std::string> &arguments,
		     const Options &options);
	ChildProcess(const std::filesystem::path &program, const std::vector<std::string> &arguments);
	~ChildProcess();

	ChildProcess(const ChildProcess &) = delete;
	ChildProcess &operator=(const ChildProcess &) = delete;

	pid_t pid() const { return pid_; }

	// Sends a signal; does not wait. Nothing once the end has been seen.
	void signal(int signalNumber) const;

	// Waits for the end of the program; returns its exit status (128 + signal
	// number for a program ended by a signal), or nothing after the timeout.
	std::optional<int> waitForExit(std::chrono::milliseconds timeout);

	bool running();

	std::string standardOutput() const;
	std::string standardError() const;

	// Waits until the captured standard output (or error) contains text.
	bool waitForOutput(const std::string &text, std::chrono::milliseconds timeout) const;
	bool waitForError(const std::string &text, std::chrono::milliseconds timeout) const;

private:
	pid_t pid_ = -1;
	std::optional<int> exitStatus_;
	std::filesystem::path outputDirectory_;
};

} // namespace tiloran::test
