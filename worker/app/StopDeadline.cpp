#include "app/StopDeadline.h"

#include <cstdlib>
#include <string>

#include "common/ConsoleLine.h"

namespace tiloran {

StopDeadline::StopDeadline(std::chrono::milliseconds limit) : limit_(limit)
{
}

StopDeadline::~StopDeadline()
{
	{
		std::lock_guard lock(mutex_);
		ended_ = true;
	}
	condition_.notify_all();
	if (timer_.joinable())
		timer_.join();
}

void StopDeadline::arm()
{
	std::lock_guard lock(mutex_);
	if (!ended_ && !timer_.joinable())
		timer_ = std::thread([this] { run(); });
}

void StopDeadline::run()
{
	std::unique_lock lock(mutex_);
	if (condition_.wait_for(lock, limit_, [this] { return ended_; }))
		return;
	printErrorLine("[Worker] Did not stop within " + std::to_string(limit_.count() / 1000) + " s; ending at once");
	std::_Exit(1);
}

} // namespace tiloran
