#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tiloran {

// One capture-capable device as the DeckLink driver enumerates it.
struct DeckLinkCaptureDevice {
	// The display name in UTF-8 ("Unknown" when the driver gives none); the
	// worker opens the device by this name.
	std::string displayName;
	// The persistent id, else the topological id; none when neither is known.
	std::optional<std::int64_t> persistentId;
	// Position in the driver's enumeration, counting devices that cannot
	// capture as well.
	std::size_t enumerationIndex;
};

// The connection to the DeckLink driver for one discovery: on Windows its COM
// server, elsewhere its runtime library loaded at run time (the environment
// variable TILORAN_DECKLINK_LIBRARY may name another file than the driver's
// own). The driver objects are released by the destructor. Used by one thread.
class DeckLinkDiscovery
{
public:
	DeckLinkDiscovery();
	~DeckLinkDiscovery();
	DeckLinkDiscovery(const DeckLinkDiscovery &) = delete;
	DeckLinkDiscovery &operator=(const DeckLinkDiscovery &) = delete;

	// True when the driver handed out its device iterator.
	bool isAvailable() const;

	// The capture-capable devices in the driver's order; empty when the
	// driver is not available. Walks the iterator once.
	std::vector<DeckLinkCaptureDevice> listCaptureDevices();

private:
	struct State;
	std::unique_ptr<State> state_;
};

} // namespace tiloran
