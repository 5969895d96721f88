#include "output/sink/platform/AddressResolution.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace tiloran::platform {

std::vector<unsigned char> resolveUdpAddress(const std::string &host, int port, std::string &reason)
{
	addrinfo hints{};
	hints.ai_family = AF_UNSPEC;
	hints.ai_socktype = SOCK_DGRAM;
	addrinfo *addresses = nullptr;
	const int result = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses);
	if (result != 0 || !addresses) {
		reason = "cannot resolve " + host + ": Windows error " + std::to_string(result);
		return {};
	}
	const unsigned char *bytes = reinterpret_cast<const unsigned char *>(addresses->ai_addr);
	std::vector<unsigned char> address(bytes, bytes + addresses->ai_addrlen);
	freeaddrinfo(addresses);
	return address;
}

std::string udpBindProblem(const std::vector<unsigned char> &address)
{
	const sockaddr *bound = reinterpret_cast<const sockaddr *>(address.data());
	const SOCKET probe = socket(bound->sa_family, SOCK_DGRAM, 0);
	if (probe == INVALID_SOCKET)
		return "Windows error " + std::to_string(WSAGetLastError());
	const bool failed = bind(probe, bound, static_cast<int>(address.size())) != 0;
	const int error = WSAGetLastError();
	closesocket(probe);
	if (!failed)
		return {};
	return error == WSAEADDRINUSE ? "Address already in use" : "Windows error " + std::to_string(error);
}

std::string addressText(const sockaddr *address)
{
	if (!address || (address->sa_family != AF_INET && address->sa_family != AF_INET6))
		return "unknown address";
	const socklen_t length = address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
	char host[NI_MAXHOST];
	char port[NI_MAXSERV];
	if (getnameinfo(address, length, host, sizeof(host), port, sizeof(port), NI_NUMERICHOST | NI_NUMERICSERV) != 0)
		return "unknown address";
	// An IPv4 caller of a listener on "[::]" comes as an IPv4-mapped address.
	const std::string text = host;
	const std::string mapped = "::ffff:";
	if (text.rfind(mapped, 0) == 0 && text.find('.') != std::string::npos)
		return text.substr(mapped.size()) + ":" + port;
	return address->sa_family == AF_INET6 ? "[" + text + "]:" + port : text + ":" + port;
}

} // namespace tiloran::platform
