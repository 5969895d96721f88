// The worker's reading of a test input's source name, "Test Input K (MODE)",
// and of a bare mode. A name the worker accepts must be the very name the
// server gives test input K with that mode; the server and the worker accept
// the same modes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "capture/SourceInput.h"
#include "config/TestInputs.h"
#include "TestInputModeChecks.h"

using tiloran::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const std::string text(reinterpret_cast<const char *>(data), size);
	tiloran::fuzz::checkModeAgreement(text);

	tiloran::TestPattern pattern;
	std::string message;
	if (!tiloran::parseTestInputName(text, pattern, message)) {
		check(message.find("'" + text + "'") != std::string::npos);
		return 0;
	}

	check(pattern.number >= 1 && pattern.number <= tiloran::kTestInputCount);
	tiloran::fuzz::checkAcceptedMode(pattern.mode);

	// The server offers exactly this name as its test input K.
	const size_t open = text.find(" (");
	check(open != std::string::npos && text.ends_with(")"));
	const std::string mode = text.substr(open + 2, text.size() - open - 3);
	tiloran::TestInputs testInputs;
	check(tiloran::parseTestInputsValue(std::to_string(pattern.number) + ":" + mode, testInputs, message));
	const std::vector<tiloran::DeviceInfo> devices = tiloran::testInputDevices(testInputs);
	check(devices.size() == static_cast<size_t>(pattern.number));
	check(devices.back().name == text);
	return 0;
}
