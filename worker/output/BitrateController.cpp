#include "output/BitrateController.h"

#include <algorithm>

namespace tiloran {

// The rule. A link narrower than the stream shows first as a queue in front
// of its bottleneck, so the round trip rises above its floor (the lowest of
// the last 5 to 10 s); then as losses, which SRT retransmits; last as packets
// SRT drops too late and as SRT's send buffer (msSndBuf) outgrowing the
// latency. Each look (every picture, at most 100 ms apart):
//
// - a queue that lasts (round trip above its floor by an eighth of the
//   latency, at least 10 ms, for 120 ms: a key picture's burst passes sooner)
//   or retransmissions above 2 % of what was sent since the last decrease
//   (counted over at least 100 packets): lower the target to 90 % of the rate
//   the receiver acknowledged over the last half second (less the audio),
//   which is the link's rate while the queue is full, and at least by 5 %;
//   85 % of itself before that rate is known; again only after 500 ms and
//   only if the round trip still grows or losses go on, so that a queue that
//   drains is not taken for a new one;
// - packets dropped too late, or a send buffer of 1.5 times the latency while
//   the round trip shows a queue: at once to the smaller of half the target
//   and the acknowledged rate, which drains the backlog quickly; once the
//   queue is gone and the send buffer is within the latency, back at once to
//   90 % of what the link carried in the half seconds it stayed full (the
//   lowest of them, the last within 3 s; less the audio, at most the rate
//   that met the link's edge), with the hold-off counted from there and what
//   the link carried as the rate where probing slows down. Waiting out the
//   hold-off at the floor and climbing from it took the first 12 s after a
//   narrowing from 20 to 3 Mbit/s: 82 % of the link over the next 30 s
//   instead of 87 to 89 %;
// - a clean link for the hold-off (5 s; doubled up to 10 s when the link
//   narrows again within 30 s of the last decrease under a target that was
//   not probing, back to 5 s after 60 s without a decrease): raise the target
//   each second, by 5 % of itself below 85 % of the rate at which the link
//   last narrowed (the ceiling), by 1 % of the requested rate from there, and
//   beyond the ceiling by 1 % of the requested rate doubled with every step
//   up to 10 %, so that a link that widened is found within seconds. A probe
//   that finds the link's edge again is what probing is for, not a link that
//   keeps narrowing: it leaves the hold-off as it is. A decrease at the
//   floor leaves the ceiling where it was.
// Never below the floor nor above the requested rate. Each decrease starts
// the acknowledged rate's window again, so that the next decision looks at
// the stream as it is after it.
//
// Steps in shares of the requested rate below the ceiling took a target
// from its floor (2 of 8 Mbit/s) to 3.2 Mbit/s in three steps on a 3 Mbit/s
// link: the last one overfilled the link's queue faster than a queue is
// seen, and the retransmissions came too late for the receiver.
//
// Tuned on the loopback relay of the tests (20 ms each way, a queue of
// 100 ms, SRT latency 120 ms, round-trip floor 40 ms). A send buffer above
// the latency proved no sign on its own: with a key picture waiting for SRT's
// pacing it reached 180 ms on a clean 20 Mbit/s link, and a quicker reaction
// to it kept the target at its floor.

namespace {

using Clock = BitrateController::Clock;
using std::chrono::milliseconds;

constexpr milliseconds rttWindow{ 5000 };
constexpr milliseconds rateWindow{ 500 };
constexpr milliseconds decreaseSpacing{ 500 };
constexpr milliseconds increaseSpacing{ 1000 };
constexpr milliseconds firstHoldOff{ 5000 };
constexpr milliseconds longestHoldOff{ 10000 };
constexpr milliseconds repeatWithin{ 30000 };
constexpr milliseconds calmAfter{ 60000 };
constexpr milliseconds linkRateFresh{ 3000 };
constexpr double leastQueueMs = 10;
constexpr milliseconds lastingQueue{ 120 };
constexpr double severeBufferShare = 1.5;
constexpr int64_t leastPacketsForLoss = 100;
constexpr double retransmittedShare = 0.02;
constexpr double decreaseFactor = 0.85;
constexpr double deliveredShare = 0.9;
constexpr double leastDecreaseFactor = 0.95;
constexpr double increaseShare = 0.05;
constexpr double gentleIncreaseShare = 0.01;
constexpr double largestIncreaseShare = 0.1;
constexpr double nearCeilingShare = 0.85;

} // namespace

BitrateController::BitrateController(int64_t requestedBitsPerSecond, int64_t floorBitsPerSecond,
				     int64_t otherBitsPerSecond)
	: requested_(requestedBitsPerSecond), floor_(std::min(floorBitsPerSecond, requestedBitsPerSecond)),
	  other_(otherBitsPerSecond), target_(requestedBitsPerSecond), ceiling_(requestedBitsPerSecond),
	  holdOff_(firstHoldOff)
{
}

const char *BitrateController::stateName(State state)
{
	switch (state) {
	case State::BackingOff:
		return "backing off";
	case State::Probing:
		return "probing";
	case State::Steady:
		break;
	}
	return "steady";
}

void BitrateController::lower(int64_t to, const Look &now)
{
	const Clock::time_point at = now.at;
	// A new narrowing soon after the last: probing comes later.
	if (state_ == State::Steady && at - lastDecrease_ < repeatWithin)
		holdOff_ = std::min(holdOff_ * 2, longestHoldOff);
	// A new congestion: the link's rate is measured afresh.
	if (state_ != State::BackingOff)
		linkBitsPerSecond_ = 0;
	// The rate that met the link's edge. At the floor the link is narrower
	// than anything the stream may be; the last rate that met its edge says
	// more of where probing should slow down.
	if (target_ > floor_)
		ceiling_ = target_;
	target_ = std::clamp(to, floor_, target_);
	stepAboveCeiling_ = 0;
	lastDecrease_ = at;
	state_ = State::BackingOff;
	// The acknowledged rate is measured afresh from here on, on the stream
	// as it is now.
	rateMark_ = now;
}

bool BitrateController::look(const Look &now)
{
	if (!started_) {
		started_ = true;
		last_ = rateMark_ = lossMark_ = now;
		rttFloorMs_ = windowRttFloorMs_ = now.rttMs;
		windowStart_ = now.at;
		cleanSince_ = now.at;
		lastDecrease_ = now.at - calmAfter;
		return false;
	}

	// The round trip's floor: the lowest of this window and the last.
	if (now.at - windowStart_ >= rttWindow) {
		rttFloorMs_ = windowRttFloorMs_;
		windowRttFloorMs_ = now.rttMs;
		windowStart_ = now.at;
	}
	windowRttFloorMs_ = std::min(windowRttFloorMs_, now.rttMs);
	rttFloorMs_ = std::min(rttFloorMs_, windowRttFloorMs_);

	// A queue that outlasts a picture as large as the encoder's buffer
	// allows: such a picture queues at a link just wider than the stream for
	// as long as the buffer's time, and is no congestion.
	const double queueMs = std::max(leastQueueMs, now.latencyMs / 8.0);
	if (now.rttMs <= rttFloorMs_ + queueMs)
		queuedSince_.reset();
	else if (!queuedSince_)
		queuedSince_ = now.at;
	const bool queued = queuedSince_ && now.at - *queuedSince_ >= lastingQueue;
	// Losses since the last decrease or the last half second, whichever is
	// later, over at least a hundred packets: retransmissions of what was
	// lost before a decrease say nothing of the rate after it.
	const int64_t sent = std::max<int64_t>(now.packetsSent - lossMark_.packetsSent, leastPacketsForLoss);
	const int64_t retransmitted = now.packetsRetransmitted - lossMark_.packetsRetransmitted;
	const bool losing = static_cast<double>(retransmitted) > retransmittedShare * static_cast<double>(sent);
	if (now.at - rateMark_.at >= rateWindow) {
		const double seconds = std::chrono::duration<double>(now.at - rateMark_.at).count();
		deliveredBitsPerSecond_ = static_cast<double>(now.bytesDelivered - rateMark_.bytesDelivered) * 8 / seconds;
		// Retransmissions hold SRT's acknowledgement back and then release
		// it at once, so that one half second may show more than the link
		// carries: the lowest of the congestion's windows counts.
		if (queuedSince_ && *queuedSince_ <= rateMark_.at) {
			linkBitsPerSecond_ = linkBitsPerSecond_ > 0 ? std::min(linkBitsPerSecond_, deliveredBitsPerSecond_)
								    : deliveredBitsPerSecond_;
			linkMeasuredAt_ = now.at;
		}
		rateMark_ = now;
		if (now.at - lossMark_.at >= rateWindow)
			lossMark_ = now;
	}
	// SRT's send buffer holds a key picture waiting for its pacing as well as
	// what waits for acknowledgement: only far beyond the latency does it
	// say that packets are about to be dropped.
	const bool severe = now.packetsDropped > last_.packetsDropped ||
			    (queuedSince_ && now.sendBufferMs > severeBufferShare * now.latencyMs);
	const bool growing = now.rttMs > last_.rttMs;
	const int64_t before = target_;
	const int64_t deliveredVideo = static_cast<int64_t>(deliveredShare * deliveredBitsPerSecond_) - other_;
	const bool recentlyLowered = now.at - lastDecrease_ < decreaseSpacing;

	// Before the first half second the acknowledged rate is not known yet.
	const auto withinDelivered = [&](int64_t rate) {
		return deliveredBitsPerSecond_ > 0 ? std::min(rate, deliveredVideo) : rate;
	};

	if (queued || losing || severe) {
		cleanSince_ = now.at;
		if (severe && !recentlyLowered) {
			lower(withinDelivered(target_ / 2), now);
			draining_ = true;
		} else if (!recentlyLowered && (state_ != State::BackingOff || growing || losing))
			lower(deliveredBitsPerSecond_ > 0
				      ? std::min(deliveredVideo,
						 static_cast<int64_t>(leastDecreaseFactor * static_cast<double>(target_)))
				      : static_cast<int64_t>(decreaseFactor * static_cast<double>(target_)),
			      now);
		if (target_ != before)
			lossMark_ = now;
	} else {
		// Drained: back at once to what the link was seen to carry, rather
		// than from the floor by the probing's steps.
		if (draining_ && !queuedSince_ && now.sendBufferMs < now.latencyMs && !recentlyLowered) {
			draining_ = false;
			const int64_t carried = static_cast<int64_t>(deliveredShare * linkBitsPerSecond_) - other_;
			const double link = linkBitsPerSecond_;
			linkBitsPerSecond_ = 0;
			if (now.at - linkMeasuredAt_ <= linkRateFresh && carried > target_) {
				// The link's edge is known now: probing slows down near it.
				ceiling_ = std::max(target_, std::min(static_cast<int64_t>(link) - other_, ceiling_));
				target_ = std::min(carried, ceiling_);
				cleanSince_ = now.at;
				rateMark_ = now;
			}
		}
		if (now.at - lastDecrease_ >= calmAfter) {
			holdOff_ = firstHoldOff;
			ceiling_ = requested_;
		}
		if (now.at - cleanSince_ >= holdOff_ && target_ < requested_) {
			state_ = State::Probing;
			if (now.at - lastIncrease_ >= increaseSpacing) {
				// Gently near the rate that last congested the link, faster
				// with every step beyond it.
				const bool nearCeiling = target_ < ceiling_ &&
							 static_cast<double>(target_) >= nearCeilingShare * static_cast<double>(ceiling_);
				int64_t step = static_cast<int64_t>(
					nearCeiling ? gentleIncreaseShare * static_cast<double>(requested_)
						    : increaseShare * static_cast<double>(target_));
				if (target_ >= ceiling_) {
					stepAboveCeiling_ = stepAboveCeiling_ == 0
								    ? gentleIncreaseShare
								    : std::min(stepAboveCeiling_ * 2, largestIncreaseShare);
					step = static_cast<int64_t>(stepAboveCeiling_ * static_cast<double>(requested_));
				}
				target_ = std::min(requested_, target_ + step);
				lastIncrease_ = now.at;
			}
		}
		if (target_ == requested_)
			state_ = State::Steady;
	}
	last_ = now;
	return target_ != before;
}

} // namespace tiloran
