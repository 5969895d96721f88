// The adaptive bitrate's rule on a link simulated look by look: a bottleneck
// with a queue in front of it, SRT's figures as that link would show them.

#include <gtest/gtest.h>

#include <algorithm>

#include "output/BitrateController.h"

namespace tiloran {
namespace {

using namespace std::chrono_literals;

// A link of linkBitsPerSecond with a one-way delay of 20 ms, a queue of
// queueMs before it and SRT's latency of 120 ms; the stream is the
// controller's target plus 128 kbit/s of audio.
class SimulatedLink
{
public:
	explicit SimulatedLink(BitrateController &controller) : controller_(controller) {}

	// SRT's send buffer then also holds what a full queue turned away, as
	// far as 1.5 latencies and beyond.
	void holdTurnedAway() { holdTurnedAway_ = true; }

	void run(double linkBitsPerSecond, std::chrono::milliseconds duration)
	{
		for (auto end = now_ + duration; now_ < end; now_ += 40ms) {
			const double sentBits = (static_cast<double>(controller_.targetBitsPerSecond()) + 128000) * 0.04;
			const double linkBits = linkBitsPerSecond * 0.04;
			// The link carries what waits in its queue as well.
			const double carriedBits = std::min(queueBits_ + sentBits, linkBits);
			queueBits_ = std::max(0.0, queueBits_ + sentBits - linkBits);
			const double queueLimitBits = linkBitsPerSecond * 0.1;
			packets_ += static_cast<int64_t>(sentBits / 10528);
			if (queueBits_ > queueLimitBits) {
				retransmitted_ += static_cast<int64_t>((queueBits_ - queueLimitBits) / 10528) + 1;
				queueBits_ = queueLimitBits;
			}
			delivered_ += static_cast<int64_t>(carriedBits / 8);
			const double queueMs = queueBits_ / linkBitsPerSecond * 1000;
			const bool full = queueBits_ >= queueLimitBits;
			const double sendBufferMs = 50 + queueMs + (holdTurnedAway_ && full ? 150 : 0);
			controller_.look(
				{ now_, 40 + queueMs, sendBufferMs, 120, packets_, retransmitted_, 0, delivered_ });
			lowest_ = std::min(lowest_, controller_.targetBitsPerSecond());
			highest_ = std::max(highest_, controller_.targetBitsPerSecond());
		}
	}
	int64_t lowest() const { return lowest_; }
	int64_t highest() const { return highest_; }
	void resetLowest() { lowest_ = controller_.targetBitsPerSecond(); }
	void resetHighest() { highest_ = controller_.targetBitsPerSecond(); }

private:
	BitrateController &controller_;
	BitrateController::Clock::time_point now_{};
	double queueBits_ = 0;
	int64_t packets_ = 0;
	int64_t retransmitted_ = 0;
	int64_t delivered_ = 0;
	int64_t lowest_ = INT64_MAX;
	int64_t highest_ = 0;
	bool holdTurnedAway_ = false;
};

TEST(BitrateControllerTest, FollowsANarrowLinkQuicklyAndComesBackSlowly)
{
	BitrateController controller(8'000'000, 2'000'000, 128'000);
	SimulatedLink link(controller);
	link.run(20e6, 10s);
	EXPECT_EQ(controller.targetBitsPerSecond(), 8'000'000);
	EXPECT_EQ(controller.state(), BitrateController::State::Steady);

	// Below the link within 5 s, and never below the floor.
	link.run(3e6, 5s);
	EXPECT_LT(controller.targetBitsPerSecond(), 3'000'000);
	EXPECT_GE(link.lowest(), 2'000'000);
	// From then on it stays near the link: probing and backing off again, by
	// little.
	link.resetLowest();
	link.run(3e6, 30s);
	EXPECT_LT(controller.targetBitsPerSecond(), 3'000'000);
	EXPECT_GE(link.lowest(), 2'400'000);

	// Probing at the edge of the link all that time does not keep it from
	// following a wider link within 20 s.
	link.run(6e6, 20s);
	EXPECT_GT(controller.targetBitsPerSecond(), 4'500'000);

	// A wide link again: back at the requested rate within 60 s, no higher.
	link.run(20e6, 60s);
	EXPECT_EQ(controller.targetBitsPerSecond(), 8'000'000);
	EXPECT_EQ(controller.state(), BitrateController::State::Steady);
	EXPECT_STREQ(BitrateController::stateName(controller.state()), "steady");
}

TEST(BitrateControllerTest, PacketsDroppedTooLateHalveTheTargetAtOnce)
{
	BitrateController controller(8'000'000, 1'000'000, 128'000);
	const BitrateController::Clock::time_point start{};
	controller.look({ start, 40, 50, 120, 0, 0, 0, 0 });
	EXPECT_FALSE(controller.look({ start + 40ms, 40, 50, 120, 30, 0, 0, 40000 }));
	EXPECT_TRUE(controller.look({ start + 80ms, 40, 60, 120, 60, 0, 5, 80000 }));
	EXPECT_EQ(controller.targetBitsPerSecond(), 4'000'000);
	EXPECT_EQ(controller.state(), BitrateController::State::BackingOff);
	EXPECT_STREQ(BitrateController::stateName(controller.state()), "backing off");
}

// A backlog in SRT's send buffer halves the target, down to the floor while
// it drains; drained, the target goes back to what the link carried, not up
// from the floor by the probing's steps after the hold-off.
TEST(BitrateControllerTest, AfterADrainedBacklogTheTargetReturnsToWhatTheLinkCarried)
{
	BitrateController controller(8'000'000, 2'000'000, 128'000);
	SimulatedLink link(controller);
	link.holdTurnedAway();
	link.run(20e6, 10s);
	link.resetLowest();
	link.run(3e6, 3s);
	EXPECT_EQ(link.lowest(), 2'000'000);
	EXPECT_GT(controller.targetBitsPerSecond(), 2'400'000);
	EXPECT_LT(controller.targetBitsPerSecond(), 3'000'000);
}

// Packets dropped too late take the target to its floor, far below the
// link. Probing up from there must not step over the link by more than a
// queue is seen in: a step of 400 kbit/s from 2.8 Mbit/s on a 3 Mbit/s link
// made the receiver lose pictures.
TEST(BitrateControllerTest, ProbesUpFromTheFloorWithoutSteppingFarOverTheLink)
{
	BitrateController controller(8'000'000, 2'000'000, 128'000);
	BitrateController::Clock::time_point at{};
	controller.look({ at, 40, 50, 120, 0, 0, 0, 0 });
	for (int dropped = 1; controller.targetBitsPerSecond() > 2'000'000; ++dropped) {
		at += 600ms;
		controller.look({ at, 40, 50, 120, 100 * dropped, 0, dropped, 375'000 * dropped });
	}
	SimulatedLink link(controller);
	link.resetHighest();
	link.run(3e6, 40s);
	EXPECT_GT(link.highest(), 2'700'000);
	// The stream is the target and 128 kbit/s of audio.
	EXPECT_LT(link.highest(), 3'000'000);
}

} // namespace
} // namespace tiloran
