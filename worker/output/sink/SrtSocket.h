#pragma once

#include <srt/srt.h>

namespace tiloran {

// One SRT socket, closed with its owner. Move-only.
class SrtSocket
{
public:
	SrtSocket() = default;
	explicit SrtSocket(SRTSOCKET socket) : socket_(socket) {}
	~SrtSocket() { reset(); }
	SrtSocket(SrtSocket &&other) noexcept : socket_(other.socket_) { other.socket_ = SRT_INVALID_SOCK; }
	SrtSocket &operator=(SrtSocket &&other) noexcept
	{
		if (this != &other) {
			reset();
			socket_ = other.socket_;
			other.socket_ = SRT_INVALID_SOCK;
		}
		return *this;
	}
	SrtSocket(const SrtSocket &) = delete;
	SrtSocket &operator=(const SrtSocket &) = delete;

	explicit operator bool() const { return socket_ != SRT_INVALID_SOCK; }
	SRTSOCKET get() const { return socket_; }
	void reset()
	{
		if (socket_ != SRT_INVALID_SOCK)
			srt_close(socket_);
		socket_ = SRT_INVALID_SOCK;
	}

private:
	SRTSOCKET socket_ = SRT_INVALID_SOCK;
};

} // namespace tiloran
