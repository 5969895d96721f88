#include "RawHttp.h"

#include "support/CommonTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace tiloran::test {

std::string RawResponse::header(const std::string &name) const
{
	if (headers.count(name) != 1)
		return {};
	return headers.find(name)->second;
}

namespace {

int connectTo(int port)
{
	int connection = socket(AF_INET, SOCK_STREAM, 0);
	if (connection < 0)
		return -1;
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_port = htons(static_cast<uint16_t>(port));
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (connect(connection, reinterpret_cast<sockaddr *>(&address), sizeof(address)) < 0) {
		close(connection);
		return -1;
	}
	return connection;
}

bool sendAll(int connection, const std::string &bytes)
{
	std::size_t sent = 0;
	while (sent < bytes.size()) {
		ssize_t count = ::send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
		if (count <= 0)
			return false;
		sent += static_cast<std::size_t>(count);
	}
	return true;
}

// Waits for bytes (or the end) and appends them; false when the connection
// ended or the time ran out.
bool receiveSome(int connection, std::string &text, std::chrono::steady_clock::time_point deadline)
{
	const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
	pollfd item{ connection, POLLIN, 0 };
	if (left.count() <= 0 || poll(&item, 1, static_cast<int>(left.count())) <= 0)
		return false;
	char buffer[65536];
	const ssize_t count = recv(connection, buffer, sizeof(buffer), 0);
	if (count <= 0)
		return false;
	text.append(buffer, static_cast<std::size_t>(count));
	return true;
}

} // namespace

RawResponse parseRawResponse(const std::string &text)
{
	RawResponse response;
	auto headerEnd = text.find("\r\n\r\n");
	if (text.rfind("HTTP/1.1 ", 0) != 0 || headerEnd == std::string::npos)
		return response;
	response.received = true;
	response.status = std::stoi(text.substr(9, 3));
	std::size_t lineStart = text.find("\r\n") + 2;
	while (lineStart < headerEnd) {
		std::size_t lineEnd = text.find("\r\n", lineStart);
		std::string line = text.substr(lineStart, lineEnd - lineStart);
		auto colon = line.find(": ");
		if (colon != std::string::npos)
			response.headers.emplace(line.substr(0, colon), line.substr(colon + 2));
		lineStart = lineEnd + 2;
	}
	response.body = text.substr(headerEnd + 4);
	return response;
}

RawResponse rawExchange(int port, const std::string &request)
{
	RawConnection connection(port);
	if (!connection.connected())
		return {};
	connection.send(request);
	// The bound is for a server that never answers, not for a slow one.
	return parseRawResponse(connection.readUntilClosed(kGenerousTimeout));
}

RawConnection::RawConnection(int port) : socket_(connectTo(port))
{
}

RawConnection::~RawConnection()
{
	if (socket_ >= 0)
		close(socket_);
}

bool RawConnection::send(const std::string &bytes)
{
	return sendAll(socket_, bytes);
}

std::string RawConnection::readUntilClosed(std::chrono::milliseconds timeout)
{
	const auto deadline = std::chrono::steady_clock::now() + timeout;
	std::string text = std::move(pending_);
	pending_.clear();
	while (receiveSome(socket_, text, deadline)) {
	}
	return text;
}

std::string RawConnection::readHeaderBlock(std::chrono::milliseconds timeout)
{
	const auto deadline = std::chrono::steady_clock::now() + timeout;
	while (pending_.find("\r\n\r\n") == std::string::npos) {
		if (!receiveSome(socket_, pending_, deadline))
			return {};
	}
	const std::size_t end = pending_.find("\r\n\r\n") + 4;
	std::string block = pending_.substr(0, end);
	pending_.erase(0, end);
	return block;
}

RawResponse RawConnection::readAnswer(std::chrono::milliseconds timeout)
{
	const auto deadline = std::chrono::steady_clock::now() + timeout;
	for (;;) {
		// Interim answers ("100 Continue") come before the real one.
		while (pending_.rfind("HTTP/1.1 1", 0) == 0 && pending_.find("\r\n\r\n") != std::string::npos)
			pending_.erase(0, pending_.find("\r\n\r\n") + 4);
		RawResponse response = parseRawResponse(pending_);
		if (response.received) {
			const std::string length = response.header("Content-Length");
			const std::size_t headerLength = pending_.find("\r\n\r\n") + 4;
			const std::size_t bodyLength = length.empty() ? 0 : std::stoul(length);
			if (pending_.size() >= headerLength + bodyLength) {
				response.body = pending_.substr(headerLength, bodyLength);
				pending_.erase(0, headerLength + bodyLength);
				return response;
			}
		}
		if (!receiveSome(socket_, pending_, deadline))
			return {};
	}
}

bool RawConnection::heardFromServer()
{
	pollfd item{ socket_, POLLIN, 0 };
	return poll(&item, 1, 0) > 0;
}

bool RawConnection::closedByServer()
{
	pollfd item{ socket_, POLLIN, 0 };
	if (poll(&item, 1, 0) <= 0)
		return false;
	char byte;
	return recv(socket_, &byte, 1, MSG_PEEK) <= 0;
}

RawResponse rawRequest(int port, const std::string &method, const std::string &target, const std::string &body)
{
	std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
	if (method == "POST")
		request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
	request += "\r\n" + body;
	return rawExchange(port, request);
}

} // namespace tiloran::test
