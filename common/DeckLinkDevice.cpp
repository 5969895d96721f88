#include "common/DeckLinkDevice.h"

#include "common/AudioChannels.h"

namespace tiloran {

std::string deckLinkDeviceId(const DeckLinkCaptureDevice &device)
{
	if (device.persistentId && *device.persistentId != 0)
		return "decklink-" + std::to_string(*device.persistentId);
	return "decklink-" + std::to_string(device.enumerationIndex);
}

std::int32_t deckLinkCaptureChannels(std::optional<std::int64_t> maximumAudioChannels)
{
	for (const std::int32_t channels : { kMaximumAudioChannels, 8 }) {
		if (maximumAudioChannels && *maximumAudioChannels >= channels)
			return channels;
	}
	return 2;
}

std::int32_t deckLinkCaptureChannels(const DeckLinkCaptureDevice &device)
{
	return deckLinkCaptureChannels(device.maximumAudioChannels);
}

} // namespace tiloran
