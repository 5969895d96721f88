// The worker's command line: every row of its table, with the exact text,
// stream and exit code.

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

using tiloran::test::ChildProcess;

namespace {

const std::string usageText = "Usage:\n"
			      "  zenvo_tiloran_worker start <encoder_http_port>\n"
			      "  zenvo_tiloran_worker list\n"
			      "  zenvo_tiloran_worker encoders <encoder_name>...\n";

struct Outcome {
	int exitCode;
	std::string standardOutput;
	std::string standardError;
};

Outcome runWorker(const std::vector<std::string> &arguments)
{
	ChildProcess worker(tiloran::test::workerProgram(), arguments);
	const std::optional<int> exitCode = worker.waitForExit(tiloran::test::kGenerousTimeout);
	EXPECT_TRUE(exitCode.has_value()) << "the worker did not end";
	return { exitCode.value_or(-1), worker.standardOutput(), worker.standardError() };
}

} // namespace

TEST(WorkerCommandLine, MissingCommandPrintsUsage)
{
	const Outcome outcome = runWorker({});
	EXPECT_EQ(outcome.exitCode, 1);
	EXPECT_EQ(outcome.standardOutput, "");
	EXPECT_EQ(outcome.standardError, "[Worker] Missing command\n" + usageText);
}

TEST(WorkerCommandLine, ListIsNotImplemented)
{
	for (const std::vector<std::string> &arguments :
	     { std::vector<std::string>{ "list" }, std::vector<std::string>{ "list", "anything", "else" } }) {
		const Outcome outcome = runWorker(arguments);
		EXPECT_EQ(outcome.exitCode, 0);
		EXPECT_EQ(outcome.standardOutput, "not implemented\n");
		EXPECT_EQ(outcome.standardError, "");
	}
}

TEST(WorkerCommandLine, StartWithoutPortPrintsUsage)
{
	const Outcome outcome = runWorker({ "start" });
	EXPECT_EQ(outcome.exitCode, 1);
	EXPECT_EQ(outcome.standardOutput, "");
	EXPECT_EQ(outcome.standardError, "[Worker] Missing encoder HTTP port for start command\n" + usageText);
}

TEST(WorkerCommandLine, UnknownCommandsPrintUsage)
{
	for (const char *commandText : { "Start", "stop", "", "start " }) {
		const std::string command = commandText;
		SCOPED_TRACE("command '" + command + "'");
		const Outcome outcome = runWorker({ command, "3000" });
		EXPECT_EQ(outcome.exitCode, 1);
		EXPECT_EQ(outcome.standardOutput, "");
		EXPECT_EQ(outcome.standardError, "[Worker] Unknown command: " + command + "\n" + usageText);
	}
}

TEST(WorkerCommandLine, InvalidPortsAreRefusedAsTyped)
{
	for (const char *portText : { "65536", "0", "-1", "+3000", "3000x", " 3000", "3000 ", "",
					"4294967297", "99999999999999999999", "0x10", "30.0" }) {
		const std::string port = portText;
		SCOPED_TRACE("port '" + port + "'");
		const Outcome outcome = runWorker({ "start", port });
		EXPECT_EQ(outcome.exitCode, 1);
		EXPECT_EQ(outcome.standardOutput, "");
		EXPECT_EQ(outcome.standardError, "[Worker] Invalid encoder HTTP port: " + port + "\n");
	}
}

// A valid port hands over to the fetch; with nothing listening it ends there.
TEST(WorkerCommandLine, ValidPortsReachTheFetch)
{
	const int unusedPort = tiloran::test::freeTcpPort();
	struct Case {
		std::vector<std::string> arguments;
		int expectedPort;
	};
	const std::vector<Case> cases = {
		{ { "start", std::to_string(unusedPort) }, unusedPort },
		{ { "start", "0" + std::to_string(unusedPort) }, unusedPort },
		{ { "start", std::to_string(unusedPort), "ignored", "arguments" }, unusedPort },
		{ { "start", "65535" }, 65535 },
		{ { "start", "1" }, 1 },
	};
	for (const Case &testCase : cases) {
		SCOPED_TRACE("port argument '" + testCase.arguments[1] + "'");
		const Outcome outcome = runWorker(testCase.arguments);
		EXPECT_EQ(outcome.exitCode, 1);
		EXPECT_EQ(outcome.standardOutput, "[Worker] Starting\n"
						  "[Worker] Encoder endpoint: http://127.0.0.1:" +
							  std::to_string(testCase.expectedPort) + "/api/worker/config\n");
		EXPECT_EQ(outcome.standardError, "[Worker] Failed to connect to Encoder\n");
	}
}
