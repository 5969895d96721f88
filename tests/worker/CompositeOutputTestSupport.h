#pragma once

// Synthetic pictures and audio for the composite output, and what libavformat
// reads back from a stream it wrote.

#include <cstdint>
#include <string>
#include <vector>

#include "media/FfmpegSupport.h"
#include "output/CompositeOutput.h"

namespace tiloran::test {

// The tile size and first picture time the output tests feed.
constexpr int tileWidth = 320;
constexpr int tileHeight = 180;
constexpr int64_t startPts = 900000;

WorkerConfig outputConfig(const std::string &uri, const std::string &codec = "h264");

// An NV12 picture whose content moves with index.
FrameHolder makePicture(int width, int height, int64_t pts, int index);

// Packed signed 16-bit audio (a tone per channel), or another sample format.
FrameHolder makeAudio(int channels, int samples, int sampleRate, int64_t pts,
		      AVSampleFormat format = AV_SAMPLE_FMT_S16);

// Packed signed 16-bit stereo noise: what AAC cannot compress below its bitrate.
FrameHolder makeNoise(int samples, int sampleRate, int64_t pts);

struct ProbedPacket {
	int streamIndex;
	int64_t pts;
	bool key;
	std::string data;
};

struct ProbedStream {
	AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
	AVCodecID codec = AV_CODEC_ID_NONE;
	int width = 0;
	int height = 0;
	int channels = 0;
	int sampleRate = 0;
	AVFieldOrder fieldOrder = AV_FIELD_UNKNOWN;
};

struct ProbedMedia {
	std::string error;
	std::vector<ProbedStream> streams;
	std::vector<ProbedPacket> packets;

	std::vector<int64_t> ptsOf(int streamIndex) const;
};

// Reads a stream file (MPEG-TS) with libavformat.
ProbedMedia probeMedia(const std::string &path);

} // namespace tiloran::test
