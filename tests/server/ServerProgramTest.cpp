// The real tiloran_server on port 3000: start-up lines, stop by signal, bind
// failure, fatal start-up error, update notice.

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "server/RawHttp.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace test = tiloran::test;

namespace {

const std::string endpointLines = "[Server] Starting HTTP server on 0.0.0.0:3000\n"
				  "[Server] API endpoints:\n"
				  "  GET  /api/health\n"
				  "  GET  /api/session\n"
				  "  POST /api/login\n"
				  "  POST /api/logout\n"
				  "  GET  /api/config\n"
				  "  GET  /api/worker/config\n"
				  "  GET  /api/preview\n"
				  "  GET  /api/recordings\n"
				  "  GET  /api/recordings/<name>\n"
				  "  DELETE /api/recordings/<name>\n"
				  "  GET  /api/stream/status\n"
				  "  GET  /api/stream/stats\n"
				  "  GET  /metrics\n"
				  "  POST /api/stream/start\n"
				  "  POST /api/stream/stop\n"
				  "  GET  /api/access/users\n"
				  "  POST /api/access/users\n"
				  "  DELETE /api/access/users/NAME\n"
				  "  GET  /api/access/tokens\n"
				  "  POST /api/access/tokens\n"
				  "  DELETE /api/access/tokens/NAME\n"
				  "[Access] ############################################################\n"
				  "[Access] ACCESS CONTROL IS OFF: whoever reaches port 3000 can start and stop the stream.\n";

std::string banner(const std::string &mode)
{
	return "========================================\n"
	       "  TILORAN - Quad SDI Encoder\n"
	       "  Server v0.5 BETA - HTTP API\n"
	       "  Config mode: " +
	       mode +
	       "\n"
	       "========================================\n"
	       "[ConfigManager] Config mode: " +
	       mode + "\n";
}

class ServerProgramTest : public ::testing::Test
{
protected:
	// A server started in a fresh working directory, with its user-mode
	// locations inside that directory too.
	std::unique_ptr<test::ChildProcess> startServer(const std::vector<std::string> &arguments,
							std::map<std::string, std::string> environment = {})
	{
		test::ChildProcess::Options options;
		options.workingDirectory = directory.path();
		options.setEnvironment = { { "APPDATA", (directory.path() / "appdata").string() },
					   { "TMPDIR", directory.path().string() } };
		for (auto &[name, value] : environment)
			options.setEnvironment[name] = value;
		options.unsetEnvironment = { "TILORAN_UPDATE_URL" };
		return std::make_unique<test::ChildProcess>(test::serverProgram(), arguments, options);
	}

	static bool waitUntilServing(test::ChildProcess &server)
	{
		return server.waitForOutput("  POST /api/stream/stop\n", test::kGenerousTimeout) &&
		       test::waitUntil(
			       [] {
				       httplib::Client client("127.0.0.1", 3000);
				       return static_cast<bool>(client.Get("/api/health"));
			       },
			       test::kGenerousTimeout);
	}

	test::TemporaryDirectory directory;
};

} // namespace

TEST_F(ServerProgramTest, PortableFlagInAnyPositionSelectsPortableMode)
{
	const std::vector<std::vector<std::string>> portableLines = {
		{ "portable" }, { "--portable" }, { "x", "--portable", "y" }, { "PORTABLE", "portable", "--portable" }
	};
	for (const auto &arguments : portableLines) {
		auto server = startServer(arguments);
		ASSERT_TRUE(waitUntilServing(*server));
		server->signal(SIGINT);
		ASSERT_EQ(server->waitForExit(test::kGenerousTimeout), 0);

		std::string text = server->standardOutput();
		std::string expected = banner("portable") +
				       "[ConfigManager] Worker config path: " + (directory.path() / "worker_config.json").string() +
				       "\n[ConfigManager] Preview path: " + (directory.path() / "preview").string() + "\n";
		EXPECT_EQ(text.substr(0, expected.size()), expected) << arguments.size();
	}
}

