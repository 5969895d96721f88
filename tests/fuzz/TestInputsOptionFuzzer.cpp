// The server's --test-inputs option. The input is the server's argument list,
// one argument per NUL-separated piece. An accepted option must give inputs
// that the worker opens with the same mode; a refused one a message.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "capture/SourceInput.h"
#include "config/TestInputs.h"
#include "TestInputModeChecks.h"

using tiloran::fuzz::check;

namespace {

constexpr std::string_view kOption = "--test-inputs";

std::vector<std::string> splitArguments(const uint8_t *data, size_t size)
{
	std::vector<std::string> arguments = { "tiloran_server" };
	const std::string_view text(reinterpret_cast<const char *>(data), size);
	size_t start = 0;
	while (start <= text.size()) {
		const size_t end = std::min(text.find('\0', start), text.size());
		arguments.emplace_back(text.substr(start, end - start));
		start = end + 1;
	}
	return arguments;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const std::vector<std::string> arguments = splitArguments(data, size);
	std::vector<const char *> argv;
	bool optionGiven = false;
	for (const std::string &argument : arguments) {
		argv.push_back(argument.c_str());
		if (argv.size() > 1 && std::string_view(argument).starts_with(kOption))
			optionGiven = true;
	}

	tiloran::TestInputs testInputs;
	std::string message;
	if (!tiloran::parseTestInputsArguments(static_cast<int>(argv.size()), argv.data(), testInputs, message)) {
		check(optionGiven && !message.empty());
		return 0;
	}

	check(testInputs.count >= 0 && testInputs.count <= tiloran::kTestInputCount);
	check((testInputs.count == 0) == !optionGiven);
	if (testInputs.count == 0) {
		check(testInputs.mode.empty());
		return 0;
	}

	// The worker reads every offered input's name back to its number and mode.
	tiloran::TestInputMode mode;
	check(tiloran::parseTestInputMode(testInputs.mode, mode));
	tiloran::fuzz::checkAcceptedMode(mode);
	const std::vector<tiloran::DeviceInfo> devices = tiloran::testInputDevices(testInputs);
	check(devices.size() == static_cast<size_t>(testInputs.count));
	for (size_t index = 0; index < devices.size(); ++index) {
		check(devices[index].id == "test-" + std::to_string(index + 1));
		tiloran::TestPattern pattern;
		check(tiloran::parseTestInputName(devices[index].name, pattern, message));
		check(pattern.number == static_cast<int>(index + 1));
		check(pattern.mode.width == mode.width && pattern.mode.height == mode.height &&
		      pattern.mode.interlaced == mode.interlaced && av_cmp_q(pattern.mode.frameRate, mode.frameRate) == 0);
	}

	// Whatever follows the first colon of each option value is a mode to both or to neither.
	for (const std::string &argument : arguments) {
		const size_t colon = argument.find(':');
		if (std::string_view(argument).starts_with(kOption) && colon != std::string::npos)
			tiloran::fuzz::checkModeAgreement(std::string_view(argument).substr(colon + 1));
	}
	return 0;
}
