#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tiloran::platform {

// The environment variable that names the worker's end of its channel.
inline constexpr const char *channelVariable = "TILORAN_WORKER_CHANNEL";

// One end of the private byte stream between the server and a worker it
// started: a connected socket pair on POSIX, two anonymous pipes on Windows.
// Owns its system handles and closes them on destruction. Move-only.
//
// The server creates both ends, keeps one and hands the other to the child it
// launches, which finds its end through the variable channelVariable.
//
// Threading: read() on one thread at a time, write() on one thread at a time,
// interrupt() from any thread while they run.
class ChannelStream
{
public:
	ChannelStream();
	~ChannelStream();
	ChannelStream(ChannelStream &&other) noexcept;
	ChannelStream &operator=(ChannelStream &&other) noexcept;
	ChannelStream(const ChannelStream &) = delete;
	ChannelStream &operator=(const ChannelStream &) = delete;

	explicit operator bool() const { return handles_ != nullptr; }

	// Two connected ends: one for the server, one for the child.
	static bool createPair(ChannelStream &serverEnd, ChannelStream &childEnd, std::string &message);
	// The end this process was given. Without the variable the stream stays
	// empty and the result is true; false with a reason when the variable
	// names nothing usable.
	static bool fromEnvironment(ChannelStream &stream, std::string &message);

	// Blocks until bytes arrive; 0 at the other end's close or after
	// interrupt(), -1 on failure.
	long read(char *buffer, std::size_t size);
	// False when not all bytes could be written (the other end is gone).
	bool write(std::string_view bytes);
	// Ends a blocked read() and every later one.
	void interrupt();

	// The system handles of this end, for the launcher that passes it to a
	// child: the one socket descriptor on POSIX, the two pipe handles on
	// Windows.
	std::intptr_t readHandle() const;
	std::intptr_t writeHandle() const;

	struct Handles;

private:
	std::unique_ptr<Handles> handles_;
};

} // namespace tiloran::platform