TEST_F(ServerProgramTest, AnythingElseLeavesUserMode)
{
	const std::vector<std::vector<std::string>> userLines = {
		{}, { "PORTABLE" }, { "-portable" }, { "--portable=1" }, { "portable2", "Portable", "--PORTABLE" }
	};
	for (const auto &arguments : userLines) {
		auto server = startServer(arguments);
		ASSERT_TRUE(waitUntilServing(*server));
		server->signal(SIGINT);
		ASSERT_EQ(server->waitForExit(test::kGenerousTimeout), 0);

		std::string text = server->standardOutput();
		std::string expected = banner("user") + "[ConfigManager] Worker config path: " +
				       (directory.path() / "appdata" / "KV_TILORAN" / "Encoder" / "worker_config.json").string() +
				       "\n[ConfigManager] Preview path: " +
				       (directory.path() / "KV_TILORAN" / "Encoder" / "preview").string() + "\n";
		EXPECT_EQ(text.substr(0, expected.size()), expected);
		EXPECT_EQ(server->standardError(), "");
	}
}

TEST_F(ServerProgramTest, SigintAndSigtermStopTheServerCleanly)
{
	for (int signal : { SIGINT, SIGTERM }) {
		auto server = startServer({ "portable" });
		ASSERT_TRUE(waitUntilServing(*server));
		server->signal(signal);
		ASSERT_EQ(server->waitForExit(test::kGenerousTimeout), 0);

		std::string text = server->standardOutput();
		std::string tail = endpointLines + "[Access] Turn it on with \"access\": true in " +
				   (directory.path() / "server_settings.json").string() +
				   " after adding a user (tiloran_server --add-user NAME --role admin).\n"
				   "[Access] ############################################################\n"
				   "\n[Server] Received signal " + std::to_string(signal) +
				   ", shutting down...\n"
				   "[Server] Shutdown complete.\n"
				   "[WorkerSupervisor] Worker process is not running\n";
		ASSERT_GE(text.size(), tail.size());
		EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
		EXPECT_EQ(server->standardError(), "");
	}
}

TEST_F(ServerProgramTest, PortInUseIsAFailure)
{
	// SO_REUSEADDR lets the holder bind over connections of earlier tests
	// still in TIME_WAIT; it does not let anyone share a listening port.
	int holder = socket(AF_INET, SOCK_STREAM, 0);
	ASSERT_GE(holder, 0);
	int enable = 1;
	setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof(enable));
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_port = htons(3000);
	address.sin_addr.s_addr = htonl(INADDR_ANY);
	ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
	ASSERT_EQ(listen(holder, 4), 0);

	auto server = startServer({ "portable" });
	EXPECT_EQ(server->waitForExit(test::kGenerousTimeout), 1);
	close(holder);

	std::string text = server->standardOutput();
	EXPECT_NE(text.find(endpointLines), std::string::npos) << text;
	EXPECT_EQ(text.find("Shutdown complete."), std::string::npos) << text;
	EXPECT_EQ(server->standardError(), "[Server] Failed to listen on 0.0.0.0:3000\n");
}

TEST_F(ServerProgramTest, SecondServerCannotShareThePort)
{
	auto first = startServer({ "portable" });
	ASSERT_TRUE(waitUntilServing(*first));

	test::TemporaryDirectory otherDirectory;
	test::ChildProcess::Options options;
	options.workingDirectory = otherDirectory.path();
	test::ChildProcess second(test::serverProgram(), { "portable" }, options);
	EXPECT_EQ(second.waitForExit(test::kGenerousTimeout), 1);
	EXPECT_EQ(second.standardError(), "[Server] Failed to listen on 0.0.0.0:3000\n");

	first->signal(SIGTERM);
	EXPECT_EQ(first->waitForExit(test::kGenerousTimeout), 0);
}

