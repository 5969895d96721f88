#include "http/platform/ConnectionSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tiloran::platform {

namespace {

int remainingMilliseconds(std::chrono::steady_clock::time_point deadline)
{
	const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
	return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 60'000));
}

void numericAddress(const sockaddr_storage &address, socklen_t length, std::string &text, int &port)
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

} // namespace

ConnectionSocket::ConnectionSocket(socket_t handle) : handle_(handle)
{
	const int flags = fcntl(handle_, F_GETFL, 0);
	if (flags >= 0)
		fcntl(handle_, F_SETFL, flags | O_NONBLOCK);
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
		::close(handle_);
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
		const ssize_t count = recv(handle_, buffer, std::min(sizeof(buffer), maxBytes - received), 0);
		if (count > 0) {
			bytes.append(buffer, static_cast<std::size_t>(count));
			received += static_cast<std::size_t>(count);
			continue;
		}
		if (count < 0 && errno == EINTR)
			continue;
		if (received > 0)
			return ReceiveStatus::Received;
		if (count == 0)
			return ReceiveStatus::Closed;
		return errno == EAGAIN || errno == EWOULDBLOCK ? ReceiveStatus::NothingYet : ReceiveStatus::Failed;
	}
	return ReceiveStatus::Received;
}

bool ConnectionSocket::sendAll(std::string_view bytes, std::chrono::steady_clock::time_point deadline)
{
	if (tls_)
		return tls_->sendAll(bytes, deadline);
	while (!bytes.empty()) {
		const ssize_t count = send(handle_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
		if (count > 0) {
			bytes.remove_prefix(static_cast<std::size_t>(count));
			continue;
		}
		if (count < 0 && errno == EINTR)
			continue;
		if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitWritable(deadline))
			continue;
		return false;
	}
	return true;
}

bool ConnectionSocket::waitWritable(std::chrono::steady_clock::time_point deadline) const
{
	for (;;) {
		pollfd item{ handle_, POLLOUT, 0 };
		const int result = poll(&item, 1, remainingMilliseconds(deadline));
		if (result < 0 && errno == EINTR)
			continue;
		return result > 0 && (item.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
	}
}

void ConnectionSocket::shutdownSending()
{
	if (tls_)
		tls_->shutdown();
	shutdown(handle_, SHUT_WR);
}

void ConnectionSocket::peerAddress(std::string &address, int &port) const
{
	sockaddr_storage peer{};
	socklen_t length = sizeof(peer);
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
	socklen_t length = sizeof(local);
	if (getsockname(handle_, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
		address.clear();
		port = 0;
		return;
	}
	numericAddress(local, length, address, port);
}

void pollReadable(std::vector<PollItem> &items, int timeoutMilliseconds)
{
	std::vector<pollfd> descriptors;
	descriptors.reserve(items.size());
	for (const PollItem &item : items)
		descriptors.push_back({ item.handle, POLLIN, 0 });
	if (poll(descriptors.data(), descriptors.size(), timeoutMilliseconds) <= 0)
		return;
	for (std::size_t index = 0; index < items.size(); ++index) {
		const short events = descriptors[index].revents;
		items[index].readable = (events & (POLLIN | POLLHUP)) != 0;
		items[index].failed = (events & (POLLERR | POLLNVAL)) != 0;
	}
}

PollWaker::PollWaker()
{
	int ends[2];
	if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0)
		throw std::system_error(errno, std::generic_category(), "pipe2");
	readEnd_ = ends[0];
	writeEnd_ = ends[1];
}

PollWaker::~PollWaker()
{
	::close(readEnd_);
	::close(writeEnd_);
}

socket_t PollWaker::handle() const
{
	return readEnd_;
}

void PollWaker::wake()
{
	const char signal = 1;
	// A full pipe already wakes the poll.
	[[maybe_unused]] const ssize_t written = write(writeEnd_, &signal, 1);
}

void PollWaker::drain()
{
	char buffer[64];
	while (read(readEnd_, buffer, sizeof(buffer)) > 0) {
	}
}

std::size_t raiseOpenFileLimit()
{
	rlimit limit{};
	if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
		return 1024;
	if (limit.rlim_cur < limit.rlim_max) {
		limit.rlim_cur = limit.rlim_max;
		setrlimit(RLIMIT_NOFILE, &limit);
		getrlimit(RLIMIT_NOFILE, &limit);
	}
	return limit.rlim_cur == RLIM_INFINITY ? static_cast<std::size_t>(1) << 20 : static_cast<std::size_t>(limit.rlim_cur);
}

void widenListenBacklog(socket_t listenSocket)
{
	// Calling listen again on a listening socket changes only its backlog.
	listen(listenSocket, SOMAXCONN);
}

} // namespace tiloran::platform
