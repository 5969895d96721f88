#pragma once

// The capture times of test-input pictures, for measuring the delay from
// capture to a receiver's screen. When the environment variable
// TILORAN_CAPTURE_TIMES names a file, the test inputs draw a code strip with
// their picture counter (SourceInput.h) and each test-input picture read adds
// one line to that file:
//
//   QUADRANT COUNTER MONOTONIC_NS
//
// the quadrant id (1 to 4), the picture's counter as its code strip shows it
// and the time, on the machine's monotonic clock (CLOCK_MONOTONIC, the clock
// of Python's time.monotonic_ns), at which the input delivered it: the test
// input paces its pictures in real time, so that is its capture. Each line is
// flushed as it is written, so a reader may follow the file while it grows.
// Without the variable there is no strip and no file.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace tiloran {

class CaptureTimes
{
public:
	// The worker's one log, opened on first use from the environment.
	static CaptureTimes &instance();

	bool enabled() const
	{
		return file_ != nullptr;
	}
	// Called by the capture threads.
	void record(int32_t quadrant, int64_t counter, std::chrono::steady_clock::time_point captured);

private:
	CaptureTimes();
	struct FileCloser {
		void operator()(std::FILE *file) const
		{
			std::fclose(file);
		}
	};
	std::unique_ptr<std::FILE, FileCloser> file_;
	std::mutex mutex_;
};

} // namespace tiloran