TEST_F(ServerProgramTest, ConfigurationFailureIsFatal)
{
	// User mode needs the temporary directory; one that does not exist
	// makes the configuration's construction throw.
	auto server = startServer({}, { { "TMPDIR", (directory.path() / "missing").string() } });
	EXPECT_EQ(server->waitForExit(test::kGenerousTimeout), 1);
	EXPECT_EQ(server->standardOutput().substr(0, 170).find("[Server] Starting"), std::string::npos);
	std::string error = server->standardError();
	EXPECT_EQ(error.rfind("[Error] Fatal error: ", 0), 0u) << error;
	EXPECT_NE(error.find("temp_directory_path"), std::string::npos) << error;
}

TEST_F(ServerProgramTest, UpdateNoticeAsksTheConfiguredAddressOnce)
{
	httplib::Server updateEndpoint;
	std::atomic<int> requests = 0;
	std::string requestLine;
	std::mutex requestMutex;
	updateEndpoint.Get("/check/latest", [&](const httplib::Request &request, httplib::Response &response) {
		std::lock_guard lock(requestMutex);
		++requests;
		requestLine = request.method + " " + request.target;
		response.status = 204;
	});
	int port = updateEndpoint.bind_to_any_port("127.0.0.1");
	std::thread serving([&] { updateEndpoint.listen_after_bind(); });

	auto server = startServer({ "portable" }, { { "TILORAN_UPDATE_URL",
						      "http://127.0.0.1:" + std::to_string(port) + "/check/latest" } });
	ASSERT_TRUE(waitUntilServing(*server));
	EXPECT_TRUE(server->waitForOutput("[Server] Update check: HTTP 204\n", test::kGenerousTimeout))
		<< server->standardOutput();
	server->signal(SIGINT);
	EXPECT_EQ(server->waitForExit(test::kGenerousTimeout), 0);
	updateEndpoint.stop();
	serving.join();

	std::lock_guard lock(requestMutex);
	EXPECT_EQ(requests.load(), 1);
	EXPECT_EQ(requestLine, "GET /check/latest");
}

TEST_F(ServerProgramTest, UpdateNoticeFailureIsOneLine)
{
	int closedPort = test::freeTcpPort();
	auto server = startServer({ "portable" }, { { "TILORAN_UPDATE_URL",
						      "http://127.0.0.1:" + std::to_string(closedPort) + "/" } });
	ASSERT_TRUE(waitUntilServing(*server));
	EXPECT_TRUE(server->waitForOutput("[Server] Update check failed: ", test::kGenerousTimeout));
	server->signal(SIGINT);
	EXPECT_EQ(server->waitForExit(test::kGenerousTimeout), 0);
}

namespace {

const std::string startRequest = R"({"srtHostPort":"127.0.0.1:9000","videoBitrate":6,"audioBitrate":128,)"
				 R"("codec":"libx264","devices":["test-1"]})";

// A copy of the server in its own directory, with the stand-in beside it
// under the worker's name, or with nothing beside it.
class CopiedServerTest : public ServerProgramTest
{
protected:
	std::unique_ptr<test::ChildProcess> startCopy(bool withWorker)
	{
		std::filesystem::create_directories(programDirectory());
		std::filesystem::copy_file(test::serverProgram(), programDirectory() / "tiloran_server");
		if (withWorker)
			std::filesystem::copy_file(test::standInWorkerProgram(), programDirectory() / "zenvo_tiloran_worker");

		test::ChildProcess::Options options;
		options.workingDirectory = directory.path();
		options.setEnvironment = { { "TILORAN_STAND_IN_REPORT", reportPath().string() } };
		options.unsetEnvironment = { "TILORAN_UPDATE_URL", "TILORAN_STAND_IN_EXIT_CODE", "TILORAN_STAND_IN_LOCK" };
		auto server = std::make_unique<test::ChildProcess>(programDirectory() / "tiloran_server",
								   std::vector<std::string>{ "portable", "--test-inputs=1:640x360p25" },
								   options);
		return server;
	}

	std::filesystem::path programDirectory() const { return directory.path() / "program"; }
	std::filesystem::path reportPath() const { return directory.path() / "report"; }

