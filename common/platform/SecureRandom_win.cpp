#include "common/platform/SecureRandom.h"

#include <stdexcept>

#include <windows.h>
#include <bcrypt.h>

namespace tiloran::platform {

std::string secureRandomBytes(std::size_t count)
{
	std::string bytes(count, '\0');
	const NTSTATUS status = BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(bytes.data()),
						static_cast<ULONG>(count), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
	if (status < 0)
		throw std::runtime_error("No random bytes from the system: status " + std::to_string(status));
	return bytes;
}

} // namespace tiloran::platform
