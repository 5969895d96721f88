#include "http/RequestGate.h"

#include <algorithm>
#include <utility>

namespace tiloran {

namespace {

using Clock = std::chrono::steady_clock;

// What one connection may take in one turn, so that a fast sender cannot
// keep the others waiting.
constexpr std::size_t receiveSlice = 64 * 1024;
// A refused client gets this long to read its answer before the connection
// is closed under it.
constexpr std::chrono::seconds drainTime{ 2 };

constexpr std::string_view continueAnswer = "HTTP/1.1 100 Continue\r\n\r\n";

} // namespace

struct RequestGate::Waiting {
	Waiting(GatedConnection gatedConnection, const RequestLimits &limits)
		: connection(std::move(gatedConnection)), framer(limits)
	{
	}

	GatedConnection connection;
	RequestFramer framer;
	Clock::time_point since;
	Clock::time_point deadline;
	// Refused: what still arrives is read and dropped until the deadline.
	bool draining = false;
	bool continueSent = false;
};

RequestGate::RequestGate(const Settings &settings, RequestHandler handler, RefusalWriter refusal)
	: settings_(settings), handler_(std::move(handler)), refusal_(std::move(refusal))
{
	thread_ = std::thread([this] { run(); });
}

RequestGate::~RequestGate()
{
	close();
}

void RequestGate::admit(socket_t socket)
{
	if (settings_.tls)
		resume(GatedConnection{ platform::ConnectionSocket(socket, *settings_.tls), {}, 0 });
	else
		resume(GatedConnection{ platform::ConnectionSocket(socket), {}, 0 });
}

void RequestGate::resume(GatedConnection connection)
{
	{
		std::lock_guard lock(mutex_);
		if (closed_)
			return;
		arrivals_.push_back(std::move(connection));
	}
	waker_.wake();
}

void RequestGate::close()
{
	{
		std::lock_guard lock(mutex_);
		closed_ = true;
		arrivals_.clear();
	}
	waker_.wake();
	std::lock_guard lock(joinMutex_);
	if (thread_.joinable())
		thread_.join();
}

WholeRequest RequestGate::wholeRequest(GatedConnection connection, const RequestFraming &framing)
{
	WholeRequest request{ std::move(connection), framing.requestLength };
	// The library would send a second "100 Continue".
	if (framing.expectLineLength > 0) {
		request.connection.bytes.erase(framing.expectLineOffset, framing.expectLineLength);
		request.length -= framing.expectLineLength;
	}
	return request;
}

int RequestGate::refusalStatus(FramingStatus status)
{
	switch (status) {
	case FramingStatus::HeadersTooLarge:
		return 431;
	case FramingStatus::BodyTooLarge:
		return 413;
	default:
		return 400;
	}
}

std::string RequestGate::refusalMessage(int status) const
{
	switch (status) {
	case 408:
		return "Request did not arrive whole within " +
		       std::to_string(std::chrono::duration_cast<std::chrono::seconds>(settings_.requestTime).count()) +
		       " s";
	case 413:
		return "Request body is larger than " + std::to_string(settings_.limits.maxBodyBytes) + " bytes";
	case 431:
		return "Request headers are larger than " + std::to_string(settings_.limits.maxHeaderBytes) +
		       " bytes or have a line longer than " + std::to_string(settings_.limits.maxLineBytes) + " bytes";
	default:
		return "Malformed request: the length of its body cannot be told";
	}
}

void RequestGate::run()
{
	std::vector<Waiting> waiting;
	std::vector<platform::PollItem> items;
	for (;;) {
		std::vector<GatedConnection> arrivals;
		{
			std::lock_guard lock(mutex_);
			if (closed_)
				break;
			arrivals.swap(arrivals_);
		}
		for (GatedConnection &connection : arrivals)
			enter(waiting, std::move(connection));
		makeRoom(waiting);

		const Clock::time_point now = Clock::now();
		Clock::time_point next = Clock::time_point::max();
		for (const Waiting &entry : waiting)
			next = std::min(next, entry.deadline);
		int timeout = -1;
		// Bytes a TLS session holds already are there to be read now.
		if (std::any_of(waiting.begin(), waiting.end(),
				[](const Waiting &entry) { return entry.connection.socket.hasBufferedBytes(); }))
			timeout = 0;
		else if (next != Clock::time_point::max()) {
			const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
			timeout = static_cast<int>(std::clamp<decltype(left)>(left, 0, 60'000));
		}

		items.assign(1, platform::PollItem{ waker_.handle() });
		for (const Waiting &entry : waiting)
			items.push_back(platform::PollItem{ entry.connection.socket.handle() });
		platform::pollReadable(items, timeout);
		if (items.front().readable)
			waker_.drain();

		const Clock::time_point afterPoll = Clock::now();
		std::size_t kept = 0;
		for (std::size_t index = 0; index < waiting.size(); ++index) {
			Waiting &entry = waiting[index];
			const platform::PollItem &item = items[index + 1];
			bool keep = !item.failed;
			if (keep && (item.readable || entry.connection.socket.hasBufferedBytes()))
				keep = receive(entry);
			if (keep && afterPoll >= entry.deadline) {
				// An idle connection just ends; a request that
				// stalled gets an answer that says so.
				if (entry.draining || entry.connection.bytes.empty())
					keep = false;
				else
					refuse(entry, 408);
			}
			if (keep) {
				if (kept != index)
					waiting[kept] = std::move(entry);
				++kept;
			}
		}
		waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(kept), waiting.end());
	}
}

void RequestGate::enter(std::vector<Waiting> &waiting, GatedConnection connection)
{
	Waiting entry(std::move(connection), settings_.limits);
	entry.since = Clock::now();
	if (entry.connection.socket.handshaking())
		entry.deadline = entry.since + settings_.handshakeTime;
	else
		entry.deadline =
			entry.since + (entry.connection.bytes.empty() ? settings_.idleTime : settings_.requestTime);
	// The next request may have come along with the last one.
	if (!entry.connection.bytes.empty() && !judge(entry))
		return;
	waiting.push_back(std::move(entry));
}

bool RequestGate::receive(Waiting &entry)
{
	if (entry.connection.socket.handshaking()) {
		// A client that speaks plain HTTP here fails the handshake and is
		// closed; one that stalls in it meets its deadline like an idle one.
		switch (entry.connection.socket.handshake()) {
		case platform::TlsSession::Step::Pending:
			return true;
		case platform::TlsSession::Step::Failed:
			return false;
		case platform::TlsSession::Step::Done:
			break;
		}
		entry.since = Clock::now();
		entry.deadline = entry.since + settings_.idleTime;
		return true;
	}
	if (entry.draining) {
		std::string dropped;
		const auto status = entry.connection.socket.receive(dropped, receiveSlice);
		return status == platform::ConnectionSocket::ReceiveStatus::Received ||
		       status == platform::ConnectionSocket::ReceiveStatus::NothingYet;
	}

	const bool wasIdle = entry.connection.bytes.empty();
	switch (entry.connection.socket.receive(entry.connection.bytes, receiveSlice)) {
	case platform::ConnectionSocket::ReceiveStatus::NothingYet:
		return true;
	case platform::ConnectionSocket::ReceiveStatus::Closed:
	case platform::ConnectionSocket::ReceiveStatus::Failed:
		return false;
	case platform::ConnectionSocket::ReceiveStatus::Received:
		break;
	}
	if (wasIdle)
		entry.deadline = Clock::now() + settings_.requestTime;
	return judge(entry);
}

bool RequestGate::judge(Waiting &entry)
{
	const RequestFraming &framing = entry.framer.advance(entry.connection.bytes);
	switch (framing.status) {
	case FramingStatus::Incomplete:
		if (framing.expectLineLength > 0 && !entry.continueSent) {
			entry.continueSent = true;
			entry.connection.socket.sendAll(continueAnswer, Clock::now());
		}
		return true;
	case FramingStatus::Complete:
		handler_(wholeRequest(std::move(entry.connection), framing));
		return false;
	default:
		refuse(entry, refusalStatus(framing.status));
		return true;
	}
}

void RequestGate::refuse(Waiting &entry, int status)
{
	// The answer is small and nothing was sent before it, so it fits the
	// socket's buffer without waiting.
	entry.connection.socket.sendAll(refusal_(status, refusalMessage(status)), Clock::now());
	entry.connection.socket.shutdownSending();
	entry.connection.bytes = std::string();
	entry.draining = true;
	entry.deadline = Clock::now() + drainTime;
}

void RequestGate::makeRoom(std::vector<Waiting> &waiting)
{
	while (waiting.size() > settings_.maxConnections) {
		auto oldest = std::min_element(waiting.begin(), waiting.end(),
					       [](const Waiting &left, const Waiting &right) { return left.since < right.since; });
		waiting.erase(oldest);
	}

	std::size_t buffered = 0;
	for (const Waiting &entry : waiting)
		buffered += entry.connection.bytes.size();
	while (buffered > settings_.maxBufferedBytes) {
		auto largest = std::max_element(waiting.begin(), waiting.end(), [](const Waiting &left, const Waiting &right) {
			return left.connection.bytes.size() < right.connection.bytes.size();
		});
		buffered -= largest->connection.bytes.size();
		waiting.erase(largest);
	}
}

} // namespace tiloran
