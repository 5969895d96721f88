#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tiloran {

// Keeps an operation that fails on every attempt (a preview directory gone
// read-only, say) from printing a line per attempt for as long as it lasts.
// Of a run of failures it lets through the first at once, and a failure whose
// message differs from the last one let through, since that is news; the
// repeats in between are counted, and the first repeat at least one interval
// after the last line goes through with the count. The first success after a
// run reports how many attempts failed.
//
// The caller passes the time of each failure, so that tests need not wait.
//
// Threading: none of its own; one thread (the caller's) uses an object.
class FailureReportLimiter
{
public:
	using Clock = std::chrono::steady_clock;

	explicit FailureReportLimiter(Clock::duration interval);

	// The text to print for this failure: the message, followed by
	// " (N failures since the last report)" when failures were held back
	// since the last line (N counts this one too). Nothing when this
	// failure is only counted.
	std::optional<std::string> failed(std::string_view message, Clock::time_point now);

	// After a run of failures: how many attempts of it failed; the run is
	// over. Nothing when the last attempt did not fail.
	std::optional<std::uint64_t> succeeded();

private:
	Clock::duration interval_;
	// Failures since the last success; 0 while none.
	std::uint64_t failuresInRun_ = 0;
	// Failures since the last line let through, this one not counted.
	std::uint64_t heldBack_ = 0;
	std::string lastReportedMessage_;
	Clock::time_point lastReportTime_;
};

} // namespace tiloran
