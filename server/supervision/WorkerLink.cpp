#include "supervision/WorkerLink.h"

#include <nlohmann/json.hpp>

namespace tiloran {

WorkerLink::WorkerLink(platform::ChannelStream serverEnd, StreamStatistics &statistics)
	: channel_(std::move(serverEnd)), statistics_(statistics)
{
	reader_ = std::thread([this] { read(); });
}

WorkerLink::~WorkerLink()
{
	channel_.interrupt();
	reader_.join();
}

bool WorkerLink::requestStop()
{
	return channel_.writeLine(R"({"type":"stop"})");
}

void WorkerLink::awaitEnd(std::chrono::milliseconds timeout)
{
	std::unique_lock lock(mutex_);
	ended_.wait_for(lock, timeout, [this] { return readerEnded_; });
}

void WorkerLink::read()
{
	std::string line;
	while (channel_.readLine(line))
		handle(line);
	std::lock_guard lock(mutex_);
	readerEnded_ = true;
	ended_.notify_all();
}

void WorkerLink::handle(const std::string &line)
{
	const nlohmann::json message = nlohmann::json::parse(line, nullptr, false);
	if (!message.is_object() || !message.contains("type") || !message["type"].is_string())
		return;
	const std::string &type = message["type"].get_ref<const std::string &>();
	const auto text = [&](const char *key) {
		const auto found = message.find(key);
		return found != message.end() && found->is_string() ? found->get<std::string>() : std::string();
	};
	// Only a code of the list is passed on.
	const std::optional<EventCode> code = eventCodeNamed(text("code"));
	if (type == "statistics")
		statistics_.statisticsReceived(message.value("record", nlohmann::json()));
	else if (type == "event")
		statistics_.eventReceived(code, text("level"), text("message"));
	else if (type == "link")
		statistics_.linkReceived(code, text("level"), text("message"), message.value("link", nlohmann::json()));
	else if (type == "live")
		statistics_.liveReceived();
	else if (type == "failure")
		statistics_.failureReceived(code, text("message"));
}

} // namespace tiloran
