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
	encodingArrivals_.push_back({ pts, arrival, Clock::now() });
}

void OutputStatistics::pictureWritten(int64_t pts)
{
	const auto now = Clock::now();
	// Pictures the encoder dropped, or whose pts it changed, have no packet
	// to wait for.
	std::optional<Latency> latency;
	while (!encodingArrivals_.empty() && encodingArrivals_.front().pts < pts)
		encodingArrivals_.pop_front();
	if (!encodingArrivals_.empty() && encodingArrivals_.front().pts == pts) {
		const Encoding &encoding = encodingArrivals_.front();
		using Milliseconds = std::chrono::duration<double, std::milli>;
		latency = Latency{ now, Milliseconds(now - encoding.arrival).count(),
				   Milliseconds(now - encoding.given).count() };
		encodingArrivals_.pop_front();
	}
	std::lock_guard lock(mutex_);
	++picturesEncoded_;
	if (latency) {
		latencies_.push_back(*latency);
		++latencyCount_;
		latencySumMs_ += latency->latencyMs;
	}
	while (!latencies_.empty() && now - latencies_.front().written > latencyWindow)
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
	for (const Latency &latency : latencies_) {
		if (now - latency.written <= latencyWindow) {
			figures.latenciesMs.push_back(latency.latencyMs);
			figures.encodingMs.push_back(latency.encodingMs);
		}
	}
	return figures;
}

} // namespace tiloran
