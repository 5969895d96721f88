#pragma once

#include <cstdint>
#include <string>

#include "media/FfmpegSupport.h"
#include "output/sink/OutputSink.h"

namespace tiloran {

enum class MuxedStream { Video, Audio };
// What became of a packet given to the muxer.
enum class PacketFate { Written, Dropped, Failed };

// The output's MPEG-TS muxer: the video stream (0) and the audio stream (1),
// both timed in the worker time base, written through an I/O context of its
// own into a sink (OutputSink.h), up to seven TS packets at a time - what one
// SRT message carries - and flushed after every packet, so that nothing of a
// packet waits for the next one. Its video PES say their length where it fits
// (64 KiB), so that a receiver knows a picture is whole with its last packet.
// Every timestamp moves on by the AAC encoder's priming (1920 ticks at
// 48 kHz), so that none is negative whichever stream's packet comes first.
// The I/O context's write fails only where the sink says the stream cannot go
// on: after one failed write FFmpeg's I/O context stays in error for good, so
// a sink that rides out a lost link drops what it is given and succeeds.
//
// When the sink asks for a restart (a receiver connected anew, a recording's
// next file), restart makes the stream start afresh for it: the tables at
// once, and the next picture a key picture; for a receiver the video packets
// that an encoder still gives from before that key picture are dropped.
//
// Threads: open and start on the main thread before the output thread
// starts; everything else on the output thread alone.
class TsMuxer
{
public:
	TsMuxer() = default;
	// The I/O context refers to the muxer by address.
	TsMuxer(const TsMuxer &) = delete;
	TsMuxer &operator=(const TsMuxer &) = delete;

	// The muxer and its streams, carrying what these encoders (opened)
	// produce.
	bool open(const AVCodecContext &videoEncoder, const AVCodecContext &audioEncoder, std::string &message);
	// Writes the header into sink, which outlives the muxer; shownUri names
	// the output in messages.
	bool start(OutputSink &sink, const std::string &shownUri, std::string &message);

	// Writes one encoded packet of stream (its timestamps in timeBase) as it
	// comes, not interleaved, and empties it; pts is then its pts in the
	// stream's time base.
	PacketFate write(MuxedStream stream, AVPacket *packet, AVRational timeBase, int64_t &pts,
			 std::string &message);
	// Before picture goes to the encoder, once the sink asked for a restart.
	// dropEarlierPictures for a receiver connected anew, which could not
	// decode them; a recording's cut keeps every picture.
	void restart(AVFrame *picture, bool dropEarlierPictures);
	// The end of the stream, after both encoders were flushed.
	bool writeTrailer(std::string &message);

private:
	// The I/O context writes here; an error makes the muxer's write fail, the
	// sink's reason kept.
	static int writeToSink(void *opaque, AvioWriteBuffer bytes, int size);

	OutputSink *sink_ = nullptr;
	std::string sinkError_;
	// Declared before the muxer, which refers to it, so that it is freed after.
	CustomIoContextHolder io_;
	OutputFormatContextHolder muxer_;
	AVStream *videoStream_ = nullptr;
	AVStream *audioStream_ = nullptr;
	// After a restart for a receiver, until the encoder gives a key picture.
	bool awaitingKeyPicture_ = false;
};

} // namespace tiloran
