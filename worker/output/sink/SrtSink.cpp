#include "output/sink/SrtSink.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "common/ConsoleLine.h"
#include "common/PrintableText.h"
#include "output/sink/platform/AddressResolution.h"

namespace tiloran {

namespace {

constexpr std::chrono::milliseconds firstBackoff{ 250 };
constexpr std::chrono::milliseconds lastBackoff{ 2000 };
// How often a write looks at how much SRT holds unacknowledged.
constexpr std::chrono::milliseconds watchInterval{ 100 };
// What an orderly close waits at most for SRT to hand on what it holds.
constexpr std::chrono::milliseconds drainTime{ 1000 };
// What a receiver takes to read what its latency held back.
constexpr std::chrono::milliseconds receiverMargin{ 100 };
constexpr int connectTimeoutMs = 3000;
// How often a connection attempt looks whether it is given up.
constexpr int connectSliceMs = 20;
// SRT reports a timed-out attempt itself; this only bounds the wait if it
// never does.
constexpr std::chrono::milliseconds connectDeadline{ connectTimeoutMs + 2000 };
const char *const givenUpReason = "the stream is stopping";

std::string secondsText(double seconds)
{
	char text[32];
	std::snprintf(text, sizeof(text), "%.1f", seconds);
	return text;
}

} // namespace

SrtSink::SrtSink(SrtSettings settings, std::string displayUri, ServerChannel &events,
		 const std::atomic<bool> &abandon, std::string label)
	: settings_(std::move(settings)), displayUri_(std::move(displayUri)), label_(std::move(label)), events_(events),
	  abandon_(abandon)
{
	// libsrt counts its users; its own log stays quiet, the sink reports.
	libraryStarted_ = srt_startup() >= 0;
	srt_setloglevel(LOG_CRIT);
	// Shown on the console and to the server as it is: never a line break.
	peer_ = shownHostPort(settings_);
	figures_.peer = peer_;
}

SrtSink::~SrtSink()
{
	close();
	if (libraryStarted_)
		srt_cleanup();
}

const char *SrtSink::stateName(State state)
{
	switch (state) {
	case State::Connected:
		return "connected";
	case State::Reconnecting:
		return "reconnecting";
	case State::Closed:
		return "closed";
	case State::Connecting:
		break;
	}
	return "connecting";
}

SrtSocket SrtSink::connect(Failure &failure)
{
	const std::vector<unsigned char> address =
		platform::resolveUdpAddress(settings_.host, settings_.port, failure.reason);
	if (address.empty()) {
		failure.code = EventCode::SrtHostUnresolved;
		return {};
	}
	SrtSocket owned(srt_create_socket());
	const SRTSOCKET socket = owned.get();
	bool configured = static_cast<bool>(owned);
	const auto setInt = [&](SRT_SOCKOPT option, int value) {
		configured = configured && srt_setsockflag(socket, option, &value, sizeof(value)) == 0;
	};
	const auto setText = [&](SRT_SOCKOPT option, const std::string &value) {
		if (!value.empty())
			configured = configured && srt_setsockflag(socket, option, value.data(), static_cast<int>(value.size())) == 0;
	};
	setInt(SRTO_TRANSTYPE, SRTT_LIVE);
	// srt_connect returns at once; awaitConnection waits, and can give up.
	// Sending stays blocking (SRTO_SNDSYN).
	setInt(SRTO_RCVSYN, 0);
	setInt(SRTO_LATENCY, settings_.latencyMs);
	setInt(SRTO_CONNTIMEO, connectTimeoutMs);
	int64_t inputBytesPerSecond;
	{
		std::lock_guard lock(mutex_);
		inputBytesPerSecond = inputBytesPerSecond_;
	}
	if (inputBytesPerSecond > 0)
		configured = configured && paceSrtSocket(socket, inputBytesPerSecond);
	setText(SRTO_STREAMID, settings_.streamId);
	setText(SRTO_PASSPHRASE, settings_.passphrase);
	if (configured)
		configured = srt_connect(socket, reinterpret_cast<const sockaddr *>(address.data()),
					 static_cast<int>(address.size())) != SRT_ERROR;
	if (!configured) {
		failure = { EventCode::SrtFailed, srt_getlasterror_str() };
		return {};
	}
	if (!awaitConnection(socket, failure))
		return {};
	return owned;
}

bool SrtSink::awaitConnection(SRTSOCKET socket, Failure &failure) const
{
	const int poller = srt_epoll_create();
	if (poller < 0) {
		failure = { EventCode::SrtFailed, srt_getlasterror_str() };
		return false;
	}
	const struct PollerRelease {
		int poller;
		~PollerRelease() { srt_epoll_release(poller); }
	} release{ poller };
	const int wanted = SRT_EPOLL_OUT | SRT_EPOLL_ERR;
	if (srt_epoll_add_usock(poller, socket, &wanted) != 0) {
		failure = { EventCode::SrtFailed, srt_getlasterror_str() };
		return false;
	}
	const auto silent = [&] { failure = { EventCode::SrtPeerSilent, srt_strerror(SRT_ENOSERVER, 0) }; };
	const Clock::time_point deadline = Clock::now() + connectDeadline;
	for (;;) {
		if (givenUp()) {
			failure = { std::nullopt, givenUpReason };
			return false;
		}
		SRT_EPOLL_EVENT event{};
		const int ready = srt_epoll_uwait(poller, &event, 1, connectSliceMs);
		const SRT_SOCKSTATUS state = srt_getsockstate(socket);
		if (state == SRTS_CONNECTED)
			return true;
		// A failed attempt stays "connecting" and is told by the error event;
		// the texts are those a blocking srt_connect gives.
		if ((ready > 0 && (event.events & SRT_EPOLL_ERR) != 0) || state == SRTS_BROKEN || state == SRTS_CLOSING ||
		    state == SRTS_CLOSED || state == SRTS_NONEXIST) {
			const int rejection = srt_getrejectreason(socket);
			if (rejection == SRT_REJ_TIMEOUT) {
				silent();
				return false;
			}
			// The receiver answered and refused: its reason says which setting it
			// did not take. A passphrase that differs, or is missing on one side,
			// is the one an operator can tell and fix.
			const bool passphrase = rejection == SRT_REJ_BADSECRET || rejection == SRT_REJ_UNSECURE;
			failure = { passphrase ? EventCode::SrtRejectedPassphrase : EventCode::SrtRejected,
				    std::string(srt_strerror(SRT_ECONNREJ, 0)) + ": " + srt_rejectreason_str(rejection) };
			return false;
		}
		if (Clock::now() >= deadline) {
			silent();
			return false;
		}
	}
}

bool SrtSink::open(std::string &message)
{
	Failure failure;
	SrtSocket socket = connect(failure);
	std::lock_guard lock(mutex_);
	if (!socket && givenUp()) {
		// Not a failure of the link: nobody waits for the stream any more.
		state_ = State::Closed;
		message = std::string("SRT connection given up: ") + givenUpReason;
		return false;
	}
	if (socket) {
		socket_ = std::move(socket);
		state_ = State::Connected;
		connectedAt_ = Clock::now();
		refreshStatisticsLocked(socket_.get());
		reportLocked(EventCode::SrtConnected, "info",
			     "SRT connected to " + peer_ + " (latency " + std::to_string(figures_.latencyMs) + " ms)");
	} else {
		failedAttempts_ = 1;
		++figures_.failedCalls;
		failure_ = failure;
		if (!settings_.reconnect) {
			state_ = State::Closed;
			reportLocked(failure.code.value_or(EventCode::SrtFailed), "error", "SRT connection to " + peer_ + " failed: " + failure.reason);
			message = "Input/output error";
			return false;
		}
		// The first of the calls that the connecting thread numbers on.
		reportLocked(failure.code.value_or(EventCode::SrtFailed), "warning", "SRT connection attempt 1 to " + peer_ + " failed: " + failure.reason);
		lostAt_ = Clock::now();
	}
	if (settings_.reconnect)
		connector_ = std::thread([this] { reconnect(); });
	return true;
}

bool SrtSink::write(const uint8_t *bytes, std::size_t size, std::string &message)
{
	SRTSOCKET socket;
	{
		std::lock_guard lock(mutex_);
		if (state_ != State::Connected || restartPending_) {
			// Reconnecting: what is written in between is dropped.
			if (settings_.reconnect && state_ != State::Closed)
				return true;
			message = "SRT connection is closed";
			return false;
		}
		socket = socket_.get();
		const Clock::time_point now = Clock::now();
		if (now - lastWatch_ >= watchInterval) {
			lastWatch_ = now;
			refreshStatisticsLocked(socket);
			const double limitMs = std::max(2.0 * settings_.latencyMs, 1000.0);
			if (figures_.sendBufferMs > limitMs) {
				const std::string reason = "the receiver stopped reading (" +
							   secondsText(figures_.sendBufferMs / 1000.0) + " s unacknowledged)";
				loseLocked(reason);
				if (settings_.reconnect)
					return true;
				message = reason;
				return false;
			}
		}
	}

	if (srt_sendmsg2(socket, reinterpret_cast<const char *>(bytes), static_cast<int>(size), nullptr) != SRT_ERROR) {
		bytesSent_ += static_cast<int64_t>(size);
		return true;
	}
	const std::string reason = srt_getlasterror_str();
	std::lock_guard lock(mutex_);
	if (socket_.get() == socket)
		loseLocked(reason);
	if (settings_.reconnect)
		return true;
	message = reason;
	return false;
}

void SrtSink::followRate(int64_t bitsPerSecond)
{
	std::lock_guard lock(mutex_);
	inputBytesPerSecond_ = bitsPerSecond / 8;
	if (socket_)
		paceSrtSocket(socket_.get(), inputBytesPerSecond_);
}

bool SrtSink::restartPending() const
{
	std::lock_guard lock(mutex_);
	return restartPending_;
}

void SrtSink::beginRestart()
{
	std::lock_guard lock(mutex_);
	restartPending_ = false;
}

void SrtSink::close()
{
	SRTSOCKET socket;
	std::chrono::milliseconds latency;
	{
		std::lock_guard lock(mutex_);
		stopping_ = true;
		socket = socket_.get();
		latency = std::chrono::milliseconds(std::max(figures_.latencyMs, 0));
	}
	wake_.notify_all();
	if (connector_.joinable())
		connector_.join();

	// Live mode drops what SRT still holds when the socket closes, and the
	// receiver what it holds back for its latency when the caller goes:
	// give both a moment first.
	if (socket != SRT_INVALID_SOCK) {
		const Clock::time_point deadline = Clock::now() + drainTime;
		std::size_t blocks = 0;
		while (srt_getsndbuffer(socket, &blocks, nullptr) == 0 && blocks > 0 && Clock::now() < deadline)
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
		std::this_thread::sleep_until(std::min(deadline, Clock::now() + latency + receiverMargin));
	}
	std::lock_guard lock(mutex_);
	closeSocketLocked();
	state_ = State::Closed;
}

void SrtSink::reconnect()
{
	std::unique_lock lock(mutex_);
	std::chrono::milliseconds backoff = firstBackoff;
	for (;;) {
		wake_.wait(lock, [this] { return stopping_ || state_ == State::Connecting || state_ == State::Reconnecting; });
		if (stopping_)
			return;
		if (wake_.wait_for(lock, backoff, [this] { return stopping_.load(); }))
			return;
		const int attempt = failedAttempts_ + 1;
		lock.unlock();
		Failure failure;
		SrtSocket socket = connect(failure);
		lock.lock();
		if (stopping_)
			return;
		// The stream is ending; close() follows.
		if (!socket && abandon_)
			continue;
		if (!socket) {
			failedAttempts_ = attempt;
			++figures_.failedCalls;
			failure_ = failure;
			reportLocked(failure.code.value_or(EventCode::SrtFailed), "warning", "SRT connection attempt " + std::to_string(attempt) + " to " + peer_ +
							" failed: " + failure.reason);
			backoff = std::min(2 * backoff, lastBackoff);
			continue;
		}

		const bool restored = state_ == State::Reconnecting;
		const double outage = std::chrono::duration<double>(Clock::now() - lostAt_).count();
		socket_ = std::move(socket);
		state_ = State::Connected;
		connectedAt_ = Clock::now();
		restartPending_ = true;
		refreshStatisticsLocked(socket_.get());
		failedAttempts_ = 0;
		failure_ = {};
		if (restored) {
			++figures_.reconnects;
			reportLocked(EventCode::SrtRestored, "info", "SRT connection restored after " + secondsText(outage) + " s (attempt " +
						     std::to_string(attempt) + ")");
		} else {
			reportLocked(EventCode::SrtConnected, "info", "SRT connected to " + peer_ + " (attempt " + std::to_string(attempt) + ")");
		}
		backoff = firstBackoff;
	}
}

void SrtSink::loseLocked(const std::string &reason)
{
	if (state_ != State::Connected)
		return;
	closeSocketLocked();
	lostAt_ = Clock::now();
	failedAttempts_ = 0;
	++figures_.outages;
	failure_ = { EventCode::SrtLost, reason };
	if (settings_.reconnect) {
		state_ = State::Reconnecting;
		reportLocked(EventCode::SrtLost, "warning", "SRT connection lost: " + reason + "; reconnecting");
	} else {
		state_ = State::Closed;
		reportLocked(EventCode::SrtLost, "error", "SRT connection lost: " + reason);
	}
	wake_.notify_all();
}

void SrtSink::reportLocked(EventCode code, const char *level, const std::string &text)
{
	const std::string line = label_.empty() ? text : label_ + ": " + text;
	if (std::string_view(level) == "info")
		printLine("[CompositeOutput] " + line);
	else
		printErrorLine("[CompositeOutput] " + line);
	if (!label_.empty()) {
		events_.sendEvent(code, std::string_view(level) == "error" ? "warning" : level, line);
		return;
	}
	nlohmann::json failure = nullptr;
	if (failure_.code)
		failure = { { "code", std::string(eventCodeText(*failure_.code)) }, { "reason", failure_.reason } };
	events_.send({ { "type", "link" },
		       { "code", std::string(eventCodeText(code)) },
		       { "level", level },
		       { "message", line },
		       { "link",
			 { { "state", stateName(state_) },
			   { "failedAttempts", failedAttempts_ },
			   { "failure", failure },
			   { "reconnects", figures_.reconnects },
			   { "outages", figures_.outages },
			   { "failedCalls", figures_.failedCalls } } } });
}

void SrtSink::closeSocketLocked()
{
	if (!socket_)
		return;
	refreshStatisticsLocked(socket_.get());
	previousTotals_.packetsSent = figures_.packetsSent;
	previousTotals_.packetsLost = figures_.packetsLost;
	previousTotals_.packetsRetransmitted = figures_.packetsRetransmitted;
	previousTotals_.packetsDropped = figures_.packetsDropped;
	previousTotals_.bytesDelivered = figures_.bytesDelivered;
	socket_.reset();
}

void SrtSink::refreshStatisticsLocked(SRTSOCKET socket) const
{
	// After a break SRT has no figures for the socket: the last good ones stay.
	SRT_TRACEBSTATS statistics{};
	if (srt_bistats(socket, &statistics, 0, 1) != 0)
		return;
	figures_.rttMs = statistics.msRTT;
	figures_.sendRateMbps = statistics.mbpsSendRate;
	figures_.bandwidthMbps = statistics.mbpsBandwidth;
	figures_.sendBufferMs = statistics.msSndBuf;
	figures_.latencyMs = statistics.msSndTsbPdDelay;
	figures_.packetsSent = previousTotals_.packetsSent + statistics.pktSentTotal;
	figures_.packetsLost = previousTotals_.packetsLost + statistics.pktSndLossTotal;
	figures_.packetsRetransmitted = previousTotals_.packetsRetransmitted + statistics.pktRetransTotal;
	figures_.packetsDropped = previousTotals_.packetsDropped + statistics.pktSndDropTotal;
	// Sent once, less what is still in flight: SRT's send buffer (byteSndBuf)
	// also holds what waits for its pacing, which was never sent, so that a
	// backlog draining would count as delivered.
	const double bytesPerPacket = statistics.pktSentUniqueTotal > 0
					      ? static_cast<double>(statistics.byteSentUniqueTotal) /
							static_cast<double>(statistics.pktSentUniqueTotal)
					      : 0;
	figures_.bytesDelivered =
		previousTotals_.bytesDelivered +
		std::max<int64_t>(0, static_cast<int64_t>(statistics.byteSentUniqueTotal - statistics.byteSndDropTotal) -
					     static_cast<int64_t>(bytesPerPacket * statistics.pktFlightSize));
}

std::optional<SrtLinkStatistics> SrtSink::linkStatistics() const
{
	std::lock_guard lock(mutex_);
	if (socket_)
		refreshStatisticsLocked(socket_.get());
	SrtLinkStatistics statistics = figures_;
	statistics.state = stateName(state_);
	statistics.failedAttempts = failedAttempts_;
	statistics.failureCode = failure_.code;
	statistics.failureReason = failure_.reason;
	statistics.connectedSeconds =
		state_ == State::Connected ? std::chrono::duration<double>(Clock::now() - connectedAt_).count() : 0.0;
	return statistics;
}

} // namespace tiloran
