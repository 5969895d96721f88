#include "preview/FailureReportLimiter.h"

namespace tiloran {

FailureReportLimiter::FailureReportLimiter(Clock::duration interval) : interval_(interval) {}

std::optional<std::string> FailureReportLimiter::failed(std::string_view message, Clock::time_point now)
{
	++failuresInRun_;
	const bool firstOfRun = failuresInRun_ == 1;
	if (!firstOfRun && message == lastReportedMessage_ && now - lastReportTime_ < interval_) {
		++heldBack_;
		return std::nullopt;
	}

	std::string text(message);
	if (heldBack_ > 0)
		text += " (" + std::to_string(heldBack_ + 1) + " failures since the last report)";
	heldBack_ = 0;
	lastReportedMessage_ = message;
	lastReportTime_ = now;
	return text;
}

std::optional<std::uint64_t> FailureReportLimiter::succeeded()
{
	if (failuresInRun_ == 0)
		return std::nullopt;
	const std::uint64_t failures = failuresInRun_;
	failuresInRun_ = 0;
	heldBack_ = 0;
	lastReportedMessage_.clear();
	return failures;
}

} // namespace tiloran
