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
// asked for it, and the others take it as part of their stream. Statistics
// and the link's figures are the stream sink's; the pace is every sink's
// that has one (further SRT destinations).
//
// Threading: as OutputSink. Its sinks come opened; add() before the output
// thread starts. close() closes the side sinks on threads of its own, joined
// before it returns.
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
	void followRate(int64_t bitsPerSecond) override;
	int64_t bytesSent() const override { return stream_->bytesSent(); }
	std::optional<SrtLinkStatistics> linkStatistics() const override { return stream_->linkStatistics(); }
	// The links of the side sinks that have one, in the order added (a
	// failed one shows as closed). Any thread.
	std::vector<SrtLinkStatistics> sideLinkStatistics() const;

private:
	struct Side {
		std::unique_ptr<OutputSink> sink;
		bool failed = false;
	};

	std::unique_ptr<OutputSink> stream_;
	std::vector<Side> sides_;
};

} // namespace tiloran
