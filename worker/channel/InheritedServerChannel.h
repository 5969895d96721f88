#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "channel/ServerChannel.h"
#include "common/LineChannel.h"

namespace tiloran {

// The channel the server handed this worker at its start. One thread of its
// own reads what the server asks (to stop); another writes what the worker
// reports, from a bounded queue, so that no pipeline thread ever waits for
// the server. When the queue is full the oldest statistics go first.
//
// Threading: send() and flush() from any thread; onStop and onLost run on the
// reading thread. The destructor writes out what is queued (within a second),
// then ends and joins both threads.
class InheritedServerChannel final : public ServerChannel
{
public:
	static constexpr std::size_t queueLimit = 256;

	// onStop: the server asked the worker to stop. onLost: the server's end
	// closed, so the server is gone.
	InheritedServerChannel(platform::ChannelStream stream, std::function<void()> onStop,
			       std::function<void()> onLost);
	~InheritedServerChannel() override;

	InheritedServerChannel(const InheritedServerChannel &) = delete;
	InheritedServerChannel &operator=(const InheritedServerChannel &) = delete;

	void send(const nlohmann::json &message) override;
	// Waits, at most timeout, until everything sent so far is written.
	void flush(std::chrono::milliseconds timeout);

private:
	void read();
	void write();

	LineChannel channel_;
	std::function<void()> onStop_;
	std::function<void()> onLost_;

	std::mutex mutex_;
	std::condition_variable condition_;
	// A line to write, and whether it is a statistics record (superseded by
	// the next one, so the first to go when the queue is full).
	struct Queued {
		std::string line;
		bool statistics = false;
	};
	std::deque<Queued> queue_;
	bool writing_ = false;
	bool closing_ = false;
	bool serverGone_ = false;

	std::thread reader_;
	std::thread writer_;
};

} // namespace tiloran
