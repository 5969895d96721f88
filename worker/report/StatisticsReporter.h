#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "capture/SourceCapture.h"
#include "channel/ServerChannel.h"
#include "output/CompositeOutput.h"
#include "report/AudioLevelMeter.h"

namespace tiloran {

// Once a second, the worker's statistics record for the server: the output
// (size, rate, encoder, asked and measured bitrate, pictures encoded and
// dropped, pace, capture-to-output latency), each input (pace, age of its
// newest picture, signal) and the levels of the master's two channels that
// go out, with their numbers among its embedded channels. Also the events that
// follow from them: the first pictures reaching the output, an input losing
// or regaining its pace. Looking at an input's signal makes its capture
// report a change (SourceCapture::checkSignal), so a change is seen within a
// report's interval even while nothing else looks.
//
// Threading: a thread of its own reads what the components give under their
// own locks. Construct it after, and destroy it before, everything it reads;
// the destructor wakes and joins the thread.
class StatisticsReporter
{
public:
	struct Input {
		SourceCapture *source = nullptr;
		int32_t quadrant = 0;
		std::string name;
		std::string sourceName;
		AVRational frameRate{ 0, 1 };
	};
	struct Subjects {
		std::vector<Input> inputs;
		const CompositeOutput *output = nullptr;
		AudioLevelMeter *meter = nullptr;
		// The master's channels the meter measures.
		AudioChannelPair audioChannels;
		const std::atomic<int64_t> *picturesDropped = nullptr;
		int32_t width = 0;
		int32_t height = 0;
		AVRational frameRate{ 0, 1 };
		int64_t videoBitrate = 0;
	};

	StatisticsReporter(Subjects subjects, ServerChannel &channel,
			   std::chrono::milliseconds interval = std::chrono::seconds(1));
	~StatisticsReporter();

	StatisticsReporter(const StatisticsReporter &) = delete;
	StatisticsReporter &operator=(const StatisticsReporter &) = delete;

	// Sends a record at once, besides the one a second. Any thread.
	void reportNow();

private:
	struct InputHistory {
		int64_t pictures = 0;
		bool offPace = false;
		int offPaceReports = 0;
	};

	void run();
	void report();
	nlohmann::json record(double seconds);
	nlohmann::json inputRecord(const Input &input, InputHistory &history, double seconds,
				   std::chrono::steady_clock::time_point now);

	const Subjects subjects_;
	ServerChannel &channel_;
	const std::chrono::milliseconds interval_;

	// Guards what follows: records are made on the reporter's thread and by
	// reportNow.
	std::mutex recordMutex_;
	std::chrono::steady_clock::time_point lastReport_;
	std::vector<InputHistory> histories_;
	int64_t lastPicturesEncoded_ = 0;
	int64_t lastBytesWritten_ = 0;
	bool live_ = false;

	std::mutex mutex_;
	std::condition_variable condition_;
	bool stopping_ = false;
	std::thread thread_;
};

} // namespace tiloran
