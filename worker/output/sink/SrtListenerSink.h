#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channel/ServerChannel.h"
#include "config/SrtSettings.h"
#include "output/sink/OutputSink.h"
#include "output/sink/SrtSocket.h"

namespace tiloran {

// The output as SRT listener: the settings' host and port are bound, and
// receivers call in, each served on a connection of its own (live mode, one
// MPEG-TS packet of up to 1316 bytes per message, the settings' latency).
//
// A call is refused with SRT's rejection reason when the listener already
// serves maxCallers receivers (SRT_REJX_OVERLOAD) or, where the settings list
// stream ids, when its stream id is not among them (SRT_REJX_FORBIDDEN). The
// passphrase is the listening socket's, enforced: a caller with another one,
// or none, is refused by SRT itself; the listener learns of it only as a call
// its check let pass whose connection never came, and reports it as such.
//
// A receiver that is accepted waits for the stream's next restart (tables,
// then a key picture), so that its first picture decodes; those already in
// take the restart as part of their stream. No receiver waits for another:
// sends do not block, and one whose send buffer holds more than the latency
// (at least half a second) or refuses a send is dropped, the others go on.
// Every listening, call, refusal, departure and drop is a console line and an
// event with its code; a further destination (label set) says its label first.
//
// Threading: as OutputSink. A thread of the sink's own accepts the callers,
// waiting in short slices so that close() ends it at once; close() and the
// destructor join it. SRT's own thread runs the call check (the listen
// callback), which touches nothing but the call lists under their mutex.
class SrtListenerSink final : public OutputSink
{
public:
	// label is empty for the stream's main destination.
	SrtListenerSink(SrtSettings settings, ServerChannel &events, std::string label = {});
	~SrtListenerSink() override;

	SrtListenerSink(const SrtListenerSink &) = delete;
	SrtListenerSink &operator=(const SrtListenerSink &) = delete;

	// False with the reason when the address cannot be bound ("address in
	// use", a host that is not this machine's).
	bool open(std::string &message) override;
	// Never fails: the stream goes on without a receiver that failed.
	bool write(const uint8_t *bytes, std::size_t size, std::string &message) override;
	// Whether a receiver waits for its first key picture.
	bool restartPending() const override;
	void beginRestart() override;
	void close() override;
	// On every receiver's connection, as SrtSink paces its one.
	void followRate(int64_t bitsPerSecond) override;
	int64_t bytesSent() const override { return bytesSent_; }
	std::optional<SrtLinkStatistics> linkStatistics() const override;

private:
	using Clock = std::chrono::steady_clock;

	struct Caller {
		int slot = 0;
		SrtSocket socket;
		std::string address;
		std::string streamId;
		Clock::time_point since;
		// Until the restart that gives it its first key picture.
		bool waiting = true;
		SrtCallerStatistics figures;
	};
	// A call the check let pass, until its connection is accepted.
	struct PendingCall {
		std::string address;
		std::string streamId;
		Clock::time_point at;
	};
	struct Refusal {
		EventCode code;
		std::string text;
	};

	static int checkCall(void *opaque, SRTSOCKET socket, int version, const sockaddr *peer, const char *streamId);
	int checkCall(SRTSOCKET socket, const sockaddr *peer, const char *streamId);
	void acceptCallers();
	void admit(SrtSocket socket, const std::string &address, const std::string &streamId);
	// Calls that passed the check but were not accepted, and refusals, reported.
	void reportRefusals();
	// Drops the callers whose sends failed or whose buffers overflow.
	void watchCallersLocked();
	void removeCallerLocked(std::size_t index, EventCode code, const std::string &reason);
	static void refresh(SRTSOCKET socket, SrtCallerStatistics &figures);
	void report(EventCode code, const char *level, const std::string &text);
	std::string callerName(const std::string &address, const std::string &streamId) const;

	const SrtSettings settings_;
	const std::string label_;
	const std::string localAddress_;
	ServerChannel &events_;
	SrtSocket listener_;

	// The callers, their figures and the pace; taken by the output thread,
	// the accepting thread and statistics. SRT is called under it, so the
	// call check never takes it.
	mutable std::mutex mutex_;
	std::vector<Caller> callers_;
	// The connections of callers that were dropped or left, for the
	// accepting thread to close.
	std::vector<SrtSocket> closing_;
	int64_t inputBytesPerSecond_ = 0;
	Clock::time_point lastWatch_;
	int64_t joined_ = 0;
	int64_t dropped_ = 0;
	// The callers' count for the call check, which does not take mutex_.
	std::atomic<int> occupied_{ 0 };

	// The call check's: SRT is never called under it.
	mutable std::mutex callMutex_;
	std::map<SRTSOCKET, PendingCall> pending_;
	std::vector<Refusal> refusals_;
	int64_t refused_ = 0;

	std::atomic<bool> stopping_{ false };
	std::atomic<int64_t> bytesSent_{ 0 };
	bool libraryStarted_ = false;
	std::thread acceptor_;
};

} // namespace tiloran
