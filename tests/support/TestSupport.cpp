#include "support/TestSupport.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tiloran::test {

std::filesystem::path binaryDirectory()
{
	return TILORAN_BIN_DIR;
}

std::filesystem::path serverProgram()
{
	return binaryDirectory() / "tiloran_server";
}

std::filesystem::path workerProgram()
{
	return binaryDirectory() / "zenvo_tiloran_worker";
}

std::filesystem::path standInWorkerProgram()
{
	return TILORAN_STAND_IN_WORKER;
}

std::filesystem::path libraryDirectory()
{
	return TILORAN_LIB_DIR;
}

std::filesystem::path sourceDirectory()
{
	return TILORAN_SOURCE_DIR;
}

TemporaryDirectory::TemporaryDirectory()
{
	std::string pattern = (std::filesystem::temp_directory_path() / "tiloran-test-XXXXXX").string();
	if (!mkdtemp(pattern.data()))
		throw std::runtime_error("mkdtemp failed");
	path_ = std::filesystem::canonical(pattern);
}

TemporaryDirectory::~TemporaryDirectory()
{
	std::error_code ignored;
	std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
				     std::filesystem::perm_options::add, ignored);
	std::filesystem::remove_all(path_, ignored);
}

ScopedEnvironment::ScopedEnvironment(std::string name, std::optional<std::string> value)
	: name_(std::move(name))
{
	if (const char *current = std::getenv(name_.c_str()))
		previous_ = current;
	if (value)
		setenv(name_.c_str(), value->c_str(), 1);
	else
		unsetenv(name_.c_str());
}

ScopedEnvironment::~ScopedEnvironment()
{
	if (previous_)
		setenv(name_.c_str(), previous_->c_str(), 1);
	else
		unsetenv(name_.c_str());
}

namespace {

int freePort(int type)
{
	const int fd = ::socket(AF_INET, type, 0);
	if (fd < 0)
		throw std::runtime_error("socket failed");
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	address.sin_port = 0;
	socklen_t length = sizeof(address);
	if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
	    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
		::close(fd);
		throw std::runtime_error("cannot find a free port");
	}
	::close(fd);
	return ntohs(address.sin_port);
}

} // namespace

int freeTcpPort()
{
	return freePort(SOCK_STREAM);
}

int freeUdpPort()
{
	return freePort(SOCK_DGRAM);
}

void writeFile(const std::filesystem::path &path, const std::string &contents)
{
	std::ofstream stream(path, std::ios::binary | std::ios::trunc);
	stream << contents;
	if (!stream)
		throw std::runtime_error("cannot write " + path.string());
}

std::string runCommand(const std::string &commandLine, int *status)
{
	FILE *pipe = ::popen(commandLine.c_str(), "r");
	if (!pipe)
		throw std::runtime_error("popen failed: " + commandLine);
	std::string output;
	std::array<char, 4096> buffer{};
	size_t count = 0;
	while ((count = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
		output.append(buffer.data(), count);
	const int result = ::pclose(pipe);
	if (status)
		*status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
	return output;
}

} // namespace tiloran::test
