#include "app/platform/ServiceHost.h"

namespace tiloran::platform {

bool runAsService(const std::function<int()> &, const std::function<void()> &, int &, std::string &message)
{
	message = "--service is for Windows' service manager; systemd runs the server without it";
	return false;
}

} // namespace tiloran::platform
