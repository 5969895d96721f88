#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/LineChannel.h"
#include "supervision/StreamStatistics.h"

namespace tiloran {

// The server's side of the private channel to one running worker: a thread of
// its own reads what the worker reports (statistics, events, that it is on
// air, why it failed), with their codes, into the stream statistics, and the
// server asks the worker to stop through it.
//
// Threading: constructed and destroyed by the supervisor; requestStop() and
// awaitEnd() from any thread. The destructor ends and joins the reading
// thread.
class WorkerLink
{
public:
	WorkerLink(platform::ChannelStream serverEnd, StreamStatistics &statistics);
	~WorkerLink();

	WorkerLink(const WorkerLink &) = delete;
	WorkerLink &operator=(const WorkerLink &) = delete;

	// False when the worker's end is gone.
	bool requestStop();
	// Waits, at most timeout, until the worker's end has closed and every
	// line it sent before has been read.
	void awaitEnd(std::chrono::milliseconds timeout);

private:
	void read();
	void handle(const std::string &line);

	LineChannel channel_;
	StreamStatistics &statistics_;
	std::mutex mutex_;
	std::condition_variable ended_;
	bool readerEnded_ = false;
	std::thread reader_;
};

} // namespace tiloran
