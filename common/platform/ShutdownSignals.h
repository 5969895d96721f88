#pragma once

#include <functional>
#include <memory>

namespace tiloran::platform {

// Delivers the console's stop requests (Ctrl+C, SIGINT, SIGTERM) to a handler,
// with the signal number (2 or 15). The worker also gets SIGTERM when its
// server dies (the parent-death signal its launcher asks for).
//
// On POSIX the signals are blocked in the constructing thread, and so in every
// thread created after it, and taken on one dedicated thread that calls the
// handler; construct this before the program starts any other thread.
// The destructor stops that thread and joins it; the handler is not called
// after the destructor has returned.
class ShutdownSignals
{
public:
	explicit ShutdownSignals(std::function<void(int)> handler);
	~ShutdownSignals();
	ShutdownSignals(const ShutdownSignals &) = delete;
	ShutdownSignals &operator=(const ShutdownSignals &) = delete;

	struct Private;

private:
	std::unique_ptr<Private> private_;
};

} // namespace tiloran::platform
