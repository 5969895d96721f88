#pragma once

#include <string>
#include <string_view>

namespace tiloran {

// Password hashes and API tokens as the settings file keeps them.
//
// A password hash is "pbkdf2-sha256$ITERATIONS$SALT$KEY" (salt and key in
// hexadecimal): PBKDF2 with HMAC-SHA-256, a random salt of 16 bytes, a key of
// 32 bytes. A token is "tlr_" and 64 hexadecimal digits from the system's
// random source; the file keeps only its SHA-256 digest, which is enough
// for a secret of 256 random bits. All functions: any thread.

inline constexpr unsigned passwordHashIterations = 310000;

std::string hashPassword(std::string_view password);
// Whether password matches encoded; false too for a malformed hash. The
// key is compared in constant time.
bool verifyPassword(std::string_view password, std::string_view encoded);

std::string newApiToken();
std::string apiTokenHash(std::string_view token);

// Equal texts, compared in a time that depends on the lengths only.
bool equalInConstantTime(std::string_view given, std::string_view expected);

} // namespace tiloran
