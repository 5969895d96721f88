#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fakecard {

// A broadcast mode of the simulated cards, written as the server's test
// inputs are: WIDTHxHEIGHT, then "p" and frames per second or "i" and fields
// per second (23.98, 29.97 and 59.94 for the NTSC rates).
struct Mode {
	int width = 0;
	int height = 0;
	bool interlaced = false;
	// Interlaced: the bottom field comes first (NTSC, as the driver has it).
	bool lowerFieldFirst = false;
	// A frame lasts frameDuration / timeScale seconds.
	std::int64_t frameDuration = 0;
	std::int64_t timeScale = 0;
	// The driver's code of the mode: the real one for the standard modes,
	// an invented one ('fk' and a number) for the others.
	std::uint32_t code = 0;
	std::string text;

	bool operator==(const Mode &other) const { return code == other.code; }
};

std::optional<Mode> parseMode(std::string_view text);
// The mode of a code handed out before (or a standard one); none for others.
std::optional<Mode> modeOfCode(std::uint32_t code);

} // namespace fakecard
