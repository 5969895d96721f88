#include "http/platform/ListenSocket.h"

namespace tiloran::platform {

void setExclusiveListenSocket(httplib::Server &server)
{
	// The library's default sets SO_REUSEADDR and then SO_EXCLUSIVEADDRUSE,
	// which Windows refuses on a socket that already has SO_REUSEADDR: the
	// socket would keep only SO_REUSEADDR, with which another program can bind
	// the same port and take the server's connections. Exclusive use alone.
	server.set_socket_options([](socket_t socket) {
		int enable = 1;
		setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&enable),
			   sizeof(enable));
	});
}

} // namespace tiloran::platform
