#include "common/platform/SecureRandom.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <unistd.h>

namespace tiloran::platform {

std::string secureRandomBytes(std::size_t count)
{
	std::string bytes(count, '\0');
	// getentropy gives at most 256 bytes a call.
	for (std::size_t done = 0; done < count;) {
		const std::size_t piece = std::min<std::size_t>(count - done, 256);
		if (getentropy(bytes.data() + done, piece) != 0)
			throw std::runtime_error(std::string("No random bytes from the system: ") + std::strerror(errno));
		done += piece;
	}
	return bytes;
}

} // namespace tiloran::platform
