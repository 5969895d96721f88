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

} // namespace tiloran::platform
