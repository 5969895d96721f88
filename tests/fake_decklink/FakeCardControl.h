#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fakecard {

// Reads the lines that tests append to the control file named by
// TILORAN_FAKE_DECKLINK_CONTROL, from the end the file had when the reader
// was made: each call returns the whole lines appended since the last one.
class ControlReader
{
public:
	ControlReader();
	std::vector<std::string> newLines();

private:
	std::string path_;
	std::uint64_t offset_ = 0;
	std::string partial_;
};

// Appends one line to the report file named by TILORAN_FAKE_DECKLINK_REPORT,
// when there is one; each line is written whole by one call, so the lines of
// several processes do not mix.
void reportLine(const std::string &line);

} // namespace fakecard
