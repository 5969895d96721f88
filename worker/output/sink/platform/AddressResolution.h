#pragma once

#include <string>
#include <vector>

struct sockaddr;

namespace tiloran::platform {

// The first address of a host name or numeric address for UDP to the port, as
// the bytes of a sockaddr; empty with the reason when the name does not
// resolve.
std::vector<unsigned char> resolveUdpAddress(const std::string &host, int port, std::string &reason);

// Why the system would not bind a UDP socket to the address (as from
// resolveUdpAddress): "Address already in use"...; empty when it would.
std::string udpBindProblem(const std::vector<unsigned char> &address);

// A peer's numeric host and port; false for an address of another family
// than IPv4 and IPv6.
bool numericAddress(const sockaddr *address, std::string &host, std::string &port);

} // namespace tiloran::platform
