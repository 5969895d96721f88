#pragma once

#include <memory>
#include <string>
#include <vector>

#include "output/sink/OutputSink.h"

namespace tiloran {

// The muxer's one sink that hands the same bytes to several: the stream's own
// sink, whose failure ends the stream, and sinks beside it (a recording),
// each of whose failure is its own: a side sink that fails is closed and gets
// nothing more, and the stream goes on. Each sink restarts on its own: the
// muxer's restart (tables, then a key picture) begins anew the sinks that
// asked for it, and the others take it as part of their stream. Statistics,
// pacing and the link's figures are the stream sink's.
//
// Threading: as OutputSink. Its sinks come opened; add() before the output
// thread starts.
class SinkFanOut final : public OutputSink
{
public:
	explicit SinkFanOut(std::unique_ptr<OutputSink> stream);

	void add(std::unique_ptr<OutputSink> side);

	bool open(std::string &message) override;
	bool write(const uint8_t *bytes, std::size_t size, std::string &message) override;
	void beforePicture(int64_t pts) override;
	bool restartPending() const override;
	// Whether the stream sink is among those that asked: what it is given
	// from the restart on must not hold pictures from before the key picture.
	bool streamRestartPending() const { return stream_->restartPending(); }
	void beginRestart() override;
	void close() override;
	void followRate(int64_t bitsPerSecond) override { stream_->followRate(bitsPerSecond); }
	int64_t bytesSent() const override { return stream_->bytesSent(); }
	std::optional<SrtLinkStatistics> linkStatistics() const override { return stream_->linkStatistics(); }

private:
	struct Side {
		std::unique_ptr<OutputSink> sink;
		bool failed = false;
	};

	std::unique_ptr<OutputSink> stream_;
	std::vector<Side> sides_;
};

} // namespace tiloran
