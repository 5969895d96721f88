#include "config/TestInputs.h"

#include <charconv>

#include "common/AudioChannels.h"

namespace tiloran {

namespace {

constexpr std::string_view kOptionName = "--test-inputs";
constexpr int kMaximumTestInputs = 8;

// Reads a whole decimal number without sign; false when the text is anything else.
bool readNumber(std::string_view text, int &value)
{
	if (text.empty() || text.front() < '0' || text.front() > '9')
		return false;
	const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
	return error == std::errc() && end == text.data() + text.size();
}

// WIDTHxHEIGHT, then "p" and frames per second or "i" and fields per second.
// Whole rates, or the NTSC-family rates 23.98, 29.97 and 59.94.
bool isValidMode(std::string_view mode, std::string &reason)
{
	const size_t times = mode.find('x');
	const size_t scan = mode.find_first_of("pi", times == std::string_view::npos ? 0 : times);
	if (times == std::string_view::npos || scan == std::string_view::npos) {
		reason = "the mode must look like 1920x1080i50 or 1280x720p50";
		return false;
	}

	int width = 0;
	int height = 0;
	if (!readNumber(mode.substr(0, times), width) || !readNumber(mode.substr(times + 1, scan - times - 1), height)) {
		reason = "the mode must look like 1920x1080i50 or 1280x720p50";
		return false;
	}
	// The pictures are 4:2:0, so both dimensions must be even.
	if (width < 16 || width > 8192 || height < 16 || height > 8192 || width % 2 != 0 || height % 2 != 0) {
		reason = "width and height must be even numbers from 16 to 8192";
		return false;
	}

	const std::string_view rate = mode.substr(scan + 1);
	int wholeRate = 0;
	if (rate == "23.98" || rate == "29.97" || rate == "59.94")
		return true;
	if (!readNumber(rate, wholeRate) || wholeRate < 1 || wholeRate > 120) {
		reason = "the rate must be a whole number from 1 to 120, or 23.98, 29.97 or 59.94";
		return false;
	}
	return true;
}

} // namespace

bool parseTestInputsValue(std::string_view value, TestInputs &testInputs, std::string &message)
{
	const size_t colon = value.find(':');
	const std::string_view countText = value.substr(0, colon);
	const std::string_view mode = colon == std::string_view::npos ? kDefaultTestInputMode : value.substr(colon + 1);

	const std::string prefix = "Invalid option " + std::string(kOptionName) + "=" + std::string(value) + ": ";
	int count = 0;
	if (!readNumber(countText, count) || count < 1 || count > kMaximumTestInputs) {
		message = prefix + "the number of test inputs must be from 1 to " + std::to_string(kMaximumTestInputs);
		return false;
	}
	std::string reason;
	if (!isValidMode(mode, reason)) {
		message = prefix + reason;
		return false;
	}

	testInputs.count = count;
	testInputs.mode = std::string(mode);
	return true;
}

bool parseTestInputsArguments(int argc, const char *const argv[], TestInputs &testInputs, std::string &message)
{
	TestInputs found;
	bool seen = false;
	for (int index = 1; index < argc; ++index) {
		const std::string_view argument = argv[index];
		if (argument.substr(0, kOptionName.size()) != kOptionName)
			continue;
		const std::string_view rest = argument.substr(kOptionName.size());
		if (rest.empty() || rest.front() != '=') {
			message = "Invalid option " + std::string(argument) + ": use " + std::string(kOptionName) +
				  "=N or " + std::string(kOptionName) + "=N:MODE";
			return false;
		}
		if (seen) {
			message = "Option " + std::string(kOptionName) + " given more than once";
			return false;
		}
		if (!parseTestInputsValue(rest.substr(1), found, message))
			return false;
		seen = true;
	}

	testInputs = std::move(found);
	return true;
}

std::vector<DeviceInfo> testInputDevices(const TestInputs &testInputs)
{
	std::vector<DeviceInfo> devices;
	for (int number = 1; number <= testInputs.count; ++number) {
		const std::string text = std::to_string(number);
		devices.push_back({ "test-" + text, "Test Input " + text + " (" + testInputs.mode + ")", "test",
				    "available", kTestInputAudioChannels });
	}
	return devices;
}

} // namespace tiloran
