#pragma once

#include <cstddef>
#include <string>

namespace tiloran::platform {

// count bytes from the system's cryptographic random source, for keys,
// tokens and salts. Throws std::runtime_error when the system cannot give
// them (not expected on a working system). Any thread.
std::string secureRandomBytes(std::size_t count);

} // namespace tiloran::platform