	// The worker's pid, working directory and descriptors, once it has
	// reported them.
	std::map<std::string, std::string> workerReport()
	{
		std::map<std::string, std::string> fields;
		if (!test::waitUntil([&] { return std::filesystem::exists(reportPath()); }, test::kGenerousTimeout))
			return fields;
		std::istringstream text(test::readFile(reportPath()));
		std::string line;
		while (std::getline(text, line))
			fields[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
		return fields;
	}

	static bool processGone(const std::string &pid)
	{
		std::ifstream stat("/proc/" + pid + "/stat");
		std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
		return text.empty() || text.find(") Z ") != std::string::npos;
	}
};

} // namespace

TEST_F(CopiedServerTest, StartWithoutAWorkerBesideTheServer)
{
	auto server = startCopy(false);
	ASSERT_TRUE(waitUntilServing(*server));
	auto answer = test::rawRequest(3000, "POST", "/api/stream/start", startRequest);
	EXPECT_EQ(answer.status, 500);
	EXPECT_EQ(answer.body, "{\n  \"code\": \"worker.missing\",\n  \"error\": \"Worker executable not found: " +
				       (programDirectory() / "zenvo_tiloran_worker").string() + "\"\n}");
	EXPECT_EQ(answer.header("Content-Type"), "application/json");
	EXPECT_EQ(answer.header("Access-Control-Allow-Origin"), "*");

	auto health = test::rawRequest(3000, "GET", "/api/health");
	EXPECT_EQ(health.body, R"({"status":"ok","service":"tiloran-server"})");
	auto preflight = test::rawRequest(3000, "OPTIONS", "/api/stream/start");
	EXPECT_EQ(preflight.header("Access-Control-Allow-Methods"), "GET, POST, DELETE, OPTIONS");

	server->signal(SIGINT);
	EXPECT_EQ(server->waitForExit(test::kGenerousTimeout), 0);
}

TEST_F(CopiedServerTest, ShutdownTerminatesARunningWorker)
{
	auto server = startCopy(true);
	ASSERT_TRUE(waitUntilServing(*server));
	auto answer = test::rawRequest(3000, "POST", "/api/stream/start", startRequest);
	EXPECT_EQ(answer.body, R"({"status":"started"})");

	auto report = workerReport();
	ASSERT_FALSE(report.empty());
	EXPECT_EQ(report["cwd"], programDirectory().string());
	EXPECT_EQ(report["args"], "start 3000");
	// The server's listening socket stays with the server.
	EXPECT_EQ(report["fds"], "0 1 2 3");

	server->signal(SIGTERM);
	ASSERT_EQ(server->waitForExit(test::kGenerousTimeout), 0);
	std::string pid = report["pid"];
	std::string tail = "\n[Server] Received signal 15, shutting down...\n"
			   "[Server] Shutdown complete.\n"
			   "[WorkerSupervisor] Terminating Worker process PID " + pid + "\n"
			   "[WorkerSupervisor] Worker PID " + pid + " exited with code 0\n";
	std::string text = server->standardOutput();
	ASSERT_GE(text.size(), tail.size());
	EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
	EXPECT_NE(text.find("[WorkerSupervisor] Worker started: " + (programDirectory() / "zenvo_tiloran_worker").string() +
			    "\n[WorkerSupervisor] Worker PID: " + pid + "\n"),
		  std::string::npos)
		<< text;
	EXPECT_TRUE(processGone(pid));
}

TEST_F(CopiedServerTest, KilledServerTakesTheWorkerWithIt)
{
	auto server = startCopy(true);
	ASSERT_TRUE(waitUntilServing(*server));
	EXPECT_EQ(test::rawRequest(3000, "POST", "/api/stream/start", startRequest).status, 200);
	auto report = workerReport();
	ASSERT_FALSE(report.empty());

	server->signal(SIGKILL);
	server->waitForExit(test::kGenerousTimeout);
	EXPECT_TRUE(test::waitUntil([&] { return processGone(report["pid"]); }, test::kGenerousTimeout));
}
