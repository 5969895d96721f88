#include "report/AudioLevelMeter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

extern "C" {
#include <libavutil/frame.h>
}

namespace tiloran {

namespace {

double toDbfs(double level)
{
	return level > 0 ? std::max(AudioLevelMeter::floorDbfs, 20.0 * std::log10(level / 32768.0))
			 : AudioLevelMeter::floorDbfs;
}

} // namespace

void AudioLevelMeter::add(const AVFrame *frame)
{
	const int frameChannels = frame->ch_layout.nb_channels;
	if (frameChannels < channels || frame->data[0] == nullptr)
		return;
	const int16_t *samples = reinterpret_cast<const int16_t *>(frame->data[0]);
	std::array<int32_t, channels> peak{};
	std::array<double, channels> sumOfSquares{};
	for (int index = 0; index < frame->nb_samples; ++index) {
		for (int channel = 0; channel < channels; ++channel) {
			const int32_t sample = samples[index * frameChannels + channel];
			peak[channel] = std::max(peak[channel], std::abs(sample));
			sumOfSquares[channel] += double(sample) * sample;
		}
	}
	std::lock_guard lock(mutex_);
	for (int channel = 0; channel < channels; ++channel) {
		peak_[channel] = std::max(peak_[channel], peak[channel]);
		sumOfSquares_[channel] += sumOfSquares[channel];
	}
	samples_ += frame->nb_samples;
}

AudioLevelMeter::Levels AudioLevelMeter::take()
{
	std::lock_guard lock(mutex_);
	Levels levels;
	levels.measured = samples_ > 0;
	for (int channel = 0; channel < channels; ++channel) {
		levels.peakDbfs[channel] = toDbfs(peak_[channel]);
		levels.rmsDbfs[channel] =
			toDbfs(samples_ > 0 ? std::sqrt(sumOfSquares_[channel] / double(samples_)) : 0.0);
	}
	peak_.fill(0);
	sumOfSquares_.fill(0);
	samples_ = 0;
	return levels;
}

} // namespace tiloran
