#pragma once

#include <string>

namespace tiloran::platform {

// Reads one password line from standard input: from a terminal without
// showing what is typed (prompt on standard error), otherwise as it comes
// (a script's pipe). False with a message when nothing could be read.
bool readPassword(const std::string &prompt, std::string &password, std::string &message);

} // namespace tiloran::platform
