#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "media/FfmpegSupport.h"
#include "output/EncoderLoop.h"
#include "output/VideoEncoderSettings.h"

namespace tiloran {

// The H.264 encoder of the composed NV12 pictures: the encoder the
// configured codec names ("h264" stands for libx264), set up as
// chooseVideoEncoderSettings decides for it (VideoEncoderSettings.h), its
// time base the worker's.
//
// Threads: open on the main thread before the output thread starts; encode
// and setRate on the output thread alone from then on; context and name on
// any thread after open (neither changes).
class VideoEncoder
{
public:
	struct Format {
		int32_t width = 0;
		int32_t height = 0;
		AVRational frameRate{ 25, 1 };
		// The master's FFmpeg field order (AV_FIELD_*).
		int32_t fieldOrder = 0;
	};

	bool open(const std::string &codec, const Format &format, const VideoRate &rate, std::string &message);
	// One picture, its pts in the worker time base, or none to flush; each
	// packet goes to handle.
	bool encode(const AVFrame *picture, const PacketHandler &handle, std::string &message);
	// The rate from the next picture on, within the picture group: FFmpeg's
	// libx264 wrapper compares bit_rate, rc_max_rate and rc_buffer_size with
	// its own at every picture and reconfigures x264 where they differ. x264
	// takes a new average only with a ceiling and a buffer both before and
	// after; without them it keeps the average it was opened with.
	//
	// The wrapper hands x264 the ceiling and the buffer before the average,
	// so a ceiling below the average in force would be checked against the
	// old average ("max bitrate less than average bitrate"): a lower rate
	// takes its average with the next picture and its ceiling and buffer
	// with the one after.
	void setRate(const VideoRate &rate);

	const AVCodecContext &context() const { return *context_; }
	// The encoder's own name: "libx264", "h264_nvenc", ...
	const std::string &name() const { return name_; }

private:
	CodecContextHolder context_;
	std::string name_;
	// A lower ceiling and buffer that wait for the lower average to be in force.
	std::optional<VideoRate> pendingCeiling_;
};

} // namespace tiloran
