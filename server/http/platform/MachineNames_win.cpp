#include "http/platform/MachineNames.h"

#include <array>

#include <winsock2.h>
#include <ws2tcpip.h>

namespace tiloran::platform {

// The host name's addresses stand for the interfaces' here: the resolver
// answers them from the machine's own configuration. Winsock is started by
// the HTTP library before any request is answered.
std::vector<std::string> machineNames()
{
	std::vector<std::string> names;
	std::array<char, 256> hostName{};
	if (gethostname(hostName.data(), static_cast<int>(hostName.size() - 1)) != 0 || hostName[0] == '\0')
		return names;
	names.emplace_back(hostName.data());

	addrinfo hints{};
	hints.ai_family = AF_UNSPEC;
	addrinfo *found = nullptr;
	if (getaddrinfo(hostName.data(), nullptr, &hints, &found) != 0)
		return names;
	for (const addrinfo *entry = found; entry != nullptr; entry = entry->ai_next) {
		std::array<char, NI_MAXHOST> text{};
		if (getnameinfo(entry->ai_addr, static_cast<socklen_t>(entry->ai_addrlen), text.data(),
				static_cast<DWORD>(text.size()), nullptr, 0, NI_NUMERICHOST) == 0)
			names.emplace_back(text.data());
	}
	freeaddrinfo(found);
	return names;
}

} // namespace tiloran::platform
