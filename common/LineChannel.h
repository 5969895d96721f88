#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

#include "common/platform/ChannelStream.h"

namespace tiloran {

// Lines of text each way over a channel stream: how the server and a worker
// it started speak to each other, one JSON object per line.
//
// Threading: readLine() on one thread at a time; writeLine() from any thread
// (whole lines, never interleaved); interrupt() from any thread.
class LineChannel
{
public:
	// A longer line is dropped whole: neither end sends one.
	static constexpr std::size_t maxLineBytes = 1024 * 1024;

	explicit LineChannel(platform::ChannelStream stream);

	LineChannel(const LineChannel &) = delete;
	LineChannel &operator=(const LineChannel &) = delete;

	// The next line, without its line end; false at the end of the stream
	// or after interrupt().
	bool readLine(std::string &line);
	// False when the other end is gone.
	bool writeLine(std::string_view line);
	// Ends a blocked readLine() and every later one.
	void interrupt();

private:
	platform::ChannelStream stream_;
	std::string received_;
	bool skipping_ = false;
	std::mutex writeMutex_;
};

} // namespace tiloran
