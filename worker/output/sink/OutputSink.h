#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/protocol/EventCode.h"

namespace tiloran {

// One receiver that called the SRT listener, as statistics show it.
struct SrtCallerStatistics {
	// 1 to the most callers, the lowest free one when it came in.
	int slot = 0;
	std::string address;
	std::string streamId;
	// Whether it waits for its first key picture.
	bool waiting = true;
	double connectedSeconds = 0;
	double rttMs = 0;
	double sendRateMbps = 0;
	double sendBufferMs = 0;
	int64_t packetsLost = 0;
	int64_t packetsDropped = 0;
};

// The SRT link's figures, as statistics show them.
struct SrtLinkStatistics {
	// "caller", or "listener" for receivers that call in (callers).
	std::string mode = "caller";
	// "connecting", "connected", "reconnecting" or "closed"; a listener's
	// "listening" or "closed".
	std::string state;
	// host:port of the receiver as connected to.
	std::string peer;
	// The last figures SRT gave; kept while the link is down.
	double rttMs = 0;
	double sendRateMbps = 0;
	double bandwidthMbps = 0;
	// Over every connection of the run.
	int64_t packetsSent = 0;
	int64_t packetsLost = 0;
	int64_t packetsRetransmitted = 0;
	int64_t packetsDropped = 0;
	// Bytes the receiver acknowledged, over every connection of the run.
	int64_t bytesDelivered = 0;
	double sendBufferMs = 0;
	// As both sides settled it; 0 before the first connection.
	int latencyMs = 0;
	int64_t reconnects = 0;
	// Totals of the run: times the link was lost, calls that failed.
	int64_t outages = 0;
	int64_t failedCalls = 0;
	// Calls that failed since the link was last up (or the run began), as
	// the console numbers them, and the last failure's code and reason (no
	// code for none): SrtRejected, SrtRejectedPassphrase, SrtHostUnresolved,
	// SrtPeerSilent, SrtFailed for a call, SrtLost for a link lost.
	int failedAttempts = 0;
	std::optional<EventCode> failureCode;
	std::string failureReason;
	// Of the connection in place; 0 while down.
	double connectedSeconds = 0;
	// A listener's receivers now, the most it serves, and its totals: calls
	// it let in and refused, receivers it dropped.
	std::vector<SrtCallerStatistics> callers;
	int maxCallers = 0;
	int64_t callersJoined = 0;
	int64_t callersRefused = 0;
	int64_t callersDropped = 0;
};

// Where the output's MPEG-TS bytes go: an SRT link, or a file or pipe that
// FFmpeg opens by URL, a recording; several at once through a fan-out
// (SinkFanOut.h). The output's muxer writes through it in packets of up to
// seven TS packets, always whole TS packets.
//
// Threading: open() on the main thread before the output thread starts;
// write(), beforePicture(), restartPending(), beginRestart() and close() on the output thread (close() also from
// the owner's destruction once that thread has ended); statistics() and
// bytesSent() from any thread.
class OutputSink
{
public:
	virtual ~OutputSink() = default;

	// False with the reason (an error text) when the stream cannot begin.
	virtual bool open(std::string &message) = 0;
	// False with the reason when the stream cannot go on.
	virtual bool write(const uint8_t *bytes, std::size_t size, std::string &message) = 0;
	// Before each picture goes to the encoder, with its pts (1/90000 s): a
	// sink that cuts its stream by time asks for a restart from here.
	virtual void beforePicture(int64_t /*pts*/) {}
	// Whether the stream is to begin afresh for this sink: a receiver
	// connected anew, a recording's next file. What is written until
	// beginRestart() still belongs to before (a receiver's sink drops it), so
	// that the writer can first get rid of what it holds.
	virtual bool restartPending() const { return false; }
	// Sending starts with the next write, which must begin the stream afresh
	// (tables, then a key picture).
	virtual void beginRestart() {}
	// The end of the stream: what was written reaches the receiver as far as
	// the link allows, then the connection is closed.
	virtual void close() = 0;

	// The stream's rate from now on, so that the link paces itself to it;
	// nothing for a sink without pacing of its own. Output thread.
	virtual void followRate(int64_t /*bitsPerSecond*/) {}

	virtual int64_t bytesSent() const = 0;
	virtual std::optional<SrtLinkStatistics> linkStatistics() const { return std::nullopt; }
};

} // namespace tiloran
