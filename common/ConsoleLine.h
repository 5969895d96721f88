#pragma once

#include <iostream>
#include <string>
#include <string_view>

namespace tiloran {

// Console output of both programs: each call writes one whole line with a
// single stream insertion and flushes it, so that lines from different
// threads (and from the worker sharing the server's console) never interleave.
inline void writeLine(std::ostream &stream, std::string_view text)
{
	std::string line;
	line.reserve(text.size() + 1);
	line.append(text);
	line.push_back('\n');
	stream << line << std::flush;
}

inline void printLine(std::string_view text)
{
	writeLine(std::cout, text);
}

inline void printErrorLine(std::string_view text)
{
	writeLine(std::cerr, text);
}

} // namespace tiloran
