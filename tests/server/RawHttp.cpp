#include "RawHttp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
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

RawResponse rawExchange(int port, const std::string &request)
{
	RawResponse response;
	int connection = socket(AF_INET, SOCK_STREAM, 0);
	if (connection < 0)
		return response;
	timeval timeout{ 20, 0 };
	setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_port = htons(static_cast<uint16_t>(port));
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (connect(connection, reinterpret_cast<sockaddr *>(&address), sizeof(address)) < 0) {
		close(connection);
		return response;
	}

	std::size_t sent = 0;
	while (sent < request.size()) {
		ssize_t count = send(connection, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
		if (count <= 0)
			break;
		sent += static_cast<std::size_t>(count);
	}

	std::string text;
	char buffer[65536];
	ssize_t count;
	while ((count = recv(connection, buffer, sizeof(buffer), 0)) > 0)
		text.append(buffer, static_cast<std::size_t>(count));
	close(connection);

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

RawResponse rawRequest(int port, const std::string &method, const std::string &target, const std::string &body)
{
	std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
	if (method == "POST")
		request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
	request += "\r\n" + body;
	return rawExchange(port, request);
}

} // namespace tiloran::test
