#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/AudioChannels.h"
#include "config/SrtSettings.h"

namespace tiloran {

// One quadrant of the 2x2 picture; its slot in the picture is id - 1
// (0 top left, 1 top right, 2 bottom left, 3 bottom right).
struct QuadrantConfig {
	int32_t id = 0;
	std::string name;
	std::string source_id;
	// The name of the capture device: what the capture opens.
	std::string source_name;
	bool empty = true;
};

// Two of the master input's embedded audio channels, numbered from 1, that
// become the stream's left and right channel.
struct AudioChannelPair {
	int32_t left = 1;
	int32_t right = 2;

	// The fewest channels a card gives that hold both: 2, 8 or 16.
	int32_t channelsNeeded() const
	{
		const int32_t highest = left > right ? left : right;
		return highest <= 2 ? 2 : highest <= 8 ? 8 : 16;
	}
	bool operator==(const AudioChannelPair &) const = default;
};

// The worker's whole configuration, built once from the document that the
// server hands out and read-only afterwards.
struct WorkerConfig {
	// Element i describes quadrant i + 1.
	std::array<QuadrantConfig, 4> quadrants;
	std::string codec;
	int64_t video_bitrate = 0;
	// The video bitrate follows the link between min_video_bitrate and
	// video_bitrate (both bit/s); off, it stays at video_bitrate.
	bool adaptive_bitrate = false;
	int64_t min_video_bitrate = 0;
	int64_t audio_bitrate = 0;
	// The master's channels that go out as the stream's stereo.
	AudioChannelPair audio_channels;
	std::string srt_uri;
	// The caller's settings for an "srt://" URI; unset (port 0) otherwise,
	// or when only the URI was given.
	SrtSettings srt;
	// Further SRT destinations of the same stream, each a caller of its own.
	std::vector<SrtSettings> outputs;
	// Directory of the preview picture; empty disables the preview.
	std::string preview_path;
	// The stream recorded into recordings_path as well, in files named by
	// their start time and record_name, each at most record_segment_minutes.
	bool record = false;
	std::string recordings_path;
	std::string record_name;
	double record_segment_minutes = 60;
	int32_t real_source_count = 0;
	// Slot of the master quadrant, whose source paces the output and gives
	// it frame rate, field order and audio; -1 until one is found.
	int32_t master_index = -1;
};

} // namespace tiloran
