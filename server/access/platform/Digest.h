#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tiloran::platform {

// PBKDF2 with HMAC-SHA-256: length bytes derived from password and salt in
// the given number of iterations. Throws std::runtime_error when the
// system's cryptographic library fails (not expected). Any thread.
std::string pbkdf2Sha256(std::string_view password, std::string_view salt, unsigned iterations,
			 std::size_t length);

// The SHA-256 digest (32 bytes) of data. Throws as above. Any thread.
std::string sha256(std::string_view data);

} // namespace tiloran::platform
