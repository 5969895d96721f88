#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tiloran {

// What the SRT caller connects with: the worker document's "srt" object gives
// it as the request had it, so a stream id or passphrase holding '&', '=' or
// '#' arrives byte for byte; a document with only the URI gives it through
// the URI's parameters (the first of each name counts).
struct SrtSettings {
	std::string host;
	int port = 0;
	std::string streamId;
	std::string passphrase;
	// Milliseconds, SRT's own unit.
	int latencyMs = 120;
	// Lost or refused connections are tried again instead of ending the run.
	bool reconnect = false;
	// As listener, host and port are the address bound; receivers call in,
	// at most maxCallers at once, and only with one of allowedStreamIds
	// when there are any.
	bool listener = false;
	int maxCallers = 4;
	std::vector<std::string> allowedStreamIds;
};

// host:port as messages show it: an IPv6 address in its brackets, control
// characters escaped.
std::string shownHostPort(const SrtSettings &settings);

// Whether the URI is one the SRT caller handles ("srt://").
bool isSrtUri(const std::string &uri);

// From "srt://host:port?mode=caller&streamid=...&latency=...&passphrase=...".
// The target is checked as the server checks a start request's
// (common/protocol/StreamSettings.h).
bool srtSettingsFromUri(const std::string &uri, SrtSettings &settings, std::string &message);

// From the document's "srt" object ("host_port", "streamid", "passphrase",
// "latency"), "srt_reconnect" and the listener's "srt_mode",
// "srt_max_callers" and "srt_allowed_stream_ids" (no "srt_mode": the
// caller); the URI stands in where the object is missing; the target checked
// as from the URI, the listener's keys as the server checks them. Wrong JSON
// types raise the library's type error.
bool srtSettingsFromDocument(const nlohmann::json &document, const std::string &uri, SrtSettings &settings,
			     std::string &message);

} // namespace tiloran
