#include "http/platform/ConnectionSocket.h"

#include <algorithm>
#include <cstdlib>
#include <system_error>

namespace tiloran::platform {

namespace {

int remainingMilliseconds(std::chrono::steady_clock::time_point deadline)
{
	const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
	return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 60'000));
}

void numericAddress(const sockaddr_storage &address, int length, std::string &text, int &port)
{
	char host[NI_MAXHOST] = {};
	char service[NI_MAXSERV] = {};
	if (getnameinfo(reinterpret_cast<const sockaddr *>(&address), length, host, sizeof(host), service,
			sizeof(service), NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
		text.clear();
		port = 0;
		return;
	}
	text = host;
	port = std::atoi(service);
}

void setNonBlocking(socket_t handle)
{
	u_long enable = 1;
	ioctlsocket(handle, FIONBIO, &enable);
}

} // namespace

ConnectionSocket::ConnectionSocket(socket_t handle) : handle_(handle)
{
	setNonBlocking(handle_);
}

ConnectionSocket::ConnectionSocket(socket_t handle, const TlsContext &context) : ConnectionSocket(handle)
{
	tls_ = std::make_unique<TlsSession>(context, handle_);
}

TlsSession::Step ConnectionSocket::handshake()
{
	return tls_ ? tls_->handshake() : TlsSession::Step::Done;
}

ConnectionSocket::~ConnectionSocket()
{
	close();
}

ConnectionSocket::ConnectionSocket(ConnectionSocket &&other) noexcept
	: handle_(other.handle_), tls_(std::move(other.tls_))
{
	other.handle_ = INVALID_SOCKET;
}

ConnectionSocket &ConnectionSocket::operator=(ConnectionSocket &&other) noexcept
{
	if (this != &other) {
		close();
		handle_ = other.handle_;
		tls_ = std::move(other.tls_);
		other.handle_ = INVALID_SOCKET;
	}
	return *this;
}

void ConnectionSocket::close()
{
	tls_.reset();
	if (handle_ != INVALID_SOCKET)
		closesocket(handle_);
	handle_ = INVALID_SOCKET;
}

ConnectionSocket::ReceiveStatus ConnectionSocket::receive(std::string &bytes, std::size_t maxBytes)
{
	if (tls_) {
		switch (tls_->receive(bytes, maxBytes)) {
		case TlsSession::ReceiveStatus::Received:
			return ReceiveStatus::Received;
		case TlsSession::ReceiveStatus::NothingYet:
			return ReceiveStatus::NothingYet;
		case TlsSession::ReceiveStatus::Closed:
			return ReceiveStatus::Closed;
		case TlsSession::ReceiveStatus::Failed:
			break;
		}
		return ReceiveStatus::Failed;
	}
	char buffer[16384];
	std::size_t received = 0;
	while (received < maxBytes) {
		const int want = static_cast<int>(std::min(sizeof(buffer), maxBytes - received));
		const int count = recv(handle_, buffer, want, 0);
		if (count > 0) {
			bytes.append(buffer, static_cast<std::size_t>(count));
			received += static_cast<std::size_t>(count);
			continue;
		}
		if (received > 0)
			return ReceiveStatus::Received;
		if (count == 0)
			return ReceiveStatus::Closed;
		return WSAGetLastError() == WSAEWOULDBLOCK ? ReceiveStatus::NothingYet : ReceiveStatus::Failed;
	}
	return ReceiveStatus::Received;
}

bool ConnectionSocket::sendAll(std::string_view bytes, std::chrono::steady_clock::time_point deadline)
{
	if (tls_)
		return tls_->sendAll(bytes, deadline);
	while (!bytes.empty()) {
		const int want = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20));
		const int count = send(handle_, bytes.data(), want, 0);
		if (count > 0) {
			bytes.remove_prefix(static_cast<std::size_t>(count));
			continue;
		}
		if (count < 0 && WSAGetLastError() == WSAEWOULDBLOCK && waitWritable(deadline))
			continue;
		return false;
	}
	return true;
}

bool ConnectionSocket::waitWritable(std::chrono::steady_clock::time_point deadline) const
{
	WSAPOLLFD item{ handle_, POLLWRNORM, 0 };
	const int result = WSAPoll(&item, 1, remainingMilliseconds(deadline));
	return result > 0 && (item.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

void ConnectionSocket::shutdownSending()
{
	if (tls_)
		tls_->shutdown();
	shutdown(handle_, SD_SEND);
}

void ConnectionSocket::peerAddress(std::string &address, int &port) const
{
	sockaddr_storage peer{};
	int length = sizeof(peer);
	if (getpeername(handle_, reinterpret_cast<sockaddr *>(&peer), &length) != 0) {
		address.clear();
		port = 0;
		return;
	}
	numericAddress(peer, length, address, port);
}

void ConnectionSocket::localAddress(std::string &address, int &port) const
{
	sockaddr_storage local{};
	int length = sizeof(local);
	if (getsockname(handle_, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
		address.clear();
		port = 0;
		return;
	}
	numericAddress(local, length, address, port);
}

void pollReadable(std::vector<PollItem> &items, int timeoutMilliseconds)
{
	std::vector<WSAPOLLFD> descriptors;
	descriptors.reserve(items.size());
	for (const PollItem &item : items)
		descriptors.push_back({ item.handle, POLLRDNORM, 0 });
	if (WSAPoll(descriptors.data(), static_cast<ULONG>(descriptors.size()), timeoutMilliseconds) <= 0)
		return;
	for (std::size_t index = 0; index < items.size(); ++index) {
		const SHORT events = descriptors[index].revents;
		items[index].readable = (events & (POLLRDNORM | POLLHUP)) != 0;
		items[index].failed = (events & (POLLERR | POLLNVAL)) != 0;
	}
}

// Windows cannot poll a pipe together with sockets: a datagram socket that
// the waking thread sends to stands in.
PollWaker::PollWaker()
{
	readEnd_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
	writeEnd_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	int length = sizeof(address);
	if (readEnd_ == INVALID_SOCKET || writeEnd_ == INVALID_SOCKET ||
	    bind(readEnd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
	    getsockname(readEnd_, reinterpret_cast<sockaddr *>(&address), &length) != 0 ||
	    connect(writeEnd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
		const int error = WSAGetLastError();
		if (readEnd_ != INVALID_SOCKET)
			closesocket(readEnd_);
		if (writeEnd_ != INVALID_SOCKET)
			closesocket(writeEnd_);
		throw std::system_error(error, std::system_category(), "poll waker");
	}
	setNonBlocking(readEnd_);
	setNonBlocking(writeEnd_);
}

PollWaker::~PollWaker()
{
	closesocket(readEnd_);
	closesocket(writeEnd_);
}

socket_t PollWaker::handle() const
{
	return readEnd_;
}

void PollWaker::wake()
{
	const char signal = 1;
	send(writeEnd_, &signal, 1, 0);
}

void PollWaker::drain()
{
	char buffer[64];
	while (recv(readEnd_, buffer, sizeof(buffer), 0) > 0) {
	}
}

std::size_t raiseOpenFileLimit()
{
	// Sockets are not files on Windows; the system sets no such limit.
	return static_cast<std::size_t>(1) << 20;
}

void widenListenBacklog(socket_t)
{
	// Windows keeps the backlog of the first listen call on a socket.
}

} // namespace tiloran::platform
