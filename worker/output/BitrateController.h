#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace tiloran {

// The video bitrate that follows an SRT link: lowered at once when the link
// shows a queue or losses, raised slowly after a clean hold-off, always
// within [floor, requested]. The rule and its figures are in the .cpp.
//
// Threading: one thread (the output's) calls everything.
class BitrateController
{
public:
	using Clock = std::chrono::steady_clock;

	enum class State { Steady, BackingOff, Probing };

	// What the link shows at one look: SRT's own figures, totals of the run.
	struct Look {
		Clock::time_point at;
		double rttMs = 0;
		double sendBufferMs = 0;
		// As both sides settled it.
		int latencyMs = 0;
		int64_t packetsSent = 0;
		int64_t packetsRetransmitted = 0;
		int64_t packetsDropped = 0;
		// Bytes the receiver acknowledged.
		int64_t bytesDelivered = 0;
	};

	// otherBitsPerSecond: what goes out besides the video (the audio).
	BitrateController(int64_t requestedBitsPerSecond, int64_t floorBitsPerSecond, int64_t otherBitsPerSecond);

	// True when the target changed with this look.
	bool look(const Look &now);

	int64_t targetBitsPerSecond() const { return target_; }
	State state() const { return state_; }
	static const char *stateName(State state);

private:
	void lower(int64_t to, const Look &now);

	const int64_t requested_;
	const int64_t floor_;
	const int64_t other_;
	int64_t target_;
	// The target at which the link last narrowed.
	int64_t ceiling_;
	// The share of the requested rate of the last step beyond the ceiling.
	double stepAboveCeiling_ = 0;
	State state_ = State::Steady;

	bool started_ = false;
	Look last_;
	// The lowest round trip of the current and the previous window.
	double rttFloorMs_ = 0;
	double windowRttFloorMs_ = 0;
	Clock::time_point windowStart_;
	// Since when the round trip shows a queue; none while it does not.
	std::optional<Clock::time_point> queuedSince_;
	// The delivered rate, measured over about a second.
	Look rateMark_;
	// Where losses are counted from.
	Look lossMark_;
	double deliveredBitsPerSecond_ = 0;
	// The lowest delivered rate of this congestion's windows that the
	// link's queue stayed full throughout: the link's own rate.
	double linkBitsPerSecond_ = 0;
	Clock::time_point linkMeasuredAt_;
	// Since a halving that drains what the link's queue and SRT's send
	// buffer hold.
	bool draining_ = false;
	Clock::time_point lastDecrease_;
	Clock::time_point lastIncrease_;
	Clock::time_point cleanSince_;
	std::chrono::milliseconds holdOff_;
};

} // namespace tiloran
