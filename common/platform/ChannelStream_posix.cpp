#include "common/platform/ChannelStream.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tiloran::platform {

struct ChannelStream::Handles {
	explicit Handles(int socket) : descriptor(socket) {}
	~Handles() { ::close(descriptor); }
	Handles(const Handles &) = delete;
	Handles &operator=(const Handles &) = delete;

	int descriptor;
	std::atomic<bool> interrupted{ false };
};

ChannelStream::ChannelStream() = default;
ChannelStream::~ChannelStream() = default;
ChannelStream::ChannelStream(ChannelStream &&other) noexcept = default;
ChannelStream &ChannelStream::operator=(ChannelStream &&other) noexcept = default;

bool ChannelStream::createPair(ChannelStream &serverEnd, ChannelStream &childEnd, std::string &message)
{
	int ends[2];
	// Close-on-exec on both: the launcher gives the child its end on
	// purpose, and no other child may inherit either.
	if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
		message = std::strerror(errno);
		return false;
	}
	serverEnd.handles_ = std::make_unique<Handles>(ends[0]);
	childEnd.handles_ = std::make_unique<Handles>(ends[1]);
	return true;
}

bool ChannelStream::fromEnvironment(ChannelStream &stream, std::string &message)
{
	const char *value = std::getenv(channelVariable);
	if (value == nullptr)
		return true;
	const std::string_view text(value);
	int descriptor = -1;
	const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), descriptor);
	if (error != std::errc() || end != text.data() + text.size() || descriptor < 0 ||
	    fcntl(descriptor, F_GETFD) < 0) {
		message = std::string("no channel at ") + channelVariable + "=" + value;
		return false;
	}
	// Programs this one starts must not hold the server's channel open.
	fcntl(descriptor, F_SETFD, FD_CLOEXEC);
	stream.handles_ = std::make_unique<Handles>(descriptor);
	return true;
}

long ChannelStream::read(char *buffer, std::size_t size)
{
	for (;;) {
		if (handles_->interrupted)
			return 0;
		const ssize_t count = ::read(handles_->descriptor, buffer, size);
		if (count < 0 && errno == EINTR)
			continue;
		if (handles_->interrupted)
			return 0;
		return static_cast<long>(count);
	}
}

bool ChannelStream::write(std::string_view bytes)
{
	while (!bytes.empty()) {
		const ssize_t count = send(handles_->descriptor, bytes.data(), bytes.size(), MSG_NOSIGNAL);
		if (count < 0 && errno == EINTR)
			continue;
		if (count <= 0)
			return false;
		bytes.remove_prefix(static_cast<std::size_t>(count));
	}
	return true;
}

void ChannelStream::interrupt()
{
	handles_->interrupted = true;
	// Wakes a read blocked on this end; the descriptor itself stays open
	// until the owner is destroyed.
	shutdown(handles_->descriptor, SHUT_RDWR);
}

std::intptr_t ChannelStream::readHandle() const
{
	return handles_->descriptor;
}

std::intptr_t ChannelStream::writeHandle() const
{
	return handles_->descriptor;
}

} // namespace tiloran::platform
