#include "common/DeckLinkDevice.h"

namespace tiloran {

std::string deckLinkDeviceId(const DeckLinkCaptureDevice &device)
{
	if (device.persistentId && *device.persistentId != 0)
		return "decklink-" + std::to_string(*device.persistentId);
	return "decklink-" + std::to_string(device.enumerationIndex);
}

} // namespace tiloran
