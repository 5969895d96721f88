#pragma once

#include <string>
#include <vector>

namespace tiloran::platform {

// The names by which clients may reach this machine, as the system tells
// them now: its host name and the addresses of its interfaces (IPv6
// addresses without brackets or zone). Empty where the system cannot tell.
// Any thread.
std::vector<std::string> machineNames();

} // namespace tiloran::platform
