#include "CompositeOutputTestSupport.h"

#include <cmath>

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace tiloran::test {

WorkerConfig outputConfig(const std::string &uri, const std::string &codec)
{
	WorkerConfig config;
	config.codec = codec;
	config.video_bitrate = 1'000'000;
	config.audio_bitrate = 128'000;
	config.srt_uri = uri;
	return config;
}

FrameHolder makePicture(int width, int height, int64_t pts, int index)
{
	FrameHolder frame = allocateFrame();
	frame->format = AV_PIX_FMT_NV12;
	frame->width = width;
	frame->height = height;
	if (av_frame_get_buffer(frame.get(), 32) < 0)
		return nullptr;
	for (int y = 0; y < height; ++y) {
		uint8_t *row = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
		for (int x = 0; x < width; ++x)
			row[x] = static_cast<uint8_t>(x + y + 4 * index);
	}
	for (int y = 0; y < height / 2; ++y) {
		uint8_t *row = frame->data[1] + static_cast<ptrdiff_t>(y) * frame->linesize[1];
		for (int x = 0; x < width; ++x)
			row[x] = static_cast<uint8_t>(128 + ((x / 2 + index) % 32));
	}
	frame->pts = pts;
	return frame;
}

FrameHolder makeAudio(int channels, int samples, int sampleRate, int64_t pts, AVSampleFormat format)
{
	FrameHolder frame = allocateFrame();
	frame->format = format;
	frame->sample_rate = sampleRate;
	frame->nb_samples = samples;
	av_channel_layout_default(&frame->ch_layout, channels);
	if (av_frame_get_buffer(frame.get(), 0) < 0)
		return nullptr;
	if (format == AV_SAMPLE_FMT_S16) {
		int16_t *data = reinterpret_cast<int16_t *>(frame->data[0]);
		for (int sample = 0; sample < samples; ++sample) {
			for (int channel = 0; channel < channels; ++channel) {
				const double phase = 2.0 * M_PI * (440.0 * (channel + 1)) * sample / sampleRate;
				data[sample * channels + channel] = static_cast<int16_t>(8000.0 * std::sin(phase));
			}
		}
	} else {
		av_samples_set_silence(frame->extended_data, 0, samples, channels, format);
	}
	frame->pts = pts;
	return frame;
}

FrameHolder makeNoise(int samples, int sampleRate, int64_t pts)
{
	FrameHolder frame = makeAudio(2, samples, sampleRate, pts);
	int16_t *data = reinterpret_cast<int16_t *>(frame->data[0]);
	uint32_t state = 12345;
	for (int index = 0; index < 2 * samples; ++index) {
		state = state * 1664525u + 1013904223u;
		data[index] = static_cast<int16_t>(state >> 16);
	}
	return frame;
}

std::vector<int64_t> ProbedMedia::ptsOf(int streamIndex) const
{
	std::vector<int64_t> result;
	for (const ProbedPacket &packet : packets) {
		if (packet.streamIndex == streamIndex)
			result.push_back(packet.pts);
	}
	return result;
}

ProbedMedia probeMedia(const std::string &path)
{
	ProbedMedia media;
	AVFormatContext *opened = nullptr;
	int result = avformat_open_input(&opened, path.c_str(), nullptr, nullptr);
	if (result < 0) {
		media.error = "open: " + ffmpegErrorText(result);
		return media;
	}
	InputFormatContextHolder input(opened);
	result = avformat_find_stream_info(input.get(), nullptr);
	if (result < 0) {
		media.error = "stream info: " + ffmpegErrorText(result);
		return media;
	}
	for (unsigned index = 0; index < input->nb_streams; ++index) {
		const AVCodecParameters *parameters = input->streams[index]->codecpar;
		ProbedStream stream;
		stream.type = parameters->codec_type;
		stream.codec = parameters->codec_id;
		stream.width = parameters->width;
		stream.height = parameters->height;
		stream.channels = parameters->ch_layout.nb_channels;
		stream.sampleRate = parameters->sample_rate;
		stream.fieldOrder = parameters->field_order;
		media.streams.push_back(stream);
	}
	PacketHolder packet = allocatePacket();
	while (av_read_frame(input.get(), packet.get()) >= 0) {
		media.packets.push_back({ packet->stream_index, packet->pts, (packet->flags & AV_PKT_FLAG_KEY) != 0,
					  std::string(reinterpret_cast<const char *>(packet->data),
						      static_cast<size_t>(packet->size)) });
		av_packet_unref(packet.get());
	}
	return media;
}

} // namespace tiloran::test
