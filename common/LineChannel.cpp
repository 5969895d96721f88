#include "common/LineChannel.h"

#include <utility>

namespace tiloran {

LineChannel::LineChannel(platform::ChannelStream stream) : stream_(std::move(stream))
{
}

bool LineChannel::readLine(std::string &line)
{
	for (;;) {
		const std::size_t end = received_.find('\n');
		if (end != std::string::npos) {
			const bool skipped = skipping_;
			skipping_ = false;
			if (!skipped) {
				line.assign(received_, 0, end);
				received_.erase(0, end + 1);
				return true;
			}
			received_.erase(0, end + 1);
			continue;
		}
		if (received_.size() > maxLineBytes) {
			received_.clear();
			skipping_ = true;
		}
		char buffer[8192];
		const long count = stream_.read(buffer, sizeof(buffer));
		if (count <= 0)
			return false;
		received_.append(buffer, static_cast<std::size_t>(count));
	}
}

bool LineChannel::writeLine(std::string_view line)
{
	std::string text;
	text.reserve(line.size() + 1);
	text.append(line).push_back('\n');
	std::lock_guard lock(writeMutex_);
	return stream_.write(text);
}

void LineChannel::interrupt()
{
	stream_.interrupt();
}

} // namespace tiloran
