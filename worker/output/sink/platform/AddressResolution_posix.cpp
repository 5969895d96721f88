#include "output/sink/platform/AddressResolution.h"

#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace tiloran::platform {

std::vector<unsigned char> resolveUdpAddress(const std::string &host, int port, std::string &reason)
{
	addrinfo hints{};
	hints.ai_family = AF_UNSPEC;
	hints.ai_socktype = SOCK_DGRAM;
	addrinfo *addresses = nullptr;
	const int result = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses);
	if (result != 0 || !addresses) {
		reason = "cannot resolve " + host + ": " + gai_strerror(result);
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
	const int probe = socket(bound->sa_family, SOCK_DGRAM, 0);
	if (probe < 0)
		return std::strerror(errno);
	const bool failed = bind(probe, bound, static_cast<socklen_t>(address.size())) != 0;
	const int error = errno;
	close(probe);
	return failed ? std::strerror(error) : std::string();
}

bool numericAddress(const sockaddr *address, std::string &host, std::string &port)
{
	if (!address || (address->sa_family != AF_INET && address->sa_family != AF_INET6))
		return false;
	const socklen_t length = address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
	char hostText[NI_MAXHOST];
	char portText[NI_MAXSERV];
	if (getnameinfo(address, length, hostText, sizeof(hostText), portText, sizeof(portText),
			NI_NUMERICHOST | NI_NUMERICSERV) != 0)
		return false;
	host = hostText;
	port = portText;
	return true;
}

} // namespace tiloran::platform
