#include "FakeCardControl.h"

#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fakecard {

ControlReader::ControlReader()
{
	const char *path = std::getenv("TILORAN_FAKE_DECKLINK_CONTROL");
	if (!path)
		return;
	path_ = path;
	struct stat status {};
	if (::stat(path_.c_str(), &status) == 0)
		offset_ = std::uint64_t(status.st_size);
}

std::vector<std::string> ControlReader::newLines()
{
	std::vector<std::string> lines;
	if (path_.empty())
		return lines;
	struct stat status {};
	if (::stat(path_.c_str(), &status) != 0 || std::uint64_t(status.st_size) <= offset_)
		return lines;
	const int file = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
	if (file < 0)
		return lines;
	char buffer[4096];
	ssize_t count = 0;
	while ((count = ::pread(file, buffer, sizeof(buffer), off_t(offset_))) > 0) {
		offset_ += std::uint64_t(count);
		partial_.append(buffer, std::size_t(count));
	}
	::close(file);
	std::size_t end = 0;
	while ((end = partial_.find('\n')) != std::string::npos) {
		lines.push_back(partial_.substr(0, end));
		partial_.erase(0, end + 1);
	}
	return lines;
}

void reportLine(const std::string &line)
{
	const char *path = std::getenv("TILORAN_FAKE_DECKLINK_REPORT");
	if (!path)
		return;
	const int file = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
	if (file < 0)
		return;
	const std::string whole = line + "\n";
	[[maybe_unused]] const ssize_t written = ::write(file, whole.data(), whole.size());
	::close(file);
}

} // namespace fakecard
