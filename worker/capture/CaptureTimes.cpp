#include "capture/CaptureTimes.h"

#include <cinttypes>
#include <cstdlib>

#include "common/ConsoleLine.h"
#include "common/PrintableText.h"

namespace tiloran {

CaptureTimes &CaptureTimes::instance()
{
	static CaptureTimes times;
	return times;
}

CaptureTimes::CaptureTimes()
{
	const char *path = std::getenv("TILORAN_CAPTURE_TIMES");
	if (!path || !*path)
		return;
	file_.reset(std::fopen(path, "w"));
	if (file_)
		printLine("[SourceCapture] Test inputs carry their picture counter; capture times go to " +
			  printableText(path));
	else
		printErrorLine("[SourceCapture] Failed to open the capture times file " + printableText(path) +
			       "; the test inputs carry no picture counter");
}

void CaptureTimes::record(int32_t quadrant, int64_t counter, std::chrono::steady_clock::time_point captured)
{
	if (!file_)
		return;
	const int64_t nanoseconds =
		std::chrono::duration_cast<std::chrono::nanoseconds>(captured.time_since_epoch()).count();
	const std::lock_guard lock(mutex_);
	std::fprintf(file_.get(), "%" PRId32 " %" PRId64 " %" PRId64 "\n", quadrant, counter, nanoseconds);
	std::fflush(file_.get());
}

} // namespace tiloran
