#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tiloran {

// What the H.264 encoder aims at: the average and, where above 0, the ceiling
// and the size of the buffer the ceiling is kept over (0 leaves the encoder
// unbounded).
struct VideoRate {
	int64_t bitsPerSecond = 0;
	int64_t maxBitsPerSecond = 0;
	int64_t bufferBits = 0;
	bool operator==(const VideoRate &) const = default;
};

// The rate the output gives its encoder for an average of bitsPerSecond: the
// ceiling the average itself, over a buffer of three quarters of the SRT
// latency's worth of it (srtLatencyMs; none for an output that is not SRT),
// at most one second and at least two pictures at the given frame rate.
VideoRate boundedVideoRate(int64_t bitsPerSecond, std::optional<int> srtLatencyMs, int32_t frameRateNumerator,
			   int32_t frameRateDenominator);

// One private option of the H.264 encoder: a string or an integer value.
struct VideoEncoderOption {
	std::string name;
	std::variant<std::string, int64_t> value;
};

// Everything the output decides about its H.264 encoder before opening it:
// scan, GOP, private options and the lines it logs. Kept free of FFmpeg
// objects so that the choice can be checked for encoders this machine lacks.
struct VideoEncoderSettings {
	bool nvenc = false;
	bool qsv = false;
	bool interlaced = false;
	// FFmpeg field order given to the encoder (1 = progressive).
	int32_t fieldOrder = 1;
	int32_t gopSize = 1;
	// In the order in which they are set on the encoder.
	std::vector<VideoEncoderOption> options;
	// Console lines, each with its "[CompositeOutput] " tag.
	std::vector<std::string> logLines;
};

// The encoder to look up for the configured codec: "h264" stands for libx264,
// any other name is used unchanged.
std::string videoEncoderLookupName(const std::string &codec);

// The settings for the encoder found under encoderName (its own name), an
// output of outputWidth x outputHeight, the master's frame rate and its
// FFmpeg field order (0 unknown, 1 progressive, 2 to 5 interlaced orders).
VideoEncoderSettings chooseVideoEncoderSettings(const std::string &encoderName, int32_t outputWidth,
						int32_t outputHeight, int32_t frameRateNumerator,
						int32_t frameRateDenominator, int32_t fieldOrder);

} // namespace tiloran
