#include "FakeCardMode.h"

#include <charconv>
#include <mutex>
#include <vector>

namespace fakecard {

namespace {

constexpr std::uint32_t code(const char (&text)[5])
{
	return std::uint32_t(std::uint8_t(text[0])) << 24 | std::uint32_t(std::uint8_t(text[1])) << 16 |
	       std::uint32_t(std::uint8_t(text[2])) << 8 | std::uint32_t(std::uint8_t(text[3]));
}

struct StandardMode {
	const char *text;
	std::uint32_t code;
};

constexpr StandardMode kStandardModes[] = {
	{ "720x486i59.94", code("ntsc") }, { "720x576i50", code("pal ") },	   { "1920x1080p23.98", code("23ps") },
	{ "1920x1080p24", code("24ps") },  { "1920x1080p25", code("Hp25") },	   { "1920x1080p29.97", code("Hp29") },
	{ "1920x1080p30", code("Hp30") },  { "1920x1080i50", code("Hi50") },	   { "1920x1080i59.94", code("Hi59") },
	{ "1920x1080i60", code("Hi60") },  { "1920x1080p50", code("Hp50") },	   { "1920x1080p59.94", code("Hp59") },
	{ "1920x1080p60", code("Hp60") },  { "1280x720p50", code("hp50") },	   { "1280x720p59.94", code("hp59") },
	{ "1280x720p60", code("hp60") },
};

// Modes without a standard code, numbered in the order they were first seen.
std::mutex inventedMutex;
std::vector<std::string> invented;

bool parseNumber(std::string_view text, int &value)
{
	const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
	return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::optional<Mode> parseShape(std::string_view text)
{
	const std::size_t times = text.find('x');
	const std::size_t scan = text.find_first_of("pi", times == std::string_view::npos ? 0 : times);
	if (times == std::string_view::npos || scan == std::string_view::npos)
		return std::nullopt;
	Mode mode;
	if (!parseNumber(text.substr(0, times), mode.width) ||
	    !parseNumber(text.substr(times + 1, scan - times - 1), mode.height) || mode.width < 16 || mode.height < 16 ||
	    mode.width % 2 || mode.height % 2)
		return std::nullopt;
	mode.interlaced = text[scan] == 'i';
	const std::string_view rate = text.substr(scan + 1);
	// Fields per second for interlaced modes; a frame holds two.
	std::int64_t perSecond = 0;
	if (rate == "23.98" || rate == "29.97" || rate == "59.94") {
		mode.frameDuration = 1001;
		perSecond = rate == "23.98" ? 24000 : rate == "29.97" ? 30000 : 60000;
	} else {
		int whole = 0;
		if (!parseNumber(rate, whole) || whole < 1 || whole > 120)
			return std::nullopt;
		mode.frameDuration = 1000;
		perSecond = whole * 1000;
	}
	mode.timeScale = mode.interlaced ? perSecond / 2 : perSecond;
	if (mode.interlaced && perSecond % 2)
		return std::nullopt;
	mode.text = std::string(text);
	return mode;
}

} // namespace

std::optional<Mode> parseMode(std::string_view text)
{
	std::optional<Mode> mode = parseShape(text);
	if (!mode)
		return std::nullopt;
	for (const StandardMode &standard : kStandardModes) {
		if (mode->text == standard.text) {
			mode->code = standard.code;
			mode->lowerFieldFirst = standard.code == code("ntsc");
			return mode;
		}
	}
	std::lock_guard lock(inventedMutex);
	std::size_t index = 0;
	while (index < invented.size() && invented[index] != mode->text)
		++index;
	if (index == invented.size())
		invented.push_back(mode->text);
	mode->code = code("fk00") + std::uint32_t(index / 10) * 256 + std::uint32_t(index % 10);
	return mode;
}

std::optional<Mode> modeOfCode(std::uint32_t wanted)
{
	for (const StandardMode &standard : kStandardModes) {
		if (standard.code == wanted)
			return parseMode(standard.text);
	}
	std::string text;
	{
		std::lock_guard lock(inventedMutex);
		for (std::size_t index = 0; index < invented.size(); ++index) {
			if (code("fk00") + std::uint32_t(index / 10) * 256 + std::uint32_t(index % 10) == wanted)
				text = invented[index];
		}
	}
	if (text.empty())
		return std::nullopt;
	return parseMode(text);
}

} // namespace fakecard
