#include "output/AacFramer.h"

#include <cstddef>

#include "media/WorkerTime.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/samplefmt.h>
}

namespace tiloran {

namespace {

// 1/32768, not 1/32767: -32768 maps to -1.0 exactly.
constexpr float sampleScale = 1.0f / 32768.0f;

} // namespace

AacFramer::AacFramer(const AVCodecContext &encoder) : encoder_(encoder)
{
}

bool AacFramer::add(const AVFrame *audio, const FrameHandler &encode, std::string &message)
{
	const int channels = audio->ch_layout.nb_channels;
	// Only packed 16-bit samples are read below; any other layout would be misread.
	if (channels < 2 || !audio->data[0] || audio->format != AV_SAMPLE_FMT_S16) {
		message = "Master audio frame must contain at least two packed channels";
		return false;
	}
	if (audio->sample_rate != encoder_.sample_rate) {
		message = "Master audio sample rate does not match AAC encoder";
		return false;
	}

	if (!clockStarted_) {
		nextPts_ = audio->pts != AV_NOPTS_VALUE ? audio->pts : 0;
		clockStarted_ = true;
	}

	const int16_t *samples = reinterpret_cast<const int16_t *>(audio->data[0]);
	pendingSamples_.reserve(pendingSamples_.size() + 2 * static_cast<size_t>(audio->nb_samples));
	for (int index = 0; index < audio->nb_samples; ++index) {
		const int16_t *sampleFrame = samples + static_cast<size_t>(index) * channels;
		pendingSamples_.push_back(sampleFrame[0]);
		pendingSamples_.push_back(sampleFrame[1]);
	}
	return framePending(encode, message);
}

bool AacFramer::framePending(const FrameHandler &encode, std::string &message)
{
	const int frameSize = encoder_.frame_size;
	const size_t valuesPerFrame = 2 * static_cast<size_t>(frameSize);
	size_t consumed = 0;
	bool done = true;

	while (pendingSamples_.size() - consumed >= valuesPerFrame) {
		FrameHolder frame = allocateFrame();
		if (!frame) {
			message = "Failed to allocate AAC input frame";
			done = false;
			break;
		}
		frame->format = encoder_.sample_fmt;
		frame->sample_rate = encoder_.sample_rate;
		frame->nb_samples = frameSize;
		frame->pts = nextPts_;
		if (av_channel_layout_copy(&frame->ch_layout, &encoder_.ch_layout) < 0) {
			message = "Failed to copy AAC channel layout";
			done = false;
			break;
		}
		int result = av_frame_get_buffer(frame.get(), 0);
		if (result < 0) {
			message = "Failed to allocate AAC input frame buffer: " + ffmpegErrorText(result);
			done = false;
			break;
		}
		result = av_frame_make_writable(frame.get());
		if (result < 0) {
			message = "Failed to make AAC input frame writable: " + ffmpegErrorText(result);
			done = false;
			break;
		}

		float *left = reinterpret_cast<float *>(frame->data[0]);
		float *right = reinterpret_cast<float *>(frame->data[1]);
		const int16_t *source = pendingSamples_.data() + consumed;
		for (int index = 0; index < frameSize; ++index) {
			left[index] = source[2 * index] * sampleScale;
			right[index] = source[2 * index + 1] * sampleScale;
		}

		if (!encode(frame.get(), message)) {
			done = false;
			break;
		}
		consumed += valuesPerFrame;
		nextPts_ += av_rescale_q(frameSize, AVRational{ 1, encoder_.sample_rate }, kWorkerTimeBase);
	}

	pendingSamples_.erase(pendingSamples_.begin(), pendingSamples_.begin() + static_cast<ptrdiff_t>(consumed));
	return done;
}

} // namespace tiloran
