#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/DeckLinkDevice.h"

namespace tiloran {

class DeckLinkInput;

// The connection to the DeckLink driver for one discovery: on Windows its COM
// server, elsewhere its runtime library loaded at run time (the environment
// variable TILORAN_DECKLINK_LIBRARY may name another file than the driver's
// own). The driver objects are released by the destructor. Used by one
// thread; the driver's iterator is walked once, by either of the two walks.
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
	// driver is not available.
	std::vector<DeckLinkCaptureDevice> listCaptureDevices();

	// The capture input of the device that discovery names deviceId
	// (deckLinkDeviceId), over the newest input interface it answers to.
	// Fails with a message when the driver is not available, no device has
	// that id or the device cannot capture. The input outlives this object.
	std::unique_ptr<DeckLinkInput> openCaptureInput(const std::string &deviceId, std::string &message);

	// The driver library looked for, for messages.
	static std::string driverLocation();

private:
	struct State;
	std::unique_ptr<State> state_;
};

} // namespace tiloran
