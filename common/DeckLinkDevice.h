#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tiloran {

// One capture-capable device as the DeckLink driver enumerates it.
struct DeckLinkCaptureDevice {
	// The display name in UTF-8 ("Unknown" when the driver gives none).
	std::string displayName;
	// The persistent id, else the topological id; none when neither is known.
	std::optional<std::int64_t> persistentId;
	// Position in the driver's enumeration, counting devices that cannot
	// capture as well.
	std::size_t enumerationIndex = 0;
	// The most embedded audio channels the device captures, as the driver
	// says; none when it does not say.
	std::optional<std::int64_t> maximumAudioChannels;
};

// The embedded audio channels the encoder captures from a device: 16 or 8
// where the device takes that many, else 2 (where the driver does not say,
// too). The driver takes 2, 8, 16, 32 or 64; more than 16 are never needed.
std::int32_t deckLinkCaptureChannels(const DeckLinkCaptureDevice &device);
std::int32_t deckLinkCaptureChannels(std::optional<std::int64_t> maximumAudioChannels);

// The id a device is known by to the server's clients and in the worker's
// configuration: "decklink-" and its persistent (or topological) id, or its
// place in the driver's enumeration when it has none, or one read as 0. Both
// programs name devices with it, so that the worker finds the device the
// server listed.
std::string deckLinkDeviceId(const DeckLinkCaptureDevice &device);

} // namespace tiloran
