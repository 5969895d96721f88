#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "channel/ServerChannel.h"
#include "config/SrtSettings.h"
#include "output/sink/OutputSink.h"
#include "output/sink/SrtSocket.h"

namespace tiloran {

// The output over an SRT connection of its own, as the caller: libsrt in live
// mode, one MPEG-TS packet of up to 1316 bytes per SRT message, the stream id,
// passphrase and latency as the settings give them. Its figures come from
// SRT's own statistics.
//
// A receiver that stops reading (or is gone) is given up as soon as SRT
// holds more unacknowledged data than twice the latency (at least a second),
// not only after SRT's own 5 s, with or without reconnection.
// Without reconnection the first failure is final: a connection that cannot
// be made fails open(), a lost one fails the next write. With it, neither
// ends the stream: a thread of the sink's own connects again, backing off
// from 250 ms to 2 s, while what is written in between is dropped. Each
// connection, loss, failed call and recovery is a console line and a "link"
// message with its code (SrtConnected, SrtRestored, the call's failure,
// SrtLost), the link's state, its failed calls and the last failure's code,
// so that the server shows the state beside the event that changed it.
//
// A further destination of the stream (label set, such as "Output 1") says
// its label before each console line and sends plain events instead of
// "link" messages, which are the main destination's; a failure of its own is
// a warning there, as the stream goes on without it.
//
// A connection attempt waits in short slices, so that a stop gives it up at
// once: close(), or the abandon flag set from any thread (a stop while the
// stream is still starting, before open() has returned).
//
// Threading: as OutputSink; the connecting thread is internal, ended and
// joined by close() and the destructor.
class SrtSink final : public OutputSink
{
public:
	// displayUri appears in messages, the passphrase already hidden; label
	// is empty for the stream's main destination.
	SrtSink(SrtSettings settings, std::string displayUri, ServerChannel &events,
		const std::atomic<bool> &abandon, std::string label = {});
	~SrtSink() override;

	SrtSink(const SrtSink &) = delete;
	SrtSink &operator=(const SrtSink &) = delete;

	bool open(std::string &message) override;
	bool write(const uint8_t *bytes, std::size_t size, std::string &message) override;
	bool restartPending() const override;
	void beginRestart() override;
	void close() override;
	// SRT paces to the rate plus its overhead share (SRTO_INPUTBW with
	// SRTO_MAXBW 0), on this connection and every later one. Until the
	// first call SRT keeps its own unpaced default.
	void followRate(int64_t bitsPerSecond) override;
	int64_t bytesSent() const override { return bytesSent_; }
	std::optional<SrtLinkStatistics> linkStatistics() const override;

private:
	enum class State { Connecting, Connected, Reconnecting, Closed };
	using Clock = std::chrono::steady_clock;
	static const char *stateName(State state);

	// code: none for a call given up (not a failure of the link).
	struct Failure {
		std::optional<EventCode> code;
		std::string reason;
	};
	// A new connection, or none with the failure.
	SrtSocket connect(Failure &failure);
	// Until the connection begun on socket is made (true), fails or is given
	// up (false, with the failure).
	bool awaitConnection(SRTSOCKET socket, Failure &failure) const;
	bool givenUp() const { return abandon_ || stopping_; }
	// The console line and the link message of a change, with its code, under the mutex.
	void reportLocked(EventCode code, const char *level, const std::string &text);
	void reconnect();
	// Ends the connection in place (under the mutex) and, with
	// reconnection, hands it to the connecting thread.
	void loseLocked(const std::string &reason);
	// The connection's totals go into the run's when it ends.
	void closeSocketLocked();
	void refreshStatisticsLocked(SRTSOCKET socket) const;

	const SrtSettings settings_;
	const std::string displayUri_;
	const std::string label_;
	ServerChannel &events_;
	const std::atomic<bool> &abandon_;

	mutable std::mutex mutex_;
	std::condition_variable wake_;
	State state_ = State::Connecting;
	SrtSocket socket_;
	bool restartPending_ = false;
	// Set under the mutex; read without it by a connection attempt.
	std::atomic<bool> stopping_{ false };
	Clock::time_point connectedAt_;
	Clock::time_point lostAt_;
	// The last good figures, and the totals of connections that ended;
	// refreshed when statistics are asked for.
	mutable SrtLinkStatistics figures_;
	SrtLinkStatistics previousTotals_;
	std::string peer_;
	int failedAttempts_ = 0;
	Failure failure_;
	Clock::time_point lastWatch_;
	// Bytes per second for SRTO_INPUTBW; 0 until followRate.
	int64_t inputBytesPerSecond_ = 0;

	std::atomic<int64_t> bytesSent_{ 0 };
	bool libraryStarted_ = false;
	std::thread connector_;
};

} // namespace tiloran
