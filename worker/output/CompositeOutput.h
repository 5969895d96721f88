#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channel/ServerChannel.h"
#include "config/WorkerConfig.h"
#include "media/FfmpegSupport.h"
#include "output/sink/OutputSink.h"

namespace tiloran {

// Encodes the composed 2x2 NV12 pictures (H.264) and the master quadrant's
// audio (stereo AAC) and muxes both as one MPEG-TS stream, video as stream 0
// and audio as stream 1, every timestamp in 1/90000 s, into its sink: an SRT
// connection of its own for an "srt://" URI of the configuration (SrtSink),
// anything else FFmpeg opens by URL otherwise (UrlSink). When the sink
// connected to the receiver anew, the stream starts afresh for it: the
// muxer's tables at once and a key picture next.
//
// It is the composition of its stages, one per file: the pictures' pool
// (PicturePool.h) and the output thread with its queues (OutputThread.h),
// the H.264 encoder (VideoEncoder.h), the AAC framer and encoder
// (AacFramer.h, AacEncoder.h), the TS muxer (TsMuxer.h) and the sink
// (output/sink/), and the latency figures (OutputStatistics.h).
//
// Threads: the main thread calls init, the pushes and the destructor; init
// starts the output thread, which alone uses the encoders and the muxer from
// then on. The pictures come from a pool of four: takeVideoFrame hands one out
// for the caller to write and blocks while all four are in use, and the
// pushVideoFrame that takes it back hands it on without a copy (the copying
// pushVideoFrame takes one itself). A pooled picture whose buffer the encoder
// still holds gets a new buffer before it is handed out, so no picture the
// encoder holds is ever written. pushAudioFrame queues a copy and blocks while
// 64 frames wait. The output thread always takes queued audio
// before video. Once it has failed, every push returns its failure text. The
// destructor asks the output thread to stop, wakes every waiter and joins it:
// on an orderly stop everything queued is encoded, both encoders are flushed
// and the trailer is written; after a failure nothing more is written.
class CompositeOutput
{
public:
	CompositeOutput();
	// The sink's events (a lost or restored connection) go to channel; init
	// gives up connecting once abandon is set (a stop while the stream
	// starts). Both outlive the output.
	CompositeOutput(ServerChannel &channel, const std::atomic<bool> &abandon);
	~CompositeOutput();

	CompositeOutput(const CompositeOutput &) = delete;
	CompositeOutput &operator=(const CompositeOutput &) = delete;

	// Opens the encoders and the output and starts the output thread; called
	// once. The output picture is twice the tile size in both directions.
	bool init(const WorkerConfig &config, int32_t tileWidth, int32_t tileHeight, int32_t frameRateNumerator,
		  int32_t frameRateDenominator, int32_t sampleRate, int32_t fieldOrder, std::string &error);

	// A pooled NV12 picture of the output size, writable and the caller's
	// alone until it is pushed. One never pushed stays out of the pool: the
	// caller keeps it for its next picture, or drops it at the end of the run.
	bool takeVideoFrame(FrameHolder &picture, std::string &error);
	// A composed NV12 picture of the output size taken from takeVideoFrame;
	// its pts (1/90000 s) and interlacing marks go to the encoder unchanged.
	// arrival is when its master picture arrived from its input; the latency
	// runs from there to the picture's last byte handed to the output.
	bool pushVideoFrame(FrameHolder picture, std::chrono::steady_clock::time_point arrival, std::string &error);
	// The same for a picture of the caller's, which keeps the frame: it is
	// copied into a pooled one.
	bool pushVideoFrame(const AVFrame *frame, std::chrono::steady_clock::time_point arrival, std::string &error);
	// The same, for a picture that arrives now.
	bool pushVideoFrame(const AVFrame *frame, std::string &error);

	// A master audio frame: packed signed 16-bit samples, at least two
	// channels (only the first two are used), the master's sample rate. The
	// first one's pts starts the audio clock. The caller keeps the frame.
	bool pushAudioFrame(const AVFrame *frame, std::string &error);

	struct Statistics {
		// The H.264 encoder's own name.
		std::string encoder;
		int64_t picturesEncoded = 0;
		// Bytes of the stream handed to the output so far.
		int64_t bytesWritten = 0;
		// Latency of each picture handed to the output in the last 10 s.
		std::vector<double> latenciesMs;
		// Of each, its share from being given to the encoder on.
		std::vector<double> encodingMs;
		// For an SRT output.
		std::optional<SrtLinkStatistics> link;
		// Each further SRT destination's, in the order configured.
		std::vector<SrtLinkStatistics> outputs;
		// With adaptive bitrate: the video bitrate aimed at now and the
		// controller's state ("steady", "backing off", "probing"), or
		// "fixed" for an encoder that cannot take a new rate while it runs.
		struct Adaptive {
			int64_t targetBitsPerSecond = 0;
			std::string state;
		};
		std::optional<Adaptive> adaptive;
		// Over the whole run.
		int64_t latencyCount = 0;
		double latencySumMs = 0;
	};
	// Any thread, after init.
	Statistics statistics() const;
	// What the output's failure was, after init or a push failed: the SRT
	// link's (its call's, or SrtLost), EncoderUnavailable for a video
	// encoder that would not open, else OutputFailed. Main thread.
	EventCode failureCode() const;

private:
	struct State;
	std::unique_ptr<State> state_;
};

} // namespace tiloran
