#pragma once

// What the server's fuzz targets share: a configuration in a directory of
// their own, with four test inputs and no capture driver, and a console that
// stays quiet.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <unistd.h>

#include "config/ConfigManager.h"

namespace tiloran::fuzz {

inline void check(bool condition)
{
	if (!condition)
		__builtin_trap();
}

// Once, before the first input. The working directory stays: libFuzzer reads
// its corpus from there.
inline std::shared_ptr<ConfigManager> fuzzConfiguration()
{
	const std::filesystem::path directory =
		std::filesystem::temp_directory_path() / ("tiloran-fuzz-" + std::to_string(::getpid()));
	std::filesystem::create_directories(directory);
	unsetenv("APPDATA");
	unsetenv("USERPROFILE");
	setenv("XDG_CONFIG_HOME", directory.c_str(), 1);
	setenv("TMPDIR", directory.c_str(), 1);
	setenv("TILORAN_DECKLINK_LIBRARY", (directory / "no-driver.so").c_str(), 1);
	// The server prints every request; a fuzzer makes millions.
	if (!std::freopen("/dev/null", "w", stdout))
		std::abort();
	return std::make_shared<ConfigManager>(false, TestInputs{ 4, "640x360p25" });
}

// Valid UTF-8 without control characters: one console line.
inline bool isOneLineOfText(const std::string &text)
{
	for (std::size_t index = 0; index < text.size();) {
		const unsigned char lead = static_cast<unsigned char>(text[index]);
		if (lead < 0x20 || lead == 0x7F)
			return false;
		std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
		if (lead >= 0x80 && (lead < 0xC2 || lead > 0xF4))
			return false;
		if (index + length > text.size())
			return false;
		for (std::size_t next = 1; next < length; ++next) {
			if ((static_cast<unsigned char>(text[index + next]) & 0xC0) != 0x80)
				return false;
		}
		index += length;
	}
	return true;
}

} // namespace tiloran::fuzz
