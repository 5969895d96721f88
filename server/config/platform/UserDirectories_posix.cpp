#include "config/platform/UserDirectories.h"

#include <cstdlib>
#include <string_view>

namespace tiloran {

std::optional<std::filesystem::path> userConfigurationBaseDirectory()
{
	// The Windows variables come first, so that a Windows-style environment
	// behaves the same here; an APPDATA set to nothing counts as set.
	if (const char *appData = std::getenv("APPDATA"))
		return std::filesystem::path(appData);
	if (const char *userProfile = std::getenv("USERPROFILE"))
		return std::filesystem::path(userProfile) / "AppData" / "Roaming";

	const char *configHome = std::getenv("XDG_CONFIG_HOME");
	if (configHome && *configHome)
		return std::filesystem::path(configHome);
	const char *home = std::getenv("HOME");
	if (home && *home)
		return std::filesystem::path(home) / ".config";
	return std::nullopt;
}

std::filesystem::path temporaryDirectory()
{
	return std::filesystem::temp_directory_path();
}

} // namespace tiloran
