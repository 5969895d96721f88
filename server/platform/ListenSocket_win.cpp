#include "platform/ListenSocket.h"

namespace tiloran::platform {

void setExclusiveListenSocket(httplib::Server &)
{
	// The library's default on Windows already asks for exclusive use of
	// the address.
}

} // namespace tiloran::platform
