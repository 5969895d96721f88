#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tiloran {

// The output's own figures: its H.264 encoder's name, the pictures written,
// and each picture's latency, from when its master picture arrived from its
// input to its last byte handed to the sink, over the last 10 s and over the
// run; and over the last 10 s, each picture's share of it from when it was
// given to the encoder (encoding and muxing).
//
// Threads: setEncoder before the output thread starts; pictureEncoding and
// pictureWritten on the output thread; figures on any thread.
class OutputStatistics
{
public:
	using Clock = std::chrono::steady_clock;

	struct Figures {
		std::string encoder;
		int64_t picturesEncoded = 0;
		std::vector<double> latenciesMs;
		std::vector<double> encodingMs;
		int64_t latencyCount = 0;
		double latencySumMs = 0;
	};

	void setEncoder(std::string name);
	// A picture given to the encoder, with its pts in the worker time base.
	void pictureEncoding(int64_t pts, Clock::time_point arrival);
	// A video packet written into the sink, with its pts.
	void pictureWritten(int64_t pts);

	Figures figures() const;

private:
	struct Encoding {
		int64_t pts;
		Clock::time_point arrival;
		Clock::time_point given;
	};
	// The output thread's own: the pictures given to the encoder whose
	// packets have not been written yet, by pts.
	std::deque<Encoding> encodingArrivals_;

	mutable std::mutex mutex_;
	std::string encoder_;
	int64_t picturesEncoded_ = 0;
	struct Latency {
		Clock::time_point written;
		double latencyMs;
		double encodingMs;
	};
	std::deque<Latency> latencies_;
	int64_t latencyCount_ = 0;
	double latencySumMs_ = 0;
};

} // namespace tiloran
