#include "output/sink/SrtListenerSink.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include <srt/access_control.h>

#include "common/ConsoleLine.h"
#include "common/PrintableText.h"
#include "output/sink/platform/AddressResolution.h"

namespace tiloran {

namespace {

// A peer as "host:port" ("[host]:port" for IPv6, an IPv4-mapped one as IPv4).
std::string addressText(const sockaddr *address)
{
	std::string host;
	std::string port;
	if (!platform::numericAddress(address, host, port))
		return "unknown address";
	// An IPv4 caller of a listener on "[::]" comes as an IPv4-mapped address.
	const std::string mapped = "::ffff:";
	if (host.rfind(mapped, 0) == 0 && host.find('.') != std::string::npos)
		return host.substr(mapped.size()) + ":" + port;
	return host.find(':') != std::string::npos ? "[" + host + "]:" + port : host + ":" + port;
}

// How long the accepting thread waits for a call at a time.
constexpr int acceptSliceMs = 50;
// How often a write looks at how much each caller holds unacknowledged.
constexpr std::chrono::milliseconds watchInterval{ 100 };
// A call SRT neither accepted nor closed by then is taken as failed.
constexpr std::chrono::seconds handshakeDeadline{ 3 };
// The least a caller may hold unacknowledged before it is dropped: at a
// small latency a key picture alone may take that long to leave. SRT drops
// what is older than a second itself, so the bound stays below that.
constexpr double leastBufferLimitMs = 500;
// What an orderly close waits at most for the receivers to get what is sent.
constexpr std::chrono::milliseconds drainTime{ 1000 };
// What a receiver takes to read what its latency held back.
constexpr std::chrono::milliseconds receiverMargin{ 100 };
std::string msText(double ms)
{
	char text[32];
	std::snprintf(text, sizeof(text), "%.0f", ms);
	return text;
}

} // namespace

SrtListenerSink::SrtListenerSink(SrtSettings settings, ServerChannel &events, std::string label)
	: settings_(std::move(settings)), label_(std::move(label)), localAddress_(shownHostPort(settings_)), events_(events)
{
	// libsrt counts its users; its own log stays quiet, the sink reports.
	libraryStarted_ = srt_startup() >= 0;
	srt_setloglevel(LOG_CRIT);
}

SrtListenerSink::~SrtListenerSink()
{
	close();
	if (libraryStarted_)
		srt_cleanup();
}

bool SrtListenerSink::open(std::string &message)
{
	std::string reason;
	const std::vector<unsigned char> address = platform::resolveUdpAddress(settings_.host, settings_.port, reason);
	if (address.empty()) {
		message = "cannot listen on " + localAddress_ + ": " + reason;
		return false;
	}
	SrtSocket owned(srt_create_socket());
	const SRTSOCKET socket = owned.get();
	bool configured = static_cast<bool>(owned);
	const auto setInt = [&](SRT_SOCKOPT option, int value) {
		configured = configured && srt_setsockflag(socket, option, &value, sizeof(value)) == 0;
	};
	setInt(SRTO_TRANSTYPE, SRTT_LIVE);
	// Accepting does not block; neither does sending to a caller, which
	// takes the listening socket's options.
	setInt(SRTO_RCVSYN, 0);
	setInt(SRTO_SNDSYN, 0);
	setInt(SRTO_LATENCY, settings_.latencyMs);
	if (!settings_.passphrase.empty()) {
		configured = configured && srt_setsockflag(socket, SRTO_PASSPHRASE, settings_.passphrase.data(),
							   static_cast<int>(settings_.passphrase.size())) == 0;
		setInt(SRTO_ENFORCEDENCRYPTION, 1);
	}
	// "[::]" takes IPv4 callers too.
	if (reinterpret_cast<const sockaddr *>(address.data())->sa_family == AF_INET6)
		setInt(SRTO_IPV6ONLY, 0);
	if (configured)
		configured = srt_listen_callback(socket, &SrtListenerSink::checkCall, this) == 0;
	if (!configured) {
		message = std::string("cannot listen on ") + localAddress_ + ": " + srt_getlasterror_str();
		return false;
	}
	if (srt_bind(socket, reinterpret_cast<const sockaddr *>(address.data()), static_cast<int>(address.size())) ==
		    SRT_ERROR ||
	    srt_listen(socket, settings_.maxCallers) == SRT_ERROR) {
		// SRT's text does not say why the system refused the address.
		const std::string srtReason = srt_getlasterror_str();
		const std::string systemReason = platform::udpBindProblem(address);
		message = "cannot listen on " + localAddress_ + ": " + (systemReason.empty() ? srtReason : systemReason);
		return false;
	}
	listener_ = std::move(owned);
	report(EventCode::SrtListening, "info",
	       "SRT listening on " + localAddress_ + " for up to " + std::to_string(settings_.maxCallers) + " receivers" +
		       (settings_.allowedStreamIds.empty() ? "" : " with a listed stream id"));
	acceptor_ = std::thread([this] { acceptCallers(); });
	return true;
}

int SrtListenerSink::checkCall(void *opaque, SRTSOCKET socket, int, const sockaddr *peer, const char *streamId)
{
	return static_cast<SrtListenerSink *>(opaque)->checkCall(socket, peer, streamId);
}

int SrtListenerSink::checkCall(SRTSOCKET socket, const sockaddr *peer, const char *streamId)
{
	const std::string address = addressText(peer);
	const std::string id = streamId ? streamId : "";
	int rejection = 0;
	{
		std::lock_guard lock(callMutex_);
		std::string why;
		if (stopping_) {
			rejection = SRT_REJX_DOWN;
			why = "the stream is stopping";
		} else if (!settings_.allowedStreamIds.empty() &&
			   std::find(settings_.allowedStreamIds.begin(), settings_.allowedStreamIds.end(), id) ==
				   settings_.allowedStreamIds.end()) {
			rejection = SRT_REJX_FORBIDDEN;
			why = "its stream id is not on the list (SRT_REJX_FORBIDDEN)";
		} else if (occupied_ + static_cast<int>(pending_.size()) >= settings_.maxCallers) {
			rejection = SRT_REJX_OVERLOAD;
			why = "already " + std::to_string(settings_.maxCallers) + " receivers, the most allowed (SRT_REJX_OVERLOAD)";
		}
		if (rejection == 0) {
			pending_[socket] = { address, id, Clock::now() };
		} else {
			++refused_;
			refusals_.push_back({ EventCode::SrtCallerRefused,
					      "SRT call from " + callerName(address, id) + " refused: " + why });
		}
	}
	if (rejection == 0)
		return 0;
	srt_setrejectreason(socket, rejection);
	return -1;
}

void SrtListenerSink::acceptCallers()
{
	const int poller = srt_epoll_create();
	const struct PollerRelease {
		int poller;
		~PollerRelease()
		{
			if (poller >= 0)
				srt_epoll_release(poller);
		}
	} release{ poller };
	const int wanted = SRT_EPOLL_IN | SRT_EPOLL_ERR;
	if (poller < 0 || srt_epoll_add_usock(poller, listener_.get(), &wanted) != 0) {
		report(EventCode::SrtFailed, "error", std::string("SRT listener cannot wait for calls: ") + srt_getlasterror_str());
		return;
	}
	while (!stopping_) {
		SRT_EPOLL_EVENT event{};
		if (srt_epoll_uwait(poller, &event, 1, acceptSliceMs) > 0 && (event.events & SRT_EPOLL_IN) != 0) {
			for (;;) {
				sockaddr_storage peer{};
				int length = sizeof(peer);
				SrtSocket socket(srt_accept(listener_.get(), reinterpret_cast<sockaddr *>(&peer), &length));
				if (!socket)
					break;
				PendingCall call{ addressText(reinterpret_cast<const sockaddr *>(&peer)), {}, {} };
				{
					std::lock_guard lock(callMutex_);
					const auto found = pending_.find(socket.get());
					if (found != pending_.end()) {
						call = found->second;
						pending_.erase(found);
					}
				}
				admit(std::move(socket), call.address, call.streamId);
			}
		}
		reportRefusals();
		// Closed as they go out of scope, outside the lock.
		std::vector<SrtSocket> closing;
		{
			std::lock_guard lock(mutex_);
			closing.swap(closing_);
		}
	}
}

void SrtListenerSink::admit(SrtSocket socket, const std::string &address, const std::string &streamId)
{
	const int off = 0;
	srt_setsockflag(socket.get(), SRTO_SNDSYN, &off, sizeof(off));
	std::lock_guard lock(mutex_);
	if (inputBytesPerSecond_ > 0)
		paceSrtSocket(socket.get(), inputBytesPerSecond_);
	int slot = 1;
	while (std::any_of(callers_.begin(), callers_.end(), [slot](const Caller &caller) { return caller.slot == slot; }))
		++slot;
	Caller caller;
	caller.slot = slot;
	caller.socket = std::move(socket);
	caller.address = address;
	caller.streamId = streamId;
	caller.since = Clock::now();
	caller.figures.slot = slot;
	caller.figures.address = address;
	caller.figures.streamId = printableText(streamId);
	callers_.push_back(std::move(caller));
	occupied_ = static_cast<int>(callers_.size());
	++joined_;
	report(EventCode::SrtCallerJoined, "info",
	       "SRT receiver in slot " + std::to_string(slot) + ", " + callerName(address, streamId) + ", called in (now " +
		       std::to_string(callers_.size()) + " of " + std::to_string(settings_.maxCallers) +
		       "); it takes the stream from the next key picture");
}

void SrtListenerSink::reportRefusals()
{
	std::vector<Refusal> refusals;
	std::vector<std::pair<SRTSOCKET, PendingCall>> calls;
	{
		std::lock_guard lock(callMutex_);
		refusals.swap(refusals_);
		for (const auto &[socket, call] : pending_)
			calls.emplace_back(socket, call);
	}
	// A call the check let pass whose connection SRT closed before it could
	// be accepted failed in SRT's own checks, which on a listener with a
	// passphrase is most likely the passphrase. SRT (1.5) tells only the
	// caller: the closed socket's rejection reason stays SRT_REJ_UNKNOWN.
	const Clock::time_point now = Clock::now();
	for (const auto &[socket, call] : calls) {
		const SRT_SOCKSTATUS state = srt_getsockstate(socket);
		const bool closed = state == SRTS_BROKEN || state == SRTS_CLOSING || state == SRTS_CLOSED ||
				    state == SRTS_NONEXIST;
		if (!closed && now - call.at < handshakeDeadline)
			continue;
		{
			std::lock_guard lock(callMutex_);
			if (pending_.erase(socket) == 0)
				continue;
			++refused_;
		}
		const std::string caller = callerName(call.address, call.streamId);
		if (settings_.passphrase.empty())
			refusals.push_back({ EventCode::SrtCallerRefused,
					     "SRT call from " + caller + " failed in SRT's handshake: it has a passphrase, or another SRT version" });
		else
			refusals.push_back({ EventCode::SrtCallerRefusedPassphrase,
					     "SRT call from " + caller +
						     " failed in SRT's handshake: most likely its passphrase does not match, or it has "
						     "none (SRT does not tell the listener)" });
	}
	for (const Refusal &refusal : refusals)
		report(refusal.code, "warning", refusal.text);
}

bool SrtListenerSink::write(const uint8_t *bytes, std::size_t size, std::string &)
{
	std::lock_guard lock(mutex_);
	const Clock::time_point now = Clock::now();
	if (now - lastWatch_ >= watchInterval) {
		lastWatch_ = now;
		watchCallersLocked();
	}
	for (std::size_t index = 0; index < callers_.size();) {
		Caller &caller = callers_[index];
		if (caller.waiting || srt_sendmsg2(caller.socket.get(), reinterpret_cast<const char *>(bytes),
						   static_cast<int>(size), nullptr) != SRT_ERROR) {
			++index;
			continue;
		}
		if (srt_getlasterror(nullptr) == SRT_EASYNCSND)
			removeCallerLocked(index, EventCode::SrtCallerDropped, "its send buffer is full");
		else
			removeCallerLocked(index, EventCode::SrtCallerLeft, srt_getlasterror_str());
	}
	bytesSent_ += static_cast<int64_t>(size);
	return true;
}

void SrtListenerSink::watchCallersLocked()
{
	const double limitMs = std::max<double>(settings_.latencyMs, leastBufferLimitMs);
	for (std::size_t index = 0; index < callers_.size();) {
		Caller &caller = callers_[index];
		const SRT_SOCKSTATUS state = srt_getsockstate(caller.socket.get());
		if (state != SRTS_CONNECTED) {
			removeCallerLocked(index, EventCode::SrtCallerLeft, "it hung up");
			continue;
		}
		refresh(caller.socket.get(), caller.figures);
		if (!caller.waiting && caller.figures.sendBufferMs > limitMs) {
			removeCallerLocked(index, EventCode::SrtCallerDropped,
					   "it stopped reading (" + msText(caller.figures.sendBufferMs) + " ms unacknowledged, more than " +
						   msText(limitMs) + " ms)");
			continue;
		}
		++index;
	}
}

void SrtListenerSink::removeCallerLocked(std::size_t index, EventCode code, const std::string &reason)
{
	Caller caller = std::move(callers_[index]);
	callers_.erase(callers_.begin() + static_cast<std::ptrdiff_t>(index));
	occupied_ = static_cast<int>(callers_.size());
	const double seconds = std::chrono::duration<double>(Clock::now() - caller.since).count();
	char connected[32];
	std::snprintf(connected, sizeof(connected), "%.1f", seconds);
	const bool dropped = code == EventCode::SrtCallerDropped;
	if (dropped)
		++dropped_;
	report(code, "warning",
	       "SRT receiver in slot " + std::to_string(caller.slot) + ", " + callerName(caller.address, caller.streamId) +
		       (dropped ? ", dropped: " : ", left: ") + reason + "; after " + connected + " s (now " +
		       std::to_string(callers_.size()) + " of " + std::to_string(settings_.maxCallers) + ")");
	// Closed on the accepting thread: the stream does not wait for it.
	closing_.push_back(std::move(caller.socket));
}

void SrtListenerSink::refresh(SRTSOCKET socket, SrtCallerStatistics &figures)
{
	// After a break SRT has no figures for the socket: the last good ones stay.
	SRT_TRACEBSTATS statistics{};
	if (srt_bistats(socket, &statistics, 0, 1) != 0)
		return;
	figures.rttMs = statistics.msRTT;
	figures.sendRateMbps = statistics.mbpsSendRate;
	figures.sendBufferMs = statistics.msSndBuf;
	figures.packetsLost = statistics.pktSndLossTotal;
	figures.packetsDropped = statistics.pktSndDropTotal;
}

bool SrtListenerSink::restartPending() const
{
	std::lock_guard lock(mutex_);
	return std::any_of(callers_.begin(), callers_.end(), [](const Caller &caller) { return caller.waiting; });
}

void SrtListenerSink::beginRestart()
{
	std::lock_guard lock(mutex_);
	for (Caller &caller : callers_)
		caller.waiting = false;
}

void SrtListenerSink::followRate(int64_t bitsPerSecond)
{
	std::lock_guard lock(mutex_);
	inputBytesPerSecond_ = bitsPerSecond / 8;
	for (const Caller &caller : callers_)
		paceSrtSocket(caller.socket.get(), inputBytesPerSecond_);
}

void SrtListenerSink::close()
{
	{
		// The call check refuses from now on.
		std::lock_guard lock(callMutex_);
		stopping_ = true;
	}
	if (acceptor_.joinable())
		acceptor_.join();
	// Live mode drops what SRT still holds when a socket closes, and a
	// receiver what it holds back for its latency when the sender goes: the
	// receivers get a moment for both, side by side, as SrtSink's one does.
	std::vector<Caller> callers;
	{
		std::lock_guard lock(mutex_);
		callers.swap(callers_);
		closing_.clear();
		occupied_ = 0;
	}
	const Clock::time_point deadline = Clock::now() + drainTime;
	for (const Caller &caller : callers) {
		std::size_t blocks = 0;
		while (srt_getsndbuffer(caller.socket.get(), &blocks, nullptr) == 0 && blocks > 0 && Clock::now() < deadline)
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	if (!callers.empty())
		std::this_thread::sleep_until(
			std::min(deadline, Clock::now() + std::chrono::milliseconds(settings_.latencyMs) + receiverMargin));
	callers.clear();
	listener_.reset();
}

std::optional<SrtLinkStatistics> SrtListenerSink::linkStatistics() const
{
	SrtLinkStatistics link;
	link.mode = "listener";
	link.peer = localAddress_;
	link.latencyMs = settings_.latencyMs;
	link.maxCallers = settings_.maxCallers;
	{
		std::lock_guard lock(callMutex_);
		link.callersRefused = refused_;
	}
	std::lock_guard lock(mutex_);
	link.state = listener_ && !stopping_ ? "listening" : "closed";
	link.callersJoined = joined_;
	link.callersDropped = dropped_;
	const Clock::time_point now = Clock::now();
	for (const Caller &caller : callers_) {
		SrtCallerStatistics figures = caller.figures;
		refresh(caller.socket.get(), figures);
		figures.waiting = caller.waiting;
		figures.connectedSeconds = std::chrono::duration<double>(now - caller.since).count();
		link.sendRateMbps += figures.sendRateMbps;
		link.packetsLost += figures.packetsLost;
		link.packetsDropped += figures.packetsDropped;
		link.callers.push_back(std::move(figures));
	}
	return link;
}

std::string SrtListenerSink::callerName(const std::string &address, const std::string &streamId) const
{
	return address + (streamId.empty() ? "" : " (stream id \"" + printableText(streamId) + "\")");
}

void SrtListenerSink::report(EventCode code, const char *level, const std::string &text)
{
	const std::string line = label_.empty() ? text : label_ + ": " + text;
	if (std::string_view(level) == "info")
		printLine("[CompositeOutput] " + line);
	else
		printErrorLine("[CompositeOutput] " + line);
	if (!label_.empty()) {
		events_.sendEvent(code, level, line);
		return;
	}
	// The main destination's changes carry the link's state, as SrtSink's do.
	events_.send({ { "type", "link" },
		       { "code", std::string(eventCodeText(code)) },
		       { "level", level },
		       { "message", line },
		       { "link",
			 { { "state", stopping_ ? "closed" : "listening" },
			   { "mode", "listener" },
			   { "callerCount", occupied_.load() } } } });
}

} // namespace tiloran
