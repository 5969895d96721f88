#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>

#include "support/CommonTestSupport.h"

// Helpers for the Windows-only tests (the shared POSIX helpers in tests/support
// start programs with fork and exec and cannot serve here).
namespace tiloran::test {

// The directory of the running test program: the supervisor looks for the
// worker beside it.
std::filesystem::path ownDirectory();

// A fresh directory below the temporary directory, removed with everything in it.
class TemporaryDirectory
{
public:
	TemporaryDirectory();
	~TemporaryDirectory();
	TemporaryDirectory(const TemporaryDirectory &) = delete;
	TemporaryDirectory &operator=(const TemporaryDirectory &) = delete;

	const std::filesystem::path &path() const { return path_; }

private:
	std::filesystem::path path_;
};

// Sets (or, with no value, removes) a variable of the process environment that
// child processes inherit, and restores it afterwards.
class ScopedEnvironment
{
public:
	ScopedEnvironment(std::string name, std::optional<std::string> value);
	~ScopedEnvironment();
	ScopedEnvironment(const ScopedEnvironment &) = delete;
	ScopedEnvironment &operator=(const ScopedEnvironment &) = delete;

private:
	std::string name_;
	std::optional<std::string> previous_;
};

// Collects what the code under test prints on standard output (std::cout) for
// the life of the object. Lines may come from any thread.
class ConsoleCapture
{
public:
	ConsoleCapture();
	~ConsoleCapture();
	ConsoleCapture(const ConsoleCapture &) = delete;
	ConsoleCapture &operator=(const ConsoleCapture &) = delete;

	std::string text() const;
	// Waits until the captured text contains expected.
	bool waitFor(const std::string &expected, std::chrono::milliseconds timeout) const;

private:
	class Buffer : public std::streambuf
	{
	public:
		std::string text() const;

	protected:
		int_type overflow(int_type character) override;
		std::streamsize xsputn(const char *characters, std::streamsize count) override;

	private:
		mutable std::mutex mutex_;
		std::string text_;
	};

	Buffer buffer_;
	std::streambuf *previous_;
};

// A program started by a test with the test's environment changed by changes
// (a name without value is removed), its standard output and standard error
// collected through a pipe. The destructor terminates a program still running.
class RunningProgram
{
public:
	RunningProgram(const std::filesystem::path &program, const std::string &arguments,
		       const std::filesystem::path &workingDirectory,
		       const std::map<std::string, std::optional<std::string>> &changes);
	~RunningProgram();
	RunningProgram(const RunningProgram &) = delete;
	RunningProgram &operator=(const RunningProgram &) = delete;

	// Standard output and standard error so far, with CR LF line ends turned into LF.
	std::string output() const;
	bool waitForOutput(const std::string &expected, std::chrono::milliseconds timeout) const;
	// Waits until the program's end of the pipe is closed: then output() is complete.
	bool waitForOutputEnd(std::chrono::milliseconds timeout) const;
	// The exit code, or nothing when the program still runs after timeout.
	std::optional<unsigned long> waitForExit(std::chrono::milliseconds timeout);
	// Ends the program at once, as a crash would, and waits for its end.
	void terminate();

	struct State;

private:
	std::unique_ptr<State> state_;
};

struct ProgramResult {
	unsigned long exitCode = 0;
	// Standard output and standard error, with CR LF line ends turned into LF.
	std::string output;
};

// Runs a program to its end with the test's environment changed by changes (a
// name without value is removed) and returns its exit code and output. Throws
// when the program cannot be started or does not end within 60 s.
ProgramResult runProgram(const std::filesystem::path &program, const std::string &arguments,
			 const std::filesystem::path &workingDirectory,
			 const std::map<std::string, std::optional<std::string>> &changes);

// The system's text for an error code, as FormatMessageA gives it.
std::string systemMessage(unsigned long errorCode);

} // namespace tiloran::test
