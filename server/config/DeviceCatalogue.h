#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/DeviceInfo.h"
#include "config/TestInputs.h"

namespace tiloran {

// The device catalogue: the inputs the server offers, the capture cards its
// driver finds at start-up followed by the test-pattern inputs. Built once on
// the main thread; read-only afterwards, from any thread.
class DeviceCatalogue
{
public:
	// Discovers the capture cards and prints what it found.
	explicit DeviceCatalogue(const TestInputs &testInputs);

	const std::vector<DeviceInfo> &devices() const { return devices_; }

	// The first device whose id equals id exactly.
	std::optional<DeviceInfo> find(const std::string &id) const;

	// The client document's "devices" array.
	nlohmann::json clientJson() const;

private:
	std::vector<DeviceInfo> devices_;
};

} // namespace tiloran
