#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tiloran {

// Ends the process when a stop that nobody else enforces takes too long:
// after a signal, or once the server is gone, no supervisor ends a worker
// whose orderly stop hangs, and it would go on holding the capture cards.
//
// Threading: arm() from any thread; the first starts the timer thread. The
// destructor, the worker's end in time, ends the timer and joins it.
class StopDeadline
{
public:
	explicit StopDeadline(std::chrono::milliseconds limit);
	~StopDeadline();

	StopDeadline(const StopDeadline &) = delete;
	StopDeadline &operator=(const StopDeadline &) = delete;

	void arm();

private:
	void run();

	const std::chrono::milliseconds limit_;
	std::mutex mutex_;
	std::condition_variable condition_;
	bool ended_ = false;
	std::thread timer_;
};

} // namespace tiloran
