#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/platform/ConnectionSocket.h"
#include "http/RequestFraming.h"

namespace tiloran {

// A connection between two requests: its socket, the bytes it sent that no
// answered request took yet, and how many of its requests were answered.
struct GatedConnection {
	platform::ConnectionSocket socket;
	std::string bytes;
	std::size_t answered = 0;
};

// One request that arrived whole: the first length bytes of the connection's
// bytes.
struct WholeRequest {
	GatedConnection connection;
	std::size_t length = 0;
};

// Holds every connection of the HTTP server until a whole request has arrived
// on it, so that a slow or idle client never holds one of the threads that
// answer: a request must arrive whole within a few seconds of its first byte,
// an idle connection is closed after a while, and requests larger than the
// limits are refused without being read. All connections wait in one thread
// that polls them together, also through their TLS handshakes.
//
// Threading: admit(), resume() and close() may be called from any thread. The
// request handler and the refusal writer run on the gate's own thread and must
// not block. The destructor closes the gate and joins its thread.
class RequestGate
{
public:
	struct Settings {
		RequestLimits limits;
		// From the first byte of a request to its last.
		std::chrono::milliseconds requestTime{ 5000 };
		// A connection without a request in progress.
		std::chrono::milliseconds idleTime{ 5000 };
		// Beyond these the connections that waited longest, or the one
		// that holds most, are closed to make room.
		std::size_t maxConnections = 1024;
		std::size_t maxBufferedBytes = 64 * 1024 * 1024;
		// Set: every connection speaks TLS, and its handshake must be
		// done within handshakeTime of its arrival.
		std::shared_ptr<const platform::TlsContext> tls;
		std::chrono::milliseconds handshakeTime{ 5000 };
	};
	// Takes each whole request.
	using RequestHandler = std::function<void(WholeRequest request)>;
	// The whole answer to a request refused with an HTTP status and a
	// message for the client.
	using RefusalWriter = std::function<std::string(int status, const std::string &message)>;

	RequestGate(const Settings &settings, RequestHandler handler, RefusalWriter refusal);
	~RequestGate();

	RequestGate(const RequestGate &) = delete;
	RequestGate &operator=(const RequestGate &) = delete;

	// A newly accepted connection; the gate owns the socket from now on.
	void admit(socket_t socket);
	// A connection whose answer was sent: it waits for its next request.
	void resume(GatedConnection connection);
	// Closes every waiting connection; connections admitted or resumed
	// later are closed at once.
	void close();

	// The request at the front of a connection whose framing is Complete,
	// ready for the library: an "Expect: 100-continue" line is taken out, as
	// the gate answered it already.
	static WholeRequest wholeRequest(GatedConnection connection, const RequestFraming &framing);
	// The answer to bytes that did not make a whole request.
	static int refusalStatus(FramingStatus status);
	std::string refusalMessage(int status) const;

private:
	struct Waiting;

	void run();
	void enter(std::vector<Waiting> &waiting, GatedConnection connection);
	// False when the connection is done with: handed on or to be closed.
	bool receive(Waiting &entry);
	bool judge(Waiting &entry);
	void refuse(Waiting &entry, int status);
	void makeRoom(std::vector<Waiting> &waiting);

	const Settings settings_;
	const RequestHandler handler_;
	const RefusalWriter refusal_;

	std::mutex mutex_;
	std::vector<GatedConnection> arrivals_;
	bool closed_ = false;
	std::mutex joinMutex_;

	platform::PollWaker waker_;
	std::thread thread_;
};

} // namespace tiloran
