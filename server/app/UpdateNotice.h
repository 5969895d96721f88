#pragma once

#include <string>

namespace tiloran {

// Starts the detached update-notice thread. It asks nothing unless the
// environment variable "TILORAN_UPDATE_URL" names an http URL: then it sends one
// GET there (nothing that identifies the machine) and prints one "[Server] "
// line with the answer's status or the failure. Nothing waits for it.
void startUpdateNotice();

// The line printed for one update check of url; exposed for tests.
std::string checkForUpdate(const std::string &url);

} // namespace tiloran
