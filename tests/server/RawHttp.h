#pragma once

#include <chrono>
#include <map>
#include <string>

namespace tiloran::test {

// One HTTP exchange over a plain socket, so that tests see the request go out
// and the answer come back byte for byte, without a client library's help.
struct RawResponse {
	bool received = false;
	int status = 0;
	std::multimap<std::string, std::string> headers;
	std::string body;

	std::size_t headerCount(const std::string &name) const { return headers.count(name); }
	// The value of a header that occurs once; empty otherwise.
	std::string header(const std::string &name) const;
};

// Sends request (the whole text, request line to body) to 127.0.0.1:port and
// reads the answer until the server closes the connection.
RawResponse rawExchange(int port, const std::string &request);

// The answer in text as a server sends it (status line to body).
RawResponse parseRawResponse(const std::string &text);

// A connection that stays open as long as a test wants: the request goes out
// in as many pieces as the test likes, and the answer is read when it comes.
class RawConnection
{
public:
	explicit RawConnection(int port);
	~RawConnection();
	RawConnection(const RawConnection &) = delete;
	RawConnection &operator=(const RawConnection &) = delete;

	bool connected() const { return socket_ >= 0; }
	// False when the bytes could not all be sent.
	bool send(const std::string &bytes);
	// Everything the server sent until it closed the connection, or until
	// the timeout passed.
	std::string readUntilClosed(std::chrono::milliseconds timeout);
	// What the server sent up to the end of the first header block (an
	// interim answer's whole text), or "" when the timeout passed first.
	std::string readHeaderBlock(std::chrono::milliseconds timeout);
	// What the server sent until its answer was whole (its body as long as
	// Content-Length says), or until the timeout passed.
	RawResponse readAnswer(std::chrono::milliseconds timeout);
	// Whether the server has closed its end, without waiting.
	bool closedByServer();
	// Whether anything came from the server (bytes or its end), without
	// waiting.
	bool heardFromServer();

private:
	int socket_ = -1;
	std::string pending_;
};

// A GET, HEAD, OPTIONS or POST with "Connection: close".
RawResponse rawRequest(int port, const std::string &method, const std::string &target,
		       const std::string &body = {});

} // namespace tiloran::test
