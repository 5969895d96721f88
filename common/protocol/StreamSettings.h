#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

namespace tiloran {

// The stream settings the server and its worker agree on: the SRT target
// with SRT's own limits, and the video bitrate with its two units. The
// server checks a start request with them, the worker its configuration
// document, and the control page gets the limits through GET /api/config.
// The JSON keys that carry the values are each program's own.

// A host name of at most 253 characters; with a colon, a port of five digits
// and room for an IPv6 address's brackets, a target of at most 261.
inline constexpr std::size_t kSrtHostNameMaxLength = 253;
inline constexpr std::size_t kSrtHostPortMaxLength = 261;
inline constexpr int kSrtPortMin = 1;
inline constexpr int kSrtPortMax = 65535;
// SRT carries the latency in 16 bits of its handshake: anything above would
// reach the receiver wrapped.
inline constexpr std::int32_t kSrtLatencyMaxMs = 65535;
// SRT's own limit for the stream id.
inline constexpr std::size_t kSrtStreamIdMaxBytes = 512;
// An empty passphrase is an unencrypted stream.
inline constexpr std::size_t kSrtPassphraseMinLength = 10;
inline constexpr std::size_t kSrtPassphraseMaxLength = 79;
// As SRT listener: the receivers served at once (4 unless given), and the
// longest list of stream ids they may call with.
inline constexpr int kSrtMaxCallersLimit = 16;
inline constexpr int kSrtDefaultMaxCallers = 4;
inline constexpr std::size_t kSrtAllowedStreamIdsMax = 16;

// What is wrong with an SRT target, in the order it is checked.
enum class SrtTargetProblem {
	None,
	// More than kSrtHostPortMaxLength characters.
	TooLong,
	// A host name (not in brackets) of more than kSrtHostNameMaxLength.
	HostNameTooLong,
	// Not a host name, an IPv4 address or a bracketed IPv6 address, a colon
	// and a port from kSrtPortMin to kSrtPortMax.
	NotHostAndPort,
};

struct SrtTarget {
	// An IPv6 address without its brackets.
	std::string host;
	int port = 0;
};

// "host:port" as the SRT caller connects to it. Nothing else may pass, since
// the target goes into an SRT URI whose parameters follow the port. Fills
// target only when there is no problem.
SrtTargetProblem checkSrtTarget(const std::string &hostPort, SrtTarget &target);

// The video bitrate is one whole number in either of two units: from 1 to
// 999 it is Mbit/s, otherwise bit/s, up to what a 32-bit field holds. Between
// the two lies no usable rate: 4000 meant as kbit/s would go out at 4 kbit/s.
inline constexpr std::int64_t kVideoBitrateMinMbps = 1;
inline constexpr std::int64_t kVideoBitrateMaxMbps = 999;
inline constexpr std::int64_t kVideoBitrateMinBitsPerSecond = 100000;
inline constexpr std::int64_t kVideoBitrateMaxBitsPerSecond = std::numeric_limits<std::int32_t>::max();

// Whether a video bitrate lies within one of the two units' ranges.
bool isUsableVideoBitrate(std::int64_t videoBitrate);

// A video bitrate in bit/s, read in its unit.
std::int64_t videoBitrateBitsPerSecond(std::int64_t videoBitrate);

// The two ranges in words: "from 1 to 999 (Mbit/s) or from 100000 to
// 2147483647 (bit/s)".
std::string videoBitrateRangeText();

} // namespace tiloran
