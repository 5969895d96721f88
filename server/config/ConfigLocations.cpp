#include "config/ConfigLocations.h"

#include <optional>
#include <utility>

#include "config/platform/UserDirectories.h"

namespace tiloran {

namespace {

std::filesystem::path resolvePreviewPath(bool portable)
{
	if (portable)
		return std::filesystem::current_path() / "preview";
	return temporaryDirectory() / "KV_TILORAN" / "Encoder" / "preview";
}

} // namespace

std::filesystem::path resolveWorkerConfigPath(bool portable)
{
	if (portable)
		return std::filesystem::current_path() / "worker_config.json";

	std::filesystem::path base;
	if (std::optional<std::filesystem::path> userBase = userConfigurationBaseDirectory())
		base = std::move(*userBase);
	else
		base = std::filesystem::current_path();
	return base / "KV_TILORAN" / "Encoder" / "worker_config.json";
}

ConfigLocations resolveConfigLocations(bool portable)
{
	ConfigLocations locations;
	locations.workerConfigPath = resolveWorkerConfigPath(portable).string();
	const std::filesystem::path preview = resolvePreviewPath(portable);
	locations.previewPath = preview.string();
	locations.recordingsPath = (preview.parent_path() / "recordings").string();
	return locations;
}

} // namespace tiloran
