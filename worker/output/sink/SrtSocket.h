#pragma once

#include <cstdint>

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

// SRT's maximum bandwidth relative to the input rate given (SRTO_MAXBW 0):
// the input rate and its overhead share on top. The share is SRT's largest,
// 100 %, not its default 25 %: a picture as large as the encoder's buffer
// allows then leaves within the buffer's time (its excess drains at the
// average rate), where at 25 % it would wait four times as long in SRT's
// send buffer and could outlast the latency. False when SRT refused it.
inline bool paceSrtSocket(SRTSOCKET socket, int64_t inputBytesPerSecond)
{
	const int64_t relative = 0;
	const int overheadPercent = 100;
	return srt_setsockflag(socket, SRTO_MAXBW, &relative, sizeof(relative)) == 0 &&
	       srt_setsockflag(socket, SRTO_OHEADBW, &overheadPercent, sizeof(overheadPercent)) == 0 &&
	       srt_setsockflag(socket, SRTO_INPUTBW, &inputBytesPerSecond, sizeof(inputBytesPerSecond)) == 0;
}

} // namespace tiloran
