#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "common/protocol/EventCode.h"

namespace tiloran {

// What the server knows of the stream: the state of the current or last run
// of the worker, its number and settings, the worker's latest statistics
// record, the last events, how the last run ended, and counters over the
// server's whole life. Builds the
// documents of GET /api/stream/stats and GET /metrics. Each event, and the
// end of a run that failed, has its code (common/protocol/EventCode.h) beside
// its message: the worker's as it gave it, none from a worker that gave none.
//
// Threading: every operation may be called from any thread; one mutex guards
// everything.
class StreamStatistics
{
public:
	// Unresponsive: a worker that has sent records sent none for a while.
	enum class State { Idle, Starting, Live, Unresponsive, Failed, Stopped };
	// How a worker's run ended.
	enum class Ending {
		ByItself,
		// It did not end within its grace after a stop request.
		TerminatedAfterStop,
		// It sent no records for too long and was ended.
		Unresponsive,
	};
	// Why a worker that stopped sending records was ended.
	static constexpr const char *unresponsiveReason = "Worker stopped responding";
	// How a worker that did not stop in time was ended.
	static constexpr const char *terminatedReason = "terminated: did not stop within 2 s";

	// How many events are kept, and how many the stats document shows.
	static constexpr std::size_t keptEvents = 200;
	static constexpr std::size_t shownEvents = 50;

	StreamStatistics();

	StreamStatistics(const StreamStatistics &) = delete;
	StreamStatistics &operator=(const StreamStatistics &) = delete;

	// From the supervisor. settings: the run's worker configuration
	// document; its passphrase is not kept.
	void workerStarted(std::uint32_t processId, nlohmann::json settings = nullptr);
	void stopRequested();
	void workerEnded(std::uint32_t exitCode, Ending ending);
	// The running worker's records stopped coming, for silence so far.
	void workerUnresponsive(std::chrono::steady_clock::duration silence);
	// A worker ended as unresponsive was started again in its place.
	void workerRestarted();
	// How long since the current run's last record; none before its first.
	std::optional<std::chrono::steady_clock::duration> recordSilence() const;

	// From the worker, over its channel (code: none when it gave none, or
	// one this server does not know).
	void statisticsReceived(const nlohmann::json &record);
	void eventReceived(std::optional<EventCode> code, const std::string &level, const std::string &message);
	// A change of the SRT link: its event, and the link's state, failed
	// calls and last failure, which stand in the stats document beside the
	// event from then on (a record of the worker's may be older).
	void linkReceived(std::optional<EventCode> code, const std::string &level, const std::string &message,
			  const nlohmann::json &link);
	void liveReceived();
	void failureReceived(std::optional<EventCode> code, const std::string &message);

	// running: whether the supervisor has a worker now.
	nlohmann::json document(bool running) const;
	std::string metrics(bool running) const;

	State state() const;

private:
	struct Event {
		std::chrono::system_clock::time_point at;
		std::optional<EventCode> code;
		std::string level;
		std::string message;
	};
	struct Exit {
		std::uint32_t code = 0;
		// Empty when the worker ended as asked; then no failure either.
		std::string message;
		std::optional<EventCode> failure;
		std::chrono::system_clock::time_point at;
		// The run's last output record: its totals stay known.
		nlohmann::json output;
	};

	void changeState(State state);
	void sayOnAirOnceLinkIsUp();
	void addEvent(std::optional<EventCode> code, std::string level, std::string message);

	mutable std::mutex mutex_;
	State state_ = State::Idle;
	std::chrono::system_clock::time_point since_;
	std::chrono::steady_clock::time_point startedAt_;
	// The current run's last record, if any; and its state before it fell silent.
	std::optional<std::chrono::steady_clock::time_point> lastRecordAt_;
	State stateBeforeSilence_ = State::Starting;
	bool stopRequested_ = false;
	std::string failureMessage_;
	std::optional<EventCode> failureCode_;
	// The failure the current run's link gave when it last ended the link:
	// its code and its reason ("connection rejected").
	std::optional<EventCode> linkFailureCode_;
	std::string linkFailureReason_;
	// The current run's latest record; null between runs.
	nlohmann::json latest_;
	// The current run's latest link change; null before the first.
	nlohmann::json link_;
	// The run is on air and has said so: pictures reach the output, and the
	// link, where there is one, carries them.
	bool onAirSaid_ = false;
	std::deque<Event> events_;
	std::optional<Exit> lastExit_;
	// Also the number of the current or last run.
	std::uint64_t starts_ = 0;
	nlohmann::json runSettings_;
	std::uint64_t failures_ = 0;
	std::uint64_t restarts_ = 0;
};

// Time in ISO 8601, UTC, to the millisecond: 2026-12-08T04:51:02.123Z.
std::string isoUtcTime(std::chrono::system_clock::time_point time);

} // namespace tiloran
