#pragma once

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

// A GET, HEAD, OPTIONS or POST with "Connection: close".
RawResponse rawRequest(int port, const std::string &method, const std::string &target,
		       const std::string &body = {});

} // namespace tiloran::test
