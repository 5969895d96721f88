#include "preview/platform/FileReplacement.h"

#include <windows.h>

namespace tiloran::platform {

bool replaceFileAtomically(const std::string &temporaryPath, const std::string &targetPath)
{
	// The content reaches the disk before the name does: the file is opened
	// again only to flush it.
	const HANDLE file = CreateFileA(temporaryPath.c_str(), GENERIC_WRITE,
					FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
					FILE_ATTRIBUTE_NORMAL, nullptr);
	if (file == INVALID_HANDLE_VALUE)
		return false;
	const bool flushed = FlushFileBuffers(file) != 0;
	CloseHandle(file);
	return flushed && MoveFileExA(temporaryPath.c_str(), targetPath.c_str(),
				      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

} // namespace tiloran::platform
