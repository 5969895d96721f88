// The worker fetching its configuration from an HTTP server started by the
// test: transport failures, HTTP failures, bodies that are not JSON, and
// documents refused by the structural and the semantic checks.

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "e2e/EndToEndSupport.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

using tiloran::test::ChildProcess;
using tiloran::test::ConfigurationServer;

namespace {

struct Outcome {
	int exitCode;
	std::string standardOutput;
	std::string standardError;
};

Outcome runWorkerAgainst(int port)
{
	ChildProcess worker(tiloran::test::workerProgram(), { "start", std::to_string(port) });
	const std::optional<int> exitCode = worker.waitForExit(tiloran::test::kGenerousTimeout);
	EXPECT_TRUE(exitCode.has_value()) << "the worker did not end";
	return { exitCode.value_or(-1), worker.standardOutput(), worker.standardError() };
}

std::string startLines(int port)
{
	return "[Worker] Starting\n[Worker] Encoder endpoint: http://127.0.0.1:" + std::to_string(port) +
	       "/api/worker/config\n";
}

// A document as the server writes it, with one capture device that this
// machine does not have.
nlohmann::json serverDocument()
{
	return nlohmann::json::parse(R"json({
  "audio_bitrate": 128,
  "codec": "h264",
  "preview_path": "/tmp/tiloran-preview-unused",
  "quadrants": [
    { "id": 1, "name": "Camera 1", "source_id": "decklink-1", "source_name": "DeckLink Duo (1)" }
  ],
  "srt": { "host_port": "127.0.0.1:9000", "latency": 120, "passphrase": "", "streamid": "" },
  "srt_uri": "srt://127.0.0.1:9000?mode=caller&latency=120",
  "video_bitrate": 8
})json");
}

std::string jsonParseError(const std::string &text)
{
	try {
		const nlohmann::json parsed = nlohmann::json::parse(text);
		return "(parsed: " + parsed.dump() + ")";
	} catch (const nlohmann::json::exception &error) {
		return error.what();
	}
}

} // namespace

TEST(WorkerConfigFetch, NothingListening)
{
	const int port = tiloran::test::freeTcpPort();
	const Outcome outcome = runWorkerAgainst(port);
	EXPECT_EQ(outcome.exitCode, 1);
	EXPECT_EQ(outcome.standardOutput, startLines(port));
	EXPECT_EQ(outcome.standardError, "[Worker] Failed to connect to Encoder\n");
}

TEST(WorkerConfigFetch, HttpFailureStatusCarriesTheBody)
{
	struct Case {
		int status;
		std::string body;
	};
	for (const Case &testCase : { Case{ 404, R"({"error":"Worker config file not found: /nowhere/worker_config.json"})" },
				      Case{ 500, "Internal failure" }, Case{ 302, "" }, Case{ 503, "busy" } }) {
		SCOPED_TRACE(testCase.status);
		ConfigurationServer server(testCase.status, testCase.body);
		const Outcome outcome = runWorkerAgainst(server.port());
		EXPECT_EQ(outcome.exitCode, 1);
		EXPECT_EQ(outcome.standardOutput, startLines(server.port()));
		EXPECT_EQ(outcome.standardError, "[Worker] Encoder returned HTTP " + std::to_string(testCase.status) +
							 ": " + testCase.body + "\n");
	}
}

TEST(WorkerConfigFetch, BodyThatIsNotJson)
{
	const std::string withComment = "// a comment is not JSON\n" + serverDocument().dump();
	for (const std::string &body : { std::string("<html>not json</html>"), std::string(""), withComment,
					std::string(R"({"quadrants": [)") }) {
		SCOPED_TRACE(body);
		ConfigurationServer server(200, body, "text/plain");
		const Outcome outcome = runWorkerAgainst(server.port());
		EXPECT_EQ(outcome.exitCode, 1);
		EXPECT_EQ(outcome.standardOutput, startLines(server.port()));
		EXPECT_EQ(outcome.standardError,
			  "[Worker] Failed to parse worker config JSON: " + jsonParseError(body) + "\n");
	}
}

TEST(WorkerConfigFetch, StructuralFailureIsAnInvalidConfig)
{
	nlohmann::json withoutCodec = serverDocument();
	withoutCodec.erase("codec");
	struct Case {
		std::string body;
		std::string message;
	};
	for (const Case &testCase : { Case{ "[1, 2, 3]", "Missing required field: quadrants" },
				      Case{ withoutCodec.dump(), "Missing required field: codec" } }) {
		SCOPED_TRACE(testCase.body);
		ConfigurationServer server(200, testCase.body);
		const Outcome outcome = runWorkerAgainst(server.port());
		EXPECT_EQ(outcome.exitCode, 1);
		EXPECT_EQ(outcome.standardOutput, startLines(server.port()));
		EXPECT_EQ(outcome.standardError, "[Worker] Invalid worker config: " + testCase.message + "\n");
	}
}

// A document that passes the structural check is printed whole, then the
// semantic check refuses it before any device is opened.
TEST(WorkerConfigFetch, SemanticFailureIsAStreamerFailure)
{
	nlohmann::json duplicate = serverDocument();
	duplicate["quadrants"].push_back({ { "id", 1 }, { "name", "Again" } });
	nlohmann::json wrongType = serverDocument();
	wrongType["video_bitrate"] = "8 Mbps";

	struct Case {
		nlohmann::json document;
		std::string message;
	};
	for (const Case &testCase :
	     { Case{ duplicate, "Duplicate quadrant id: 1" },
	       Case{ wrongType, "[json.exception.type_error.302] type must be number, but is string" } }) {
		SCOPED_TRACE(testCase.message);
		ConfigurationServer server(200, testCase.document.dump());
		const Outcome outcome = runWorkerAgainst(server.port());
		EXPECT_EQ(outcome.exitCode, 1);
		EXPECT_EQ(outcome.standardOutput, startLines(server.port()) +
							  "[Worker] Worker config loaded successfully\n" +
							  testCase.document.dump(2) + "\n");
		EXPECT_EQ(outcome.standardError, "[Worker] Streamer failed: " + testCase.message + "\n");
	}
}

