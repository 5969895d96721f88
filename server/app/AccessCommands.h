#pragma once

#include <filesystem>
#include <string>

namespace tiloran {

// The command-line management of the settings file: --add-user NAME --role
// ROLE (the password from the terminal, or from standard input when that is
// no terminal) and --add-token NAME --role ROLE (the token printed once,
// alone on its line). A user or token of the same name is replaced. Each
// returns the program's exit code: 0 when saved, 1 with a message on
// standard error otherwise.
int addUser(const std::filesystem::path &settingsPath, const std::string &name, const std::string &role);
int addToken(const std::filesystem::path &settingsPath, const std::string &name, const std::string &role);

} // namespace tiloran
