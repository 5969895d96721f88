#include "platform/FileReplacement.h"

#include <windows.h>

namespace tiloran::platform {

bool replaceFileAtomically(const std::string &temporaryPath, const std::string &targetPath)
{
	return MoveFileExA(temporaryPath.c_str(), targetPath.c_str(),
			   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

} // namespace tiloran::platform