TEST(WorkerConfigFetch, ValidDocumentIsPrintedAndHandedOn)
{
	// Cards through FFmpeg, whose build here has no capture-card input.
	tiloran::test::ScopedEnvironment capture("TILORAN_CAPTURE", "ffmpeg");
	const nlohmann::json document = serverDocument();
	ConfigurationServer server(200, document.dump());
	const Outcome outcome = runWorkerAgainst(server.port());
	EXPECT_EQ(outcome.exitCode, 1);
	EXPECT_EQ(outcome.standardOutput.substr(0, outcome.standardOutput.find("[Streamer]")),
		  startLines(server.port()) + "[Worker] Worker config loaded successfully\n" + document.dump(2) + "\n");
	// So the pipeline ends at the first source.
	EXPECT_NE(outcome.standardOutput.find("[Streamer] Master source: DeckLink Duo (1)\n"), std::string::npos);
	EXPECT_EQ(outcome.standardError, "[Worker] Streamer failed: FFmpeg DeckLink input format is not available\n");
}

namespace {

// The lines of console text that do not begin with one of the worker's own
// tags, and whether the text holds a control character within a line.
struct ConsoleFindings {
	std::vector<std::string> untagged;
	bool controlCharacter = false;
};

ConsoleFindings inspectConsole(const std::string &text)
{
	ConsoleFindings findings;
	std::size_t begin = 0;
	bool inDocument = false;
	while (begin < text.size()) {
		const std::size_t end = std::min(text.find('\n', begin), text.size());
		const std::string line = text.substr(begin, end - begin);
		begin = end + 1;
		for (const char character : line) {
			if (static_cast<unsigned char>(character) < 0x20 || character == 0x7F)
				findings.controlCharacter = true;
		}
		// The document as printed, from its first brace to its last.
		if (line == "{")
			inDocument = true;
		const bool documentLine = inDocument;
		if (line == "}")
			inDocument = false;
		// The worker's components, and FFmpeg's ("[libx264 @ 0x...] ").
		static const std::regex tag(
			R"(^\[(Worker|Streamer|SourceCapture|CompositeOutput|FilterCompositor|PreviewWriter|\w+ @ 0x[0-9a-f]+)\] .*)");
		const bool tagged = std::regex_match(line, tag);
		if (!tagged && !documentLine)
			findings.untagged.push_back(line);
	}
	return findings;
}

} // namespace

// Names, ids and peer texts are the client's: a line break in one must not
// forge a line of another component, and the passphrase, whatever its JSON
// type, never reaches the console.
TEST(WorkerConfigFetch, TextFromOutsideNeitherForgesLinesNorShowsThePassphrase)
{
	const std::string forged = "\n[WorkerSupervisor] FAKE Worker PID 1 exited with code 0";
	const std::string secret = "SECRETpass123";
	const std::string silentPeer = "127.0.0.1:" + std::to_string(tiloran::test::freeUdpPort());
	const std::string streamId = "id\r" + forged + "\x1b[2J";

	// Reaches the SRT connection, which nobody answers.
	nlohmann::json connecting = serverDocument();
	connecting["quadrants"] = { { { "id", 1 }, { "name", "Cam 1" + forged }, { "source_id", "test-1" },
				      { "source_name", "Test Input 1 (320x180p25)" } } };
	connecting["preview_path"] = "";
	connecting["srt"] = { { "host_port", silentPeer }, { "latency", 120 }, { "passphrase", secret },
			      { "streamid", streamId } };
	connecting["srt_uri"] = "srt://" + silentPeer + "?mode=caller&latency=120&streamid=" + streamId +
				"&passphrase=" + secret;
	// Ends at a source name that names no input, and a passphrase of the
	// wrong type.
	nlohmann::json badSource = connecting;
	badSource["quadrants"][0]["source_name"] = "Test Input 1" + forged + " (320x180p25)";
	badSource["srt"]["passphrase"] = nlohmann::json::array({ secret });
	nlohmann::json badPassphrase = connecting;
	badPassphrase["srt"]["passphrase"] = { { "value", secret } };
	badPassphrase["srt_uri"] = "srt://" + silentPeer + "?mode=caller";

	// A file cut short within the passphrase, which the parser quotes.
	const std::string cutShort = connecting.dump().substr(0, connecting.dump().find(secret) + secret.size());

	struct Case {
		std::string name;
		int status;
		std::string body;
	};
	for (const Case &testCase : { Case{ "connecting", 200, connecting.dump() }, Case{ "bad source", 200, badSource.dump() },
				      Case{ "bad passphrase", 200, badPassphrase.dump() }, Case{ "cut short", 200, cutShort },
				      Case{ "peer text", 500, "busy" + forged + "\x07" } }) {
		SCOPED_TRACE(testCase.name);
		ConfigurationServer server(testCase.status, testCase.body);
		const Outcome outcome = runWorkerAgainst(server.port());
		EXPECT_EQ(outcome.exitCode, 1);
		for (const std::string &text : { outcome.standardOutput, outcome.standardError }) {
			const ConsoleFindings findings = inspectConsole(text);
			EXPECT_TRUE(findings.untagged.empty()) << text;
			EXPECT_FALSE(findings.controlCharacter) << text;
			EXPECT_EQ(text.find("\n[WorkerSupervisor]"), std::string::npos) << text;
			EXPECT_EQ(text.find(secret), std::string::npos) << text;
		}
	}
}
