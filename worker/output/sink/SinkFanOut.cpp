#include "output/sink/SinkFanOut.h"

#include <thread>
#include <utility>

namespace tiloran {

SinkFanOut::SinkFanOut(std::unique_ptr<OutputSink> stream) : stream_(std::move(stream))
{
}

void SinkFanOut::add(std::unique_ptr<OutputSink> side)
{
	sides_.push_back({ std::move(side), false });
}

bool SinkFanOut::open(std::string &)
{
	return true;
}

bool SinkFanOut::write(const uint8_t *bytes, std::size_t size, std::string &message)
{
	for (Side &side : sides_) {
		if (side.failed)
			continue;
		// The side sink has said why; the stream does not end for it.
		std::string ignored;
		if (!side.sink->write(bytes, size, ignored)) {
			side.failed = true;
			side.sink->close();
		}
	}
	return stream_->write(bytes, size, message);
}

void SinkFanOut::beforePicture(int64_t pts)
{
	stream_->beforePicture(pts);
	for (Side &side : sides_)
		if (!side.failed)
			side.sink->beforePicture(pts);
}

bool SinkFanOut::restartPending() const
{
	if (stream_->restartPending())
		return true;
	for (const Side &side : sides_)
		if (!side.failed && side.sink->restartPending())
			return true;
	return false;
}

void SinkFanOut::beginRestart()
{
	if (stream_->restartPending())
		stream_->beginRestart();
	for (Side &side : sides_)
		if (!side.failed && side.sink->restartPending())
			side.sink->beginRestart();
}

void SinkFanOut::followRate(int64_t bitsPerSecond)
{
	stream_->followRate(bitsPerSecond);
	for (Side &side : sides_)
		if (!side.failed)
			side.sink->followRate(bitsPerSecond);
}

std::vector<SrtLinkStatistics> SinkFanOut::sideLinkStatistics() const
{
	// The list of sides is fixed once the output thread runs; each sink's
	// figures are its own to guard.
	std::vector<SrtLinkStatistics> links;
	for (const Side &side : sides_)
		if (std::optional<SrtLinkStatistics> link = side.sink->linkStatistics())
			links.push_back(std::move(*link));
	return links;
}

void SinkFanOut::close()
{
	// Each SRT sink gives its receiver a moment to take what it still holds:
	// side by side, so that the stream's end waits for the longest, not the sum.
	std::vector<std::thread> closing;
	for (Side &side : sides_)
		closing.emplace_back([&side] { side.sink->close(); });
	stream_->close();
	for (std::thread &thread : closing)
		thread.join();
}

} // namespace tiloran
