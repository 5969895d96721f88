#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

// Helpers that the POSIX tests and the Windows tests share: nothing here
// starts a program or touches what differs between the systems.
namespace tiloran::test {

// Changes the working directory for the life of the object.
class ScopedWorkingDirectory
{
public:
	explicit ScopedWorkingDirectory(const std::filesystem::path &directory);
	~ScopedWorkingDirectory();
	ScopedWorkingDirectory(const ScopedWorkingDirectory &) = delete;
	ScopedWorkingDirectory &operator=(const ScopedWorkingDirectory &) = delete;

private:
	std::filesystem::path previous_;
};

// The whole file; empty when it cannot be read.
std::string readFile(const std::filesystem::path &path);

// The bound of a wait for something that is bound to happen: far more than a
// loaded two-core machine running the sanitizer build needs, so that only a
// hang ends the wait. A wait for something that must not happen, or for a
// time limit of the product, states its own bound.
inline constexpr std::chrono::seconds kGenerousTimeout{ 60 };

// Polls the condition every 20 ms until it holds or the timeout passes.
bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout);

} // namespace tiloran::test
