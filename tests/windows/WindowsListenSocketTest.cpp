#include <gtest/gtest.h>

#include <httplib.h>

#include "http/platform/ListenSocket.h"

namespace tiloran::test {
namespace {

// A socket closed on destruction.
class Socket
{
public:
	Socket() : socket_(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {}
	~Socket() { closesocket(socket_); }
	Socket(const Socket &) = delete;
	Socket &operator=(const Socket &) = delete;

	SOCKET get() const { return socket_; }

	// Binds to address:port; returns 0 or the WSA error code.
	int bind(const char *address, int port) const
	{
		sockaddr_in socketAddress{};
		socketAddress.sin_family = AF_INET;
		socketAddress.sin_port = htons(static_cast<u_short>(port));
		inet_pton(AF_INET, address, &socketAddress.sin_addr);
		if (::bind(socket_, reinterpret_cast<const sockaddr *>(&socketAddress), sizeof(socketAddress)) == 0)
			return 0;
		return WSAGetLastError();
	}

private:
	SOCKET socket_;
};

int freeTcpPort()
{
	Socket probe;
	if (probe.bind("127.0.0.1", 0) != 0)
		return 0;
	sockaddr_in address{};
	int length = sizeof(address);
	getsockname(probe.get(), reinterpret_cast<sockaddr *>(&address), &length);
	return ntohs(address.sin_port);
}

// Windows lets a program bind a port that another socket holds unless that
// socket asked for exclusive use; the refusal then says "access denied"
// (WSAEACCES) rather than "address in use".
TEST(WindowsListenSocket, AnotherProgramCannotBindTheServersPort)
{
	WSADATA winsock;
	ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &winsock), 0);
	const int port = freeTcpPort();
	ASSERT_NE(port, 0);

	httplib::Server server;
	platform::setExclusiveListenSocket(server);
	ASSERT_TRUE(server.bind_to_port("0.0.0.0", port));

	Socket intruder;
	EXPECT_EQ(intruder.bind("127.0.0.1", port), WSAEACCES);
	Socket reusingIntruder;
	const int enable = 1;
	setsockopt(reusingIntruder.get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&enable),
		   sizeof(enable));
	EXPECT_EQ(reusingIntruder.bind("0.0.0.0", port), WSAEACCES);
	WSACleanup();
}

} // namespace
} // namespace tiloran::test
