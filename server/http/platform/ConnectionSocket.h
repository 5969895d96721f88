#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <httplib.h>

#include "http/platform/TlsSession.h"

namespace tiloran::platform {

// One accepted HTTP connection: owns its socket, which it switches to
// non-blocking use, and closes it on destruction; over TLS also the session,
// through which it then receives and sends. Move-only.
//
// Threading: one thread at a time uses an object; it may be handed on.
class ConnectionSocket
{
public:
	ConnectionSocket() = default;
	explicit ConnectionSocket(socket_t handle);
	// The connection speaks TLS with context's certificate.
	ConnectionSocket(socket_t handle, const TlsContext &context);
	~ConnectionSocket();
	ConnectionSocket(ConnectionSocket &&other) noexcept;
	ConnectionSocket &operator=(ConnectionSocket &&other) noexcept;
	ConnectionSocket(const ConnectionSocket &) = delete;
	ConnectionSocket &operator=(const ConnectionSocket &) = delete;

	explicit operator bool() const { return handle_ != INVALID_SOCKET; }
	socket_t handle() const { return handle_; }

	enum class ReceiveStatus {
		Received,
		NothingYet,
		Closed,
		Failed,
	};
	// Goes on with a TLS handshake as far as the bytes that arrived allow;
	// Done at once for a plain connection.
	TlsSession::Step handshake();
	bool handshaking() const { return tls_ && !tls_->handshaken(); }
	// Appends what has arrived, at most maxBytes, without waiting.
	ReceiveStatus receive(std::string &bytes, std::size_t maxBytes);
	// Bytes that arrived but that polling the socket does not show.
	bool hasBufferedBytes() const { return tls_ && tls_->hasBufferedBytes(); }
	// Sends all of bytes, waiting while the peer's window is full, until
	// the deadline. False when the connection failed or the time ran out.
	bool sendAll(std::string_view bytes, std::chrono::steady_clock::time_point deadline);
	// Whether more can be sent now or before the deadline.
	bool waitWritable(std::chrono::steady_clock::time_point deadline) const;
	// Tells the peer that nothing more will be sent.
	void shutdownSending();

	// Numeric address and port of the two ends; empty and 0 when unknown.
	void peerAddress(std::string &address, int &port) const;
	void localAddress(std::string &address, int &port) const;

private:
	void close();

	socket_t handle_ = INVALID_SOCKET;
	// Gone before the socket is closed.
	std::unique_ptr<TlsSession> tls_;
};

struct PollItem {
	socket_t handle = INVALID_SOCKET;
	// Results: bytes (or the peer's end) are waiting; the socket failed.
	bool readable = false;
	bool failed = false;
};

// Waits until one of the sockets can be read or has failed, at most the
// timeout (negative: no limit), and marks the items.
void pollReadable(std::vector<PollItem> &items, int timeoutMilliseconds);

// Wakes a pollReadable() that includes handle() from another thread.
class PollWaker
{
public:
	PollWaker();
	~PollWaker();
	PollWaker(const PollWaker &) = delete;
	PollWaker &operator=(const PollWaker &) = delete;

	socket_t handle() const;
	// Any thread.
	void wake();
	// The polling thread, once handle() was readable.
	void drain();

private:
	socket_t readEnd_ = INVALID_SOCKET;
	socket_t writeEnd_ = INVALID_SOCKET;
};

// Raises the number of files and sockets the process may hold open to the
// most the system allows it, and returns that number.
std::size_t raiseOpenFileLimit();

// Lets connections queue in the system while the accepting thread is busy,
// beyond the handful the HTTP library asks for.
void widenListenBacklog(socket_t listenSocket);

} // namespace tiloran::platform
