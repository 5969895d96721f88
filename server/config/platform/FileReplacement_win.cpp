#include "config/platform/FileReplacement.h"

#include <string>

#include <windows.h>

namespace tiloran {

namespace {

class FileHandle
{
public:
	explicit FileHandle(HANDLE handle) : handle_(handle) {}
	~FileHandle()
	{
		if (handle_ != INVALID_HANDLE_VALUE)
			CloseHandle(handle_);
	}
	FileHandle(const FileHandle &) = delete;
	FileHandle &operator=(const FileHandle &) = delete;

	HANDLE get() const { return handle_; }
	bool isValid() const { return handle_ != INVALID_HANDLE_VALUE; }

	bool close()
	{
		const HANDLE handle = handle_;
		handle_ = INVALID_HANDLE_VALUE;
		return CloseHandle(handle) != 0;
	}

private:
	HANDLE handle_;
};

// Text files on Windows end their lines with CR LF.
std::string withWindowsLineEnds(std::string_view contents)
{
	std::string converted;
	converted.reserve(contents.size() + contents.size() / 16);
	for (const char character : contents) {
		if (character == '\n')
			converted.push_back('\r');
		converted.push_back(character);
	}
	return converted;
}

bool writeAll(HANDLE file, const std::string &contents)
{
	size_t offset = 0;
	while (offset < contents.size()) {
		const size_t remaining = contents.size() - offset;
		const DWORD chunk = remaining > 0x40000000 ? 0x40000000 : static_cast<DWORD>(remaining);
		DWORD written = 0;
		if (!WriteFile(file, contents.data() + offset, chunk, &written, nullptr) || written == 0)
			return false;
		offset += written;
	}
	return true;
}

} // namespace

FileReplaceResult replaceFileContents(const std::filesystem::path &target, std::string_view contents)
{
	const std::wstring temporary = target.native() + L".tmp";

	FileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
				    FILE_ATTRIBUTE_NORMAL, nullptr));
	if (!file.isValid())
		return FileReplaceResult::OpenFailed;

	const bool written = writeAll(file.get(), withWindowsLineEnds(contents)) && FlushFileBuffers(file.get());
	if (!file.close() || !written ||
	    !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
		DeleteFileW(temporary.c_str());
		return FileReplaceResult::WriteFailed;
	}
	return FileReplaceResult::Replaced;
}

} // namespace tiloran
