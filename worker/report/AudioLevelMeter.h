#pragma once

#include <array>
#include <cstdint>
#include <mutex>

struct AVFrame;

namespace tiloran {

// Peak and RMS level, in dBFS, of the two channels of the master's audio
// that go into the stream, over what was added since the last take.
//
// Threading: add() and take() from any threads; one mutex.
class AudioLevelMeter
{
public:
	static constexpr int channels = 2;
	// Silence reads as this level rather than minus infinity.
	static constexpr double floorDbfs = -120.0;

	struct Levels {
		// False when nothing was added since the last take.
		bool measured = false;
		std::array<double, channels> peakDbfs{};
		std::array<double, channels> rmsDbfs{};
	};

	// A master audio frame: packed signed 16-bit samples, at least two
	// channels.
	void add(const AVFrame *frame);
	Levels take();

private:
	std::mutex mutex_;
	std::array<int32_t, channels> peak_{};
	std::array<double, channels> sumOfSquares_{};
	int64_t samples_ = 0;
};

} // namespace tiloran
