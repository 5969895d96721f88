#include "channel/InheritedServerChannel.h"

#include <algorithm>
#include <utility>

namespace tiloran {

InheritedServerChannel::InheritedServerChannel(platform::ChannelStream stream, std::function<void()> onStop,
					       std::function<void()> onLost)
	: channel_(std::move(stream)), onStop_(std::move(onStop)), onLost_(std::move(onLost))
{
	writer_ = std::thread([this] { write(); });
	reader_ = std::thread([this] { read(); });
}

InheritedServerChannel::~InheritedServerChannel()
{
	flush(std::chrono::seconds(1));
	{
		std::lock_guard lock(mutex_);
		closing_ = true;
	}
	condition_.notify_all();
	writer_.join();
	channel_.interrupt();
	reader_.join();
}

void InheritedServerChannel::send(const nlohmann::json &message)
{
	std::string line = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
	const auto type = message.find("type");
	const bool statistics = type != message.end() && *type == "statistics";
	{
		std::lock_guard lock(mutex_);
		if (serverGone_ || closing_)
			return;
		if (queue_.size() >= queueLimit) {
			// Statistics are superseded by the next record; events are not.
			auto superseded = std::find_if(queue_.begin(), queue_.end(),
						       [](const Queued &queued) { return queued.statistics; });
			queue_.erase(superseded != queue_.end() ? superseded : queue_.begin());
		}
		queue_.push_back({ std::move(line), statistics });
	}
	condition_.notify_all();
}

void InheritedServerChannel::flush(std::chrono::milliseconds timeout)
{
	std::unique_lock lock(mutex_);
	condition_.wait_for(lock, timeout, [this] { return serverGone_ || (queue_.empty() && !writing_); });
}

void InheritedServerChannel::write()
{
	std::unique_lock lock(mutex_);
	for (;;) {
		condition_.wait(lock, [this] { return closing_ || !queue_.empty(); });
		if (queue_.empty())
			return;
		std::string line = std::move(queue_.front().line);
		queue_.pop_front();
		writing_ = true;
		lock.unlock();
		const bool written = channel_.writeLine(line);
		lock.lock();
		writing_ = false;
		if (!written) {
			serverGone_ = true;
			queue_.clear();
		}
		condition_.notify_all();
	}
}

void InheritedServerChannel::read()
{
	std::string line;
	while (channel_.readLine(line)) {
		const nlohmann::json message = nlohmann::json::parse(line, nullptr, false);
		if (message.is_object() && message.value("type", std::string()) == "stop")
			onStop_();
	}
	bool closing;
	{
		std::lock_guard lock(mutex_);
		closing = closing_;
	}
	if (!closing)
		onLost_();
}

} // namespace tiloran
