#include "config/SrtSettings.h"

#include <charconv>
#include <string_view>
#include <utility>

#include "common/PrintableText.h"
#include "common/protocol/StreamSettings.h"

namespace tiloran {

namespace {

constexpr std::string_view scheme = "srt://";

bool parseNumber(std::string_view text, int &value)
{
	const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
	return error == std::errc() && end == text.data() + text.size();
}

// The host and port of a target that passes the server's check.
bool readSrtTarget(const std::string &hostPort, SrtSettings &settings)
{
	SrtTarget target;
	if (checkSrtTarget(hostPort, target) != SrtTargetProblem::None)
		return false;
	settings.host = std::move(target.host);
	settings.port = target.port;
	return true;
}

bool hasControlCharacter(const std::string &text)
{
	for (const char byte : text)
		if (static_cast<unsigned char>(byte) < 0x20 || byte == 0x7F)
			return true;
	return false;
}

bool readListenerKeys(const nlohmann::json &document, SrtSettings &settings, std::string &message)
{
	const std::string mode = document.value("srt_mode", std::string("caller"));
	if (mode != "caller" && mode != "listener") {
		message = "srt_mode must be caller or listener";
		return false;
	}
	settings.listener = mode == "listener";
	if (!settings.listener)
		return true;
	settings.maxCallers = document.value("srt_max_callers", kSrtDefaultMaxCallers);
	if (settings.maxCallers < 1 || settings.maxCallers > kSrtMaxCallersLimit) {
		message = "srt_max_callers must be from 1 to " + std::to_string(kSrtMaxCallersLimit);
		return false;
	}
	settings.allowedStreamIds = document.value("srt_allowed_stream_ids", std::vector<std::string>());
	for (const std::string &id : settings.allowedStreamIds) {
		if (id.empty() || id.size() > kSrtStreamIdMaxBytes || hasControlCharacter(id)) {
			message = "srt_allowed_stream_ids must hold stream ids of 1 to " + std::to_string(kSrtStreamIdMaxBytes) +
				  " bytes without control characters";
			return false;
		}
	}
	if (settings.allowedStreamIds.size() > kSrtAllowedStreamIdsMax) {
		message = "srt_allowed_stream_ids must have at most " + std::to_string(kSrtAllowedStreamIdsMax) + " entries";
		return false;
	}
	return true;
}

} // namespace

std::string shownHostPort(const SrtSettings &settings)
{
	return printableText(settings.host.find(':') != std::string::npos ? "[" + settings.host + "]" : settings.host) +
	       ":" + std::to_string(settings.port);
}

bool isSrtUri(const std::string &uri)
{
	return uri.rfind(scheme, 0) == 0;
}

bool srtSettingsFromUri(const std::string &uri, SrtSettings &settings, std::string &message)
{
	const std::size_t query = uri.find('?');
	const std::string hostPort = uri.substr(scheme.size(), query == std::string::npos ? std::string::npos
											       : query - scheme.size());
	if (!isSrtUri(uri) || !readSrtTarget(hostPort, settings)) {
		message = "SRT URI has no host and port";
		return false;
	}
	if (query == std::string::npos)
		return true;

	bool seenStreamId = false;
	bool seenLatency = false;
	bool seenPassphrase = false;
	std::size_t start = query + 1;
	while (start <= uri.size()) {
		std::size_t end = uri.find('&', start);
		if (end == std::string::npos)
			end = uri.size();
		const std::string_view parameter = std::string_view(uri).substr(start, end - start);
		const std::size_t equals = parameter.find('=');
		const std::string_view name = parameter.substr(0, equals);
		const std::string_view value = equals == std::string_view::npos ? std::string_view() : parameter.substr(equals + 1);
		if (name == "streamid" && !seenStreamId) {
			settings.streamId = value;
			seenStreamId = true;
		} else if (name == "latency" && !seenLatency) {
			if (!parseNumber(value, settings.latencyMs) || settings.latencyMs < 0) {
				message = "SRT URI has an invalid latency";
				return false;
			}
			seenLatency = true;
		} else if (name == "passphrase" && !seenPassphrase) {
			settings.passphrase = value;
			seenPassphrase = true;
		}
		start = end + 1;
	}
	return true;
}

bool srtSettingsFromDocument(const nlohmann::json &document, const std::string &uri, SrtSettings &settings,
			     std::string &message)
{
	settings.reconnect = document.value("srt_reconnect", false);
	if (!readListenerKeys(document, settings, message))
		return false;
	const auto srt = document.find("srt");
	if (srt == document.end() || !srt->is_object())
		return srtSettingsFromUri(uri, settings, message);

	if (!readSrtTarget(srt->value("host_port", std::string()), settings)) {
		message = "srt.host_port must be host:port";
		return false;
	}
	settings.streamId = srt->value("streamid", std::string());
	settings.passphrase = srt->value("passphrase", std::string());
	settings.latencyMs = srt->value("latency", 120);
	if (settings.latencyMs < 0) {
		message = "srt.latency must be greater than or equal to zero";
		return false;
	}
	return true;
}

} // namespace tiloran
