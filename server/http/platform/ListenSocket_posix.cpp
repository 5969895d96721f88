#include "http/platform/ListenSocket.h"

#include <sys/socket.h>

namespace tiloran::platform {

void setExclusiveListenSocket(httplib::Server &server)
{
	// The library's default adds SO_REUSEPORT, which would let a second
	// server share the port silently; SO_REUSEADDR alone only allows a quick
	// restart over connections still in TIME_WAIT.
	server.set_socket_options([](socket_t socket) {
		int enable = 1;
		setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof(enable));
	});
}

} // namespace tiloran::platform
