#include "preview/FailureReportLimiter.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tiloran {
namespace {

using namespace std::chrono_literals;
using Clock = FailureReportLimiter::Clock;

constexpr auto interval = std::chrono::minutes(1);

TEST(FailureReportLimiterTest, TheFirstFailureThenOneAMinuteWithTheCount)
{
	FailureReportLimiter limiter(interval);
	const Clock::time_point start{};
	EXPECT_EQ(limiter.failed("disk gone", start), std::make_optional<std::string>("disk gone"));
	// One failure every 600 ms, as the preview of a 25 frames per second
	// stream fails: the rest of the minute is only counted.
	Clock::time_point now = start;
	for (int attempt = 1; attempt < 100; ++attempt) {
		now += 600ms;
		EXPECT_EQ(limiter.failed("disk gone", now), std::nullopt) << "attempt " << attempt;
	}
	ASSERT_EQ(now, start + 59400ms);
	// A minute after the last line, with the 99 held back and this one.
	now += 600ms;
	EXPECT_EQ(limiter.failed("disk gone", now),
		  std::make_optional<std::string>("disk gone (100 failures since the last report)"));
	EXPECT_EQ(limiter.failed("disk gone", now + 600ms), std::nullopt);
	EXPECT_EQ(limiter.failed("disk gone", now + 59999ms), std::nullopt);
	EXPECT_EQ(limiter.failed("disk gone", now + 60s),
		  std::make_optional<std::string>("disk gone (3 failures since the last report)"));
	EXPECT_EQ(limiter.succeeded(), std::make_optional<std::uint64_t>(104));
}

TEST(FailureReportLimiterTest, ARareFailureIsPrintedWithoutACount)
{
	FailureReportLimiter limiter(interval);
	const Clock::time_point start{};
	EXPECT_EQ(limiter.failed("slow disk", start), std::make_optional<std::string>("slow disk"));
	EXPECT_EQ(limiter.failed("slow disk", start + 2min), std::make_optional<std::string>("slow disk"));
	EXPECT_EQ(limiter.succeeded(), std::make_optional<std::uint64_t>(2));
}

TEST(FailureReportLimiterTest, ANewKindOfFailureIsPrintedAtOnce)
{
	FailureReportLimiter limiter(interval);
	const Clock::time_point start{};
	EXPECT_TRUE(limiter.failed("read-only", start));
	EXPECT_FALSE(limiter.failed("read-only", start + 1s));
	EXPECT_FALSE(limiter.failed("read-only", start + 2s));
	EXPECT_EQ(limiter.failed("full", start + 3s),
		  std::make_optional<std::string>("full (3 failures since the last report)"));
	EXPECT_FALSE(limiter.failed("full", start + 4s));
	// The minute counts from the last line, the one of the new kind.
	EXPECT_FALSE(limiter.failed("full", start + 62s));
	EXPECT_EQ(limiter.failed("full", start + 63s),
		  std::make_optional<std::string>("full (3 failures since the last report)"));
	EXPECT_EQ(limiter.failed("read-only", start + 64s), std::make_optional<std::string>("read-only"));
}

TEST(FailureReportLimiterTest, ASuccessEndsTheRun)
{
	FailureReportLimiter limiter(interval);
	const Clock::time_point start{};
	EXPECT_EQ(limiter.succeeded(), std::nullopt);
	EXPECT_TRUE(limiter.failed("gone", start));
	EXPECT_FALSE(limiter.failed("gone", start + 1s));
	EXPECT_EQ(limiter.succeeded(), std::make_optional<std::uint64_t>(2));
	EXPECT_EQ(limiter.succeeded(), std::nullopt);
	// The next failure starts a new run and is printed at once, without the
	// count of the run before.
	EXPECT_EQ(limiter.failed("gone", start + 2s), std::make_optional<std::string>("gone"));
	EXPECT_EQ(limiter.succeeded(), std::make_optional<std::uint64_t>(1));
}

} // namespace
} // namespace tiloran
