#include "CommonTestSupport.h"

#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

namespace tiloran::test {

ScopedWorkingDirectory::ScopedWorkingDirectory(const std::filesystem::path &directory)
	: previous_(std::filesystem::current_path())
{
	std::filesystem::current_path(directory);
}

ScopedWorkingDirectory::~ScopedWorkingDirectory()
{
	std::error_code ignored;
	std::filesystem::current_path(previous_, ignored);
}

std::string readFile(const std::filesystem::path &path)
{
	std::ifstream stream(path, std::ios::binary);
	std::ostringstream contents;
	contents << stream.rdbuf();
	return contents.str();
}

bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout)
{
	const auto deadline = std::chrono::steady_clock::now() + timeout;
	for (;;) {
		if (condition())
			return true;
		if (std::chrono::steady_clock::now() >= deadline)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
}

} // namespace tiloran::test
