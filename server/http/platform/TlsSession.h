#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include <httplib.h>

namespace tiloran::platform {

// The server's certificate and key, loaded once; the TLS sessions of its
// connections share it. Builds without a TLS library cannot load one.
//
// Threading: load() on any thread; afterwards the context is only read, by
// any number of threads.
class TlsContext
{
public:
	~TlsContext();
	TlsContext(const TlsContext &) = delete;
	TlsContext &operator=(const TlsContext &) = delete;

	// Null with a message naming the file when either cannot be read, they
	// do not belong together, or this build has no TLS.
	static std::shared_ptr<const TlsContext> load(const std::string &certificatePath, const std::string &keyPath,
						      std::string &message);

	struct Handle;

private:
	explicit TlsContext(std::unique_ptr<Handle> handle);

	std::unique_ptr<Handle> handle_;
	friend class TlsSession;
};

// The server's end of one TLS connection over a non-blocking socket that
// someone else owns and closes after this session is gone. Move-only by
// pointer; one thread at a time.
class TlsSession
{
public:
	TlsSession(const TlsContext &context, socket_t socket);
	~TlsSession();
	TlsSession(const TlsSession &) = delete;
	TlsSession &operator=(const TlsSession &) = delete;

	enum class Step {
		Done,
		Pending,
		Failed,
	};
	// Goes on with the handshake as far as the bytes that arrived allow.
	Step handshake();
	bool handshaken() const { return handshaken_; }

	enum class ReceiveStatus {
		Received,
		NothingYet,
		Closed,
		Failed,
	};
	// Appends what has arrived, decrypted, at most maxBytes, without waiting.
	ReceiveStatus receive(std::string &bytes, std::size_t maxBytes);
	// Decrypted bytes held inside the session, which polling the socket
	// does not show.
	bool hasBufferedBytes() const;
	// As ConnectionSocket::sendAll.
	bool sendAll(std::string_view bytes, std::chrono::steady_clock::time_point deadline);
	// Sends the closing alert, once.
	void shutdown();

	struct Handle;

private:
	std::unique_ptr<Handle> handle_;
	socket_t socket_;
	bool handshaken_ = false;
	bool shutDown_ = false;
};

} // namespace tiloran::platform
