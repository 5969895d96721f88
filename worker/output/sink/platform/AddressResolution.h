#pragma once

#include <string>
#include <vector>

namespace tiloran::platform {

// The first address of a host name or numeric address for UDP to the port, as
// the bytes of a sockaddr; empty with the reason when the name does not
// resolve.
std::vector<unsigned char> resolveUdpAddress(const std::string &host, int port, std::string &reason);

} // namespace tiloran::platform
