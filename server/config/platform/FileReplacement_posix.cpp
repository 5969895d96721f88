#include "config/platform/FileReplacement.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tiloran {

namespace {

class FileDescriptor
{
public:
	explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
	~FileDescriptor()
	{
		if (descriptor_ >= 0)
			::close(descriptor_);
	}
	FileDescriptor(const FileDescriptor &) = delete;
	FileDescriptor &operator=(const FileDescriptor &) = delete;

	int get() const { return descriptor_; }
	bool isValid() const { return descriptor_ >= 0; }

	// Closing can report a late write error, so it is checked where it matters.
	bool close()
	{
		const int descriptor = descriptor_;
		descriptor_ = -1;
		return ::close(descriptor) == 0;
	}

private:
	int descriptor_;
};

bool writeAll(int descriptor, std::string_view contents)
{
	while (!contents.empty()) {
		const ssize_t written = ::write(descriptor, contents.data(), contents.size());
		if (written < 0) {
			if (errno == EINTR)
				continue;
			return false;
		}
		contents.remove_prefix(static_cast<size_t>(written));
	}
	return true;
}

} // namespace

FileReplaceResult replaceFileContents(const std::filesystem::path &target, std::string_view contents)
{
	const std::string temporary = target.native() + ".tmp";

	// A temporary file left by a crash is replaced; creating the new one
	// exclusively guarantees the owner-only mode and never follows a link.
	::unlink(temporary.c_str());
	FileDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR));
	if (!file.isValid())
		return FileReplaceResult::OpenFailed;

	const bool written = writeAll(file.get(), contents) && ::fsync(file.get()) == 0;
	if (!file.close() || !written || ::rename(temporary.c_str(), target.c_str()) != 0) {
		::unlink(temporary.c_str());
		return FileReplaceResult::WriteFailed;
	}

	// Make the rename itself durable; the file is in place either way.
	std::filesystem::path directory = target.parent_path();
	if (directory.empty())
		directory = ".";
	FileDescriptor directoryHandle(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
	if (directoryHandle.isValid())
		::fsync(directoryHandle.get());

	return FileReplaceResult::Replaced;
}

} // namespace tiloran
