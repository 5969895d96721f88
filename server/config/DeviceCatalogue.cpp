#include "config/DeviceCatalogue.h"

#include <utility>

#include "common/ConsoleLine.h"
#include "common/DeckLinkDevice.h"
#include "common/platform/DeckLinkDiscovery.h"

namespace tiloran {

DeviceCatalogue::DeviceCatalogue(const TestInputs &testInputs)
{
	{
		DeckLinkDiscovery discovery;
		if (!discovery.isAvailable()) {
			printLine("[ConfigManager] DeckLink SDK runtime is not available");
		} else {
			const std::vector<DeckLinkCaptureDevice> found = discovery.listCaptureDevices();
			if (found.empty()) {
				printLine("[ConfigManager] No DeckLink capture devices found");
			} else {
				printLine("[ConfigManager] Found " + std::to_string(found.size()) +
					  " DeckLink capture device(s)");
				for (const DeckLinkCaptureDevice &device : found)
					devices_.push_back({ deckLinkDeviceId(device), device.displayName, "decklink", "available",
							     deckLinkCaptureChannels(device) });
			}
		}
	}

	if (testInputs.count > 0) {
		for (DeviceInfo &device : testInputDevices(testInputs))
			devices_.push_back(std::move(device));
		printLine("[ConfigManager] Test inputs: " + std::to_string(testInputs.count) + " (" + testInputs.mode + ")");
	}
}

std::optional<DeviceInfo> DeviceCatalogue::find(const std::string &id) const
{
	for (const DeviceInfo &device : devices_) {
		if (device.id == id)
			return device;
	}
	return std::nullopt;
}

nlohmann::json DeviceCatalogue::clientJson() const
{
	nlohmann::json devices = nlohmann::json::array();
	for (const DeviceInfo &device : devices_) {
		devices.push_back({
			{ "id", device.id },
			{ "name", device.name },
			{ "type", device.type },
			{ "status", device.status },
			{ "audioChannels", device.audioChannels },
		});
	}
	return devices;
}

} // namespace tiloran
