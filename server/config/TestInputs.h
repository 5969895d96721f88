#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/DeviceInfo.h"

namespace tiloran {

// Test-pattern inputs stand in for capture cards where there are none (demos,
// tests). They come from the option --test-inputs=N or --test-inputs=N:MODE,
// with MODE such as 1920x1080i50 (fields per second) or 640x360p25 (frames
// per second). The worker's capture reads the mode back out of the name.
struct TestInputs {
	int count = 0;
	std::string mode;
};

// The mode that --test-inputs=N stands for.
inline constexpr std::string_view kDefaultTestInputMode = "1920x1080i50";

// Scans the server's arguments for --test-inputs. Returns false with a message
// naming the option when it is malformed or given twice; without the option
// the result is true and testInputs has count 0.
bool parseTestInputsArguments(int argc, const char *const argv[], TestInputs &testInputs,
			      std::string &message);

// Parses the value after "--test-inputs=" (N or N:MODE).
bool parseTestInputsValue(std::string_view value, TestInputs &testInputs, std::string &message);

// The device entries "test-1" .. "test-N", in order.
std::vector<DeviceInfo> testInputDevices(const TestInputs &testInputs);

} // namespace tiloran
