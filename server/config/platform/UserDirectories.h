#pragma once

#include <filesystem>
#include <optional>

namespace tiloran {

// The per-user directory under which the server keeps worker_config.json in
// user mode (the roaming application data on Windows), or none when the
// environment names none; the caller then uses the working directory.
std::optional<std::filesystem::path> userConfigurationBaseDirectory();

// The directory for temporary files, under which the preview directory lies in
// user mode. Throws std::filesystem::filesystem_error when there is none.
std::filesystem::path temporaryDirectory();

} // namespace tiloran
