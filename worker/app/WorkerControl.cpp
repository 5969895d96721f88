#include "app/WorkerControl.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include <httplib.h>

#include "app/FfmpegLog.h"
#include "app/StopDeadline.h"
#include "channel/InheritedServerChannel.h"
#include "common/ConsoleLine.h"
#include "common/PrintableText.h"
#include "common/Redaction.h"
#include "common/WorkerKey.h"
#include "common/platform/ShutdownSignals.h"
#include "config/WorkerConfigDocument.h"
#include "pipeline/Streamer.h"

namespace tiloran {

namespace {

constexpr std::string_view configurationPath = "/api/worker/config";
// What an orderly stop takes at most with nobody to end the worker: the
// output's last pictures and the SRT link's close take about a second.
constexpr std::chrono::seconds unsupervisedStopLimit{ 5 };

// The SRT passphrase of a document: its "srt" object's, or else the last
// parameter of its URI, where the server puts it.
std::string srtPassphraseOf(const nlohmann::json &document)
{
	const auto srt = document.find("srt");
	if (srt != document.end() && srt->is_object()) {
		const auto passphrase = srt->find("passphrase");
		if (passphrase != srt->end() && passphrase->is_string() && !passphrase->get_ref<const std::string &>().empty())
			return passphrase->get<std::string>();
	}
	const auto uri = document.find("srt_uri");
	if (uri == document.end() || !uri->is_string())
		return {};
	const std::string &text = uri->get_ref<const std::string &>();
	const std::string redacted = redactSrtUri(text);
	// What redaction hid, if anything.
	return redacted == text ? std::string() : text.substr(redacted.size() - redactedSecret.size());
}

// The JSON library's parse error for body. It quotes what it read last: a
// string there may be the passphrase, or a URI holding it, and is hidden.
std::string parseErrorText(const nlohmann::json::exception &error, const std::string &body)
{
	std::string text = error.what();
	constexpr std::string_view quoted = "; last read: '\"";
	const std::size_t start = text.find(quoted);
	if (start == std::string::npos || body.find("passphrase") == std::string::npos)
		return text;
	const std::size_t begin = start + quoted.size() - 1;
	std::size_t end = text.find("'; expected", begin);
	if (end == std::string::npos)
		end = std::max(text.rfind('\''), begin);
	return text.replace(begin, end - begin, redactedSecret);
}

// The channel the server handed this worker, or none when it was started
// otherwise. A stop request, or the server's end closing, ends the stream in
// order; once the server is gone, within the deadline.
std::unique_ptr<ServerChannel> openServerChannel(Streamer &streamer, StopDeadline &deadline)
{
	platform::ChannelStream stream;
	std::string problem;
	if (!platform::ChannelStream::fromEnvironment(stream, problem))
		printErrorLine("[Worker] Ignoring the server's channel: " + problem);
	if (!stream)
		return std::make_unique<NoServerChannel>();
	const auto stop = [&streamer] { streamer.requestStop(); };
	const auto lost = [&streamer, &deadline] {
		streamer.requestStop();
		deadline.arm();
	};
	return std::make_unique<InheritedServerChannel>(std::move(stream), stop, lost);
}

} // namespace

int runWorker(int port)
{
	printLine("[Worker] Starting");
	printLine("[Worker] Encoder endpoint: http://127.0.0.1:" + std::to_string(port) +
		  std::string(configurationPath));

	// Declared before the signals and the channel, whose threads may stop it.
	Streamer streamer;
	StopDeadline deadline(unsupervisedStopLimit);
	// Before any other thread starts. The signals come from the console or
	// a service manager, and SIGTERM also when the server dies (the
	// parent-death signal its launcher asks for).
	const platform::ShutdownSignals signals([&streamer, &deadline](int signal) {
		printLine("[Worker] Received signal " + std::to_string(signal) + ", stopping");
		streamer.requestStop();
		deadline.arm();
	});
	const std::unique_ptr<ServerChannel> channel = openServerChannel(streamer, deadline);
	// What the worker prints as its failure, the server keeps as the reason.
	const auto fail = [&channel](EventCode code, const std::string &prefix, const std::string &reason) {
		channel->sendFailure(code, reason);
		printErrorLine(prefix + printableText(reason));
		return 1;
	};

	nlohmann::json document;
	{
		httplib::Client client("127.0.0.1", port);
		client.set_connection_timeout(5, 0);
		client.set_read_timeout(10, 0);
		client.set_write_timeout(10, 0);

		// The key the server gave this worker, without which the server
		// hides the document's secrets.
		httplib::Headers headers;
		if (const char *key = std::getenv(workerKeyVariable))
			headers.emplace(workerKeyHeader, key);
		const httplib::Result result = client.Get(std::string(configurationPath), headers);
		if (!result)
			return fail(EventCode::WorkerConfigUnavailable, "[Worker] ", "Failed to connect to Encoder");
		if (result->status < 200 || result->status > 299)
			return fail(EventCode::WorkerConfigUnavailable, "[Worker] ", "Encoder returned HTTP " + std::to_string(result->status) + ": " + result->body);

		try {
			document = nlohmann::json::parse(result->body);
		} catch (const nlohmann::json::exception &error) {
			return fail(EventCode::WorkerConfigInvalid, "[Worker] ", "Failed to parse worker config JSON: " + parseErrorText(error, result->body));
		}
	}

	std::string message;
	if (!validateWorkerConfig(document, message))
		return fail(EventCode::WorkerConfigInvalid, "[Worker] Invalid worker config: ", message);

	routeFfmpegLog(srtPassphraseOf(document));

	printLine("[Worker] Worker config loaded successfully");
	nlohmann::json shown = document;
	hideSrtPassphrase(shown);
	// JSON escapes control characters; each line of it is a line of its own.
	const std::string text = shown.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
	for (std::size_t begin = 0; begin <= text.size();) {
		const std::size_t end = std::min(text.find('\n', begin), text.size());
		printLine(std::string_view(text).substr(begin, end - begin));
		begin = end + 1;
	}

	EventCode code = EventCode::StreamFailed;
	if (!streamer.stopRequested() && !streamer.run(document, *channel, message, code))
		return fail(code, "[Worker] Streamer failed: ", message);
	printLine("[Worker] Stopped on request");
	return 0;
}

} // namespace tiloran
