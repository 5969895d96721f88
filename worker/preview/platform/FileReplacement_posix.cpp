#include "preview/platform/FileReplacement.h"

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace tiloran::platform {

bool replaceFileAtomically(const std::string &temporaryPath, const std::string &targetPath)
{
	// Without the fsync a crash shortly after the rename could leave an
	// empty file under the target name. Non-blocking, so that something
	// other than a regular file in its place cannot hang the caller.
	const int descriptor = ::open(temporaryPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (descriptor < 0)
		return false;
	const bool synced = ::fsync(descriptor) == 0;
	::close(descriptor);
	if (!synced)
		return false;
	return std::rename(temporaryPath.c_str(), targetPath.c_str()) == 0;
}

} // namespace tiloran::platform
