#pragma once

#include <string>

namespace tiloran::platform {

// Puts a finished, closed temporary file in the place of the target in one
// step, so that a reader sees either the old file or the whole new one, and
// makes the new content durable first. False when the replacement failed;
// the temporary file is then still there.
bool replaceFileAtomically(const std::string &temporaryPath, const std::string &targetPath);

} // namespace tiloran::platform
