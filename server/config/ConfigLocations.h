#pragma once

#include <filesystem>
#include <string>

namespace tiloran {

// Where worker_config.json lives in portable or user mode; the server's
// settings file lies beside it. Throws std::filesystem::filesystem_error when
// the current directory cannot be obtained.
std::filesystem::path resolveWorkerConfigPath(bool portable);

// The server's file locations, fixed once at start-up: in portable mode
// inside the current directory; otherwise the worker configuration file in
// the user's configuration folder and the preview and recordings folders in
// the temporary directory.
struct ConfigLocations {
	// Full path of worker_config.json.
	std::string workerConfigPath;
	// The preview directory (no trailing separator); preview.jpg lies inside.
	std::string previewPath;
	// The folder of the stream's recordings, beside the preview directory.
	std::string recordingsPath;
};

// Throws std::filesystem::filesystem_error when the current or the temporary
// directory cannot be obtained.
ConfigLocations resolveConfigLocations(bool portable);

} // namespace tiloran
