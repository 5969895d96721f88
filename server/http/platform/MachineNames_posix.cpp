#include "http/platform/MachineNames.h"

#include <array>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tiloran::platform {

std::vector<std::string> machineNames()
{
	std::vector<std::string> names;
	std::array<char, 256> hostName{};
	if (gethostname(hostName.data(), hostName.size() - 1) == 0 && hostName[0] != '\0')
		names.emplace_back(hostName.data());

	ifaddrs *interfaces = nullptr;
	if (getifaddrs(&interfaces) != 0)
		return names;
	for (const ifaddrs *entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
		if (!entry->ifa_addr)
			continue;
		std::array<char, INET6_ADDRSTRLEN> text{};
		const int family = entry->ifa_addr->sa_family;
		const void *address = nullptr;
		if (family == AF_INET)
			address = &reinterpret_cast<const sockaddr_in *>(entry->ifa_addr)->sin_addr;
		else if (family == AF_INET6)
			address = &reinterpret_cast<const sockaddr_in6 *>(entry->ifa_addr)->sin6_addr;
		if (address && inet_ntop(family, address, text.data(), text.size()))
			names.emplace_back(text.data());
	}
	freeifaddrs(interfaces);
	return names;
}

} // namespace tiloran::platform
