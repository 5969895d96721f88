#include "common/platform/ChannelStream.h"

#include <atomic>
#include <cstdlib>
#include <string>

#include <windows.h>

namespace tiloran::platform {

struct ChannelStream::Handles {
	Handles(HANDLE in, HANDLE out) : readPipe(in), writePipe(out) {}
	~Handles()
	{
		CloseHandle(readPipe);
		CloseHandle(writePipe);
	}
	Handles(const Handles &) = delete;
	Handles &operator=(const Handles &) = delete;

	HANDLE readPipe;
	HANDLE writePipe;
	std::atomic<bool> interrupted{ false };
};

namespace {

std::string lastErrorText()
{
	return "Windows error " + std::to_string(GetLastError());
}

} // namespace

ChannelStream::ChannelStream() = default;
ChannelStream::~ChannelStream() = default;
ChannelStream::ChannelStream(ChannelStream &&other) noexcept = default;
ChannelStream &ChannelStream::operator=(ChannelStream &&other) noexcept = default;

bool ChannelStream::createPair(ChannelStream &serverEnd, ChannelStream &childEnd, std::string &message)
{
	// Not inheritable: the launcher names the child's two handles in the
	// list of handles the child inherits, so no other child gets them.
	HANDLE toChildRead = nullptr;
	HANDLE toChildWrite = nullptr;
	HANDLE fromChildRead = nullptr;
	HANDLE fromChildWrite = nullptr;
	if (!CreatePipe(&toChildRead, &toChildWrite, nullptr, 0)) {
		message = lastErrorText();
		return false;
	}
	if (!CreatePipe(&fromChildRead, &fromChildWrite, nullptr, 0)) {
		message = lastErrorText();
		CloseHandle(toChildRead);
		CloseHandle(toChildWrite);
		return false;
	}
	serverEnd.handles_ = std::make_unique<Handles>(fromChildRead, toChildWrite);
	childEnd.handles_ = std::make_unique<Handles>(toChildRead, fromChildWrite);
	return true;
}

bool ChannelStream::fromEnvironment(ChannelStream &stream, std::string &message)
{
	const char *value = std::getenv(channelVariable);
	if (value == nullptr)
		return true;
	char *end = nullptr;
	const unsigned long long in = std::strtoull(value, &end, 10);
	if (end == value || *end != ',') {
		message = std::string("no channel at ") + channelVariable + "=" + value;
		return false;
	}
	const char *second = end + 1;
	const unsigned long long out = std::strtoull(second, &end, 10);
	DWORD flags = 0;
	if (end == second || *end != '\0' ||
	    !GetHandleInformation(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(in)), &flags) ||
	    !GetHandleInformation(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(out)), &flags)) {
		message = std::string("no channel at ") + channelVariable + "=" + value;
		return false;
	}
	stream.handles_ = std::make_unique<Handles>(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(in)),
						    reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(out)));
	return true;
}

long ChannelStream::read(char *buffer, std::size_t size)
{
	// An anonymous pipe cannot be read with a time-out or cancelled from
	// another thread, so the reader looks for bytes before it reads.
	for (;;) {
		if (handles_->interrupted)
			return 0;
		DWORD available = 0;
		if (!PeekNamedPipe(handles_->readPipe, nullptr, 0, nullptr, &available, nullptr))
			return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
		if (available == 0) {
			Sleep(20);
			continue;
		}
		DWORD count = 0;
		const DWORD wanted = static_cast<DWORD>(size < available ? size : available);
		if (!ReadFile(handles_->readPipe, buffer, wanted, &count, nullptr))
			return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
		return static_cast<long>(count);
	}
}

bool ChannelStream::write(std::string_view bytes)
{
	while (!bytes.empty()) {
		DWORD count = 0;
		if (!WriteFile(handles_->writePipe, bytes.data(), static_cast<DWORD>(bytes.size()), &count, nullptr) ||
		    count == 0)
			return false;
		bytes.remove_prefix(count);
	}
	return true;
}

void ChannelStream::interrupt()
{
	handles_->interrupted = true;
}

std::intptr_t ChannelStream::readHandle() const
{
	return reinterpret_cast<std::intptr_t>(handles_->readPipe);
}

std::intptr_t ChannelStream::writeHandle() const
{
	return reinterpret_cast<std::intptr_t>(handles_->writePipe);
}

} // namespace tiloran::platform
