#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "support/CommonTestSupport.h"

namespace tiloran::test {

// Where the build put both programs (and the worker beside the server).
std::filesystem::path binaryDirectory();
std::filesystem::path serverProgram();
std::filesystem::path workerProgram();
// A program built only for tests that takes the worker's place (exits with a
// given code or runs until killed, reports its working directory and open
// descriptors); see tests/support/StandInWorker.cpp.
std::filesystem::path standInWorkerProgram();
// Where the build put shared libraries made for tests (the fake capture driver).
std::filesystem::path libraryDirectory();
std::filesystem::path sourceDirectory();

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

// Sets (or, with no value, unsets) an environment variable for the life of
// the object and restores the previous state afterwards.
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

// Whether the programs under test keep real time: not when built with a
// sanitizer, which makes them several times slower, where tests still check
// what they produce but not at what pace.
#ifdef TILORAN_PROGRAMS_BEHIND_REAL_TIME
inline constexpr bool programsKeepRealTime = false;
#else
inline constexpr bool programsKeepRealTime = true;
#endif

// Whether a program's resident memory is its own: not when a sanitizer's
// allocator keeps freed memory in quarantine.
#ifdef TILORAN_ALLOCATOR_INSTRUMENTED
inline constexpr bool residentMemoryIsTheProgramsOwn = false;
#else
inline constexpr bool residentMemoryIsTheProgramsOwn = true;
#endif

// A TCP port on the loopback interface that nothing listened on a moment ago.
int freeTcpPort();
// A UDP port on the loopback interface (SRT runs over UDP).
int freeUdpPort();

void writeFile(const std::filesystem::path &path, const std::string &contents);

// Runs a shell command line and returns its standard output; exit status in *status.
std::string runCommand(const std::string &commandLine, int *status = nullptr);

} // namespace tiloran::test
