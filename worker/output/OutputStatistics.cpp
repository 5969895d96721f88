#include "output/OutputStatistics.h"

#include <optional>

namespace tiloran {

namespace {

// Latencies are kept for this long.
constexpr std::chrono::seconds latencyWindow{ 10 };

} // namespace

void OutputStatistics::setEncoder(std::string name)
{
	std::lock_guard lock(mutex_);
	encoder_ = std::move(name);
}

void OutputStatistics::pictureEncoding(int64_t pts, Clock::time_point arrival)
{
	encodingArrivals_.emplace_back(pts, arrival);
}

void OutputStatistics::pictureWritten(int64_t pts)
{
	const auto now = Clock::now();
	// Pictures the encoder dropped, or whose pts it changed, have no packet
	// to wait for.
	std::optional<double> latency;
	while (!encodingArrivals_.empty() && encodingArrivals_.front().first < pts)
		encodingArrivals_.pop_front();
	if (!encodingArrivals_.empty() && encodingArrivals_.front().first == pts) {
		latency = std::chrono::duration<double, std::milli>(now - encodingArrivals_.front().second).count();
		encodingArrivals_.pop_front();
	}
	std::lock_guard lock(mutex_);
	++picturesEncoded_;
	if (latency) {
		latencies_.emplace_back(now, *latency);
		++latencyCount_;
		latencySumMs_ += *latency;
	}
	while (!latencies_.empty() && now - latencies_.front().first > latencyWindow)
		latencies_.pop_front();
}

OutputStatistics::Figures OutputStatistics::figures() const
{
	std::lock_guard lock(mutex_);
	Figures figures;
	figures.encoder = encoder_;
	figures.picturesEncoded = picturesEncoded_;
	figures.latencyCount = latencyCount_;
	figures.latencySumMs = latencySumMs_;
	const auto now = Clock::now();
	for (const auto &[time, latency] : latencies_) {
		if (now - time <= latencyWindow)
			figures.latenciesMs.push_back(latency);
	}
	return figures;
}

} // namespace tiloran
