// The worker fetching its configuration from an HTTP server started by the
// test: transport failures, HTTP failures, bodies that are not JSON, and
// documents refused by the structural and the semantic checks.

#include <chrono>
#include <string>

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
