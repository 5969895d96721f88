// The API server in-process on a free port, spoken to over real HTTP.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "api/ApiServer.h"
#include "config/ConfigManager.h"
#include "server/ConfigManagerTestSupport.h"
#include "server/RawHttp.h"
#include "supervision/WorkerSupervisor.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using tiloran::ApiServer;
using tiloran::ConfigManager;
using tiloran::WorkerSupervisor;
namespace test = tiloran::test;

namespace {

const std::string startRequest = R"({"srtHostPort":"127.0.0.1:9000","videoBitrate":6,"audioBitrate":128,)"
				 R"("codec":"libx264","srtStreamId":"first","devices":["test-1","test-2"]})";

std::string errorBody(const std::string &message)
{
	return "{\n  \"error\": " + nlohmann::json(message).dump() + "\n}";
}

// A refused start: the error with its code, and the field it concerns if any.
std::string refusalBody(const std::string &message, const std::string &code, const std::string &field = {})
{
	nlohmann::json body = { { "error", message }, { "code", code } };
	if (!field.empty())
		body["field"] = field;
	return body.dump(2);
}

// Writes a picture the way the worker does: a temporary file renamed over the
// preview file.
void replacePicture(const std::filesystem::path &directory, const std::string &bytes)
{
	std::filesystem::path temporary = directory / "preview.jpg.tmp";
	test::writeFile(temporary, bytes);
	std::filesystem::rename(temporary, directory / "preview.jpg");
}

class ApiServerTest : public ::testing::Test
{
protected:
	ApiServerTest()
		: environment_(directory_.path()), workingDirectory_(directory_.path())
	{
	}

	~ApiServerTest() override { stopServer(); }

	// Builds the configuration (portable: files in the test's directory, two
	// test inputs) and serves on a free port.
	void startServer(const std::string &workerProgram = test::standInWorkerProgram().string(),
			 const tiloran::TestInputs &testInputs = { 2, "640x360p25" })
	{
		config_ = std::make_shared<ConfigManager>(true, testInputs);
		supervisor_ = std::make_shared<WorkerSupervisor>(workerProgram);
		// Another program may take the free port first, so the server is
		// known to be this one only when it names this test's files.
		std::string ownPath = nlohmann::json(config_->workerConfigPath()).dump();
		ownPath = ownPath.substr(1, ownPath.size() - 2);
		for (int attempt = 0; attempt < 5; ++attempt) {
			server_ = std::make_unique<ApiServer>(config_, supervisor_);
			port_ = test::freeTcpPort();
			serving_ = std::thread([this] { server_->run("127.0.0.1", port_); });
			if (test::waitUntil(
				    [&] { return request("GET", "/api/worker/config").body.find(ownPath) != std::string::npos; },
				    test::kGenerousTimeout))
				return;
			endServing();
			server_.reset();
		}
		FAIL() << "no port to serve on";
	}

	void stopServer()
	{
		if (!server_)
			return;
		endServing();
		server_.reset();
		supervisor_.reset();
		config_.reset();
	}

	void endServing()
	{
		server_->stop();
		serving_.join();
	}

	test::RawResponse request(const std::string &method, const std::string &target, const std::string &body = {})
	{
		return test::rawRequest(port_, method, target, body);
	}

	static void expectJsonHeaders(const test::RawResponse &response)
	{
		EXPECT_EQ(response.headerCount("Content-Type"), 1u);
		EXPECT_EQ(response.header("Content-Type"), "application/json");
		EXPECT_EQ(response.headerCount("Access-Control-Allow-Origin"), 1u);
		EXPECT_EQ(response.header("Access-Control-Allow-Origin"), "*");
	}

	std::filesystem::path previewDirectory() const { return directory_.path() / "preview"; }

	test::TemporaryDirectory directory_;
	test::NeutralEnvironment environment_;
	test::ScopedWorkingDirectory workingDirectory_;
	std::shared_ptr<ConfigManager> config_;
	std::shared_ptr<WorkerSupervisor> supervisor_;
	std::unique_ptr<ApiServer> server_;
	std::thread serving_;
	int port_ = 0;
};

} // namespace

TEST_F(ApiServerTest, FixedAndGeneratedAnswers)
{
	startServer();

	auto health = request("GET", "/api/health");
	EXPECT_EQ(health.status, 200);
	EXPECT_EQ(health.body, R"({"status":"ok","service":"tiloran-server"})");
	expectJsonHeaders(health);

	auto config = request("GET", "/api/config");
	EXPECT_EQ(config.status, 200);
	EXPECT_EQ(config.body, config_->getClientConfig().dump(2));
	EXPECT_NE(config.body.find("\n  \"devices\": [\n"), std::string::npos) << config.body;
	expectJsonHeaders(config);

	auto status = request("GET", "/api/stream/status");
	EXPECT_EQ(status.status, 200);
	EXPECT_EQ(status.body, "{\n  \"running\": false\n}");
	expectJsonHeaders(status);

	auto workerConfig = request("GET", "/api/worker/config");
	EXPECT_EQ(workerConfig.status, 404);
	std::string message;
	nlohmann::json ignored;
	ASSERT_FALSE(config_->loadWorkerConfig(ignored, message));
	EXPECT_EQ(workerConfig.body, errorBody(message));
	expectJsonHeaders(workerConfig);

}

TEST_F(ApiServerTest, PreflightOnAnyPath)
{
	startServer();
	for (const std::string path : { "/anything", "/api/health", "/api/stream/start", "/a/b/c?x=1" }) {
		auto answer = request("OPTIONS", path);
		EXPECT_EQ(answer.status, 200) << path;
		EXPECT_EQ(answer.header("Access-Control-Allow-Origin"), "*");
		EXPECT_EQ(answer.header("Access-Control-Allow-Methods"), "GET, POST, DELETE, OPTIONS");
		EXPECT_EQ(answer.header("Access-Control-Allow-Headers"), "Content-Type, Authorization, X-CSRF-Token");
		EXPECT_EQ(answer.headerCount("Content-Type"), 0u);
		EXPECT_EQ(answer.body, "");
	}
}

// A stop that comes before the server listens (a shutdown signal during
// start-up) is not lost: run() returns without serving.
TEST_F(ApiServerTest, StopBeforeRunIsNotLost)
{
	config_ = std::make_shared<ConfigManager>(true, tiloran::TestInputs{ 2, "640x360p25" });
	supervisor_ = std::make_shared<WorkerSupervisor>(test::standInWorkerProgram().string());
	ApiServer server(config_, supervisor_);
	server.stop();
	std::future<bool> served =
		std::async(std::launch::async, [&] { return server.run("127.0.0.1", test::freeTcpPort()); });
	const bool ended = served.wait_for(20s) == std::future_status::ready;
	// Otherwise the accept loop runs by now and a second stop ends it.
	if (!ended)
		server.stop();
	ASSERT_TRUE(ended);
	EXPECT_TRUE(served.get());
}

TEST_F(ApiServerTest, StartRequestsThatAreNotJsonOrHaveWrongTypes)
{
	startServer();

	// Where the body stops being JSON, in the API's words, not the library's.
	auto empty = request("POST", "/api/stream/start", "");
	EXPECT_EQ(empty.status, 400);
	EXPECT_EQ(empty.body, refusalBody("Invalid JSON request body: not JSON at byte 1", "request.json.invalid"));
	expectJsonHeaders(empty);

	// Comments are not JSON.
	auto commented = request("POST", "/api/stream/start", "/* x */ {}");
	EXPECT_EQ(commented.status, 400);
	EXPECT_EQ(commented.body, refusalBody("Invalid JSON request body: not JSON at byte 1", "request.json.invalid"));
	// A number beyond what a double holds is the parser's other refusal.
	auto huge = request("POST", "/api/stream/start", R"({"videoBitrate": 1e400})");
	EXPECT_EQ(huge.status, 400);
	EXPECT_EQ(huge.body, refusalBody("Invalid JSON request body: a number is out of range", "request.json.invalid"));

	nlohmann::json wrongType = nlohmann::json::parse(startRequest);
	wrongType["srtStreamId"] = 7;
	auto typed = request("POST", "/api/stream/start", wrongType.dump());
	EXPECT_EQ(typed.status, 400);
	EXPECT_EQ(typed.body, refusalBody("Field srtStreamId must be a string", "request.field.invalid", "srtStreamId"));
	expectJsonHeaders(typed);

	nlohmann::json invalid = nlohmann::json::parse(startRequest);
	invalid["srtHostPort"] = "";
	auto refused = request("POST", "/api/stream/start", invalid.dump());
	EXPECT_EQ(refused.status, 400);
	EXPECT_EQ(refused.body,
		  refusalBody("Field srtHostPort must be a non-empty string", "request.field.invalid", "srtHostPort"));

	EXPECT_FALSE(supervisor_->isRunning());
}

TEST_F(ApiServerTest, StartStopAndStartWhileRunning)
{
	std::filesystem::path reportPath = directory_.path() / "report";
	test::ScopedEnvironment report("TILORAN_STAND_IN_REPORT", reportPath.string());
	startServer();
	testing::internal::CaptureStdout();

	auto started = request("POST", "/api/stream/start", startRequest);
	EXPECT_EQ(started.status, 200);
	EXPECT_EQ(started.body, R"({"status":"started"})");
	expectJsonHeaders(started);
	ASSERT_TRUE(test::waitUntil([&] { return std::filesystem::exists(reportPath); }, test::kGenerousTimeout));
	EXPECT_NE(test::readFile(reportPath).find("args=start " + std::to_string(port_) + "\n"), std::string::npos);
	EXPECT_EQ(request("GET", "/api/stream/status").body, "{\n  \"running\": true\n}");
	EXPECT_TRUE(std::filesystem::is_regular_file(directory_.path() / "worker_config.json"));

	auto document = request("GET", "/api/worker/config");
	EXPECT_EQ(document.status, 200);
	expectJsonHeaders(document);
	nlohmann::json written = nlohmann::json::parse(document.body);
	EXPECT_EQ(document.body, written.dump(2));
	EXPECT_EQ(written["srt"]["streamid"], "first");
	EXPECT_EQ(written["quadrants"][1]["source_name"], "Test Input 2 (640x360p25)");

	// A refused start leaves the document of the stream on air; an invalid
	// one is refused for what it is.
	nlohmann::json second = nlohmann::json::parse(startRequest);
	second["srtStreamId"] = "second";
	const std::string fileBefore = test::readFile(directory_.path() / "worker_config.json");
	auto refused = request("POST", "/api/stream/start", second.dump());
	EXPECT_EQ(refused.status, 500);
	EXPECT_EQ(refused.body, refusalBody("Worker process is already running", "stream.already.running"));
	expectJsonHeaders(refused);
	EXPECT_EQ(nlohmann::json::parse(request("GET", "/api/worker/config").body)["srt"]["streamid"], "first");
	EXPECT_EQ(test::readFile(directory_.path() / "worker_config.json"), fileBefore);
	second["codec"] = "";
	EXPECT_EQ(request("POST", "/api/stream/start", second.dump()).body,
		  refusalBody("Field codec must be a non-empty string", "request.field.invalid", "codec"));
	EXPECT_TRUE(supervisor_->isRunning());

	auto stopped = request("POST", "/api/stream/stop");
	EXPECT_EQ(stopped.status, 200);
	EXPECT_EQ(stopped.body, R"({"status":"stopped"})");
	expectJsonHeaders(stopped);
	EXPECT_EQ(request("GET", "/api/stream/status").body, "{\n  \"running\": false\n}");

	auto notRunning = request("POST", "/api/stream/stop");
	EXPECT_EQ(notRunning.status, 200);
	EXPECT_EQ(notRunning.body, "{\n  \"message\": \"Worker process is not running\",\n  \"status\": \"not_running\"\n}");
	expectJsonHeaders(notRunning);

	std::string text = testing::internal::GetCapturedStdout();
	EXPECT_NE(text.find("[API] Stream start request: " + startRequest + "\n"), std::string::npos) << text;
	EXPECT_NE(text.find("[API] Stream stop request\n[WorkerSupervisor] Terminating Worker process PID "),
		  std::string::npos)
		<< text;
	EXPECT_NE(text.find("[API] Stream stop request\n[WorkerSupervisor] Worker process is not running\n"),
		  std::string::npos)
		<< text;
}

TEST_F(ApiServerTest, WorkerEndingByItselfShowsInStatusAndStop)
{
	test::ScopedEnvironment exitCode("TILORAN_STAND_IN_EXIT_CODE", "1");
	startServer();
	EXPECT_EQ(request("POST", "/api/stream/start", startRequest).status, 200);
	EXPECT_TRUE(test::waitUntil(
		[&] { return request("GET", "/api/stream/status").body == "{\n  \"running\": false\n}"; },
		test::kGenerousTimeout));
	EXPECT_EQ(request("POST", "/api/stream/stop").body,
		  "{\n  \"message\": \"Worker process is not running\",\n  \"status\": \"not_running\"\n}");
}

TEST_F(ApiServerTest, MissingWorkerIsAServerError)
{
	std::string missing = (directory_.path() / "bin" / "zenvo_tiloran_worker").string();
	startServer(missing);
	auto answer = request("POST", "/api/stream/start", startRequest);
	EXPECT_EQ(answer.status, 500);
	EXPECT_EQ(answer.body, refusalBody("Worker executable not found: " + missing, "worker.missing"));
	expectJsonHeaders(answer);
	// The configuration was written all the same.
	EXPECT_EQ(request("GET", "/api/worker/config").status, 200);
}

TEST_F(ApiServerTest, TextThatIsNotUtf8IsAnsweredWithReplacementCharacters)
{
	// An input name that is not UTF-8 (a driver's name in another code
	// page, say) cannot be serialised as it is.
	startServer(test::standInWorkerProgram().string(), { 1, "640x360p25\xff" });
	auto answer = request("GET", "/api/config");
	EXPECT_EQ(answer.status, 200);
	expectJsonHeaders(answer);
	EXPECT_EQ(nlohmann::json::parse(answer.body)["devices"][0]["name"], "Test Input 1 (640x360p25\xEF\xBF\xBD)");

	// A start request that is not UTF-8 is refused as invalid JSON, its
	// bytes quoted with the same replacement.
	testing::internal::CaptureStdout();
	auto refused = request("POST", "/api/stream/start", "{\"srtHostPort\":\"\xff\xfe\"}");
	const std::string console = testing::internal::GetCapturedStdout();
	EXPECT_EQ(refused.status, 400);
	expectJsonHeaders(refused);
	EXPECT_EQ(nlohmann::json::parse(refused.body)["error"], "Invalid JSON request body: not JSON at byte 17");
	EXPECT_EQ(console, "[API] Stream start request: {\"srtHostPort\":\"\xEF\xBF\xBD\xEF\xBF\xBD\"}\n");
}

TEST_F(ApiServerTest, AnExceptionIsAnErrorObjectAndItsTextGoesToTheConsoleOnly)
{
	// A preview path holding CR LF, and a preview file that is a symbolic
	// link loop: the existence test raises a file-system error whose text
	// contains the path.
	std::filesystem::path strange = directory_.path() / "line\r\nbreak";
	std::filesystem::create_directories(strange / "preview");
	std::filesystem::path picture = strange / "preview" / "preview.jpg";
	std::filesystem::create_symlink(picture, picture);
	test::ScopedWorkingDirectory inside(strange);
	startServer();

	testing::internal::CaptureStdout();
	auto answer = request("GET", "/api/preview");
	const std::string console = testing::internal::GetCapturedStdout();
	EXPECT_EQ(answer.status, 500);
	EXPECT_EQ(answer.body, errorBody("Internal server error"));
	expectJsonHeaders(answer);
	EXPECT_EQ(answer.headerCount("EXCEPTION_WHAT"), 0u);
	std::string what = std::filesystem::filesystem_error("exists", picture,
							     std::make_error_code(std::errc::too_many_symbolic_link_levels))
				   .what();
	std::replace(what.begin(), what.end(), '\r', ' ');
	std::replace(what.begin(), what.end(), '\n', ' ');
	EXPECT_EQ(console, "[API] GET /api/preview failed: " + what + "\n");
	EXPECT_EQ(request("GET", "/api/health").status, 200);
}

// Every failure under /api/ is the API's error object, the library's own
// included; a path with a control character is refused wherever it points.
TEST_F(ApiServerTest, ApiFailuresAreErrorObjectsAndControlCharactersArePathsNowhere)
{
	std::filesystem::create_directories(directory_.path() / "WEB");
	test::writeFile(directory_.path() / "WEB" / "index.html", "<html>page</html>");
	startServer();

	for (const auto &[method, path] : { std::pair{ "GET", "/api/nothing" }, std::pair{ "POST", "/api/health" },
					    std::pair{ "GET", "/api" } }) {
		SCOPED_TRACE(std::string(method) + " " + path);
		auto answer = request(method, path);
		EXPECT_EQ(answer.status, 404);
		EXPECT_EQ(answer.body, errorBody("Not found"));
		expectJsonHeaders(answer);
	}
	// Outside the API, the library's answers stay as they are.
	EXPECT_EQ(request("GET", "/nothing.html").body, "");

	for (const std::string path : { "/index.html%00.js", "/index.html%00", "/api/health%0A", "/%7F", "/a%1Bb" }) {
		SCOPED_TRACE(path);
		auto answer = request("GET", path);
		EXPECT_EQ(answer.status, 400);
		EXPECT_EQ(answer.body, errorBody("Request path must not contain control characters"));
		expectJsonHeaders(answer);
	}
	EXPECT_EQ(request("GET", "/index.html").body, "<html>page</html>");
}

TEST_F(ApiServerTest, StaticFilesFromTheWebDirectory)
{
	std::filesystem::create_directories(directory_.path() / "WEB" / "api");
	test::writeFile(directory_.path() / "WEB" / "index.html", "<html>page</html>");
	test::writeFile(directory_.path() / "WEB" / "api" / "health", "shadowed");
	test::writeFile(directory_.path() / "secret.txt", "outside");
	startServer();

	auto page = request("GET", "/");
	EXPECT_EQ(page.status, 200);
	EXPECT_EQ(page.body, "<html>page</html>");
	EXPECT_EQ(page.header("Content-Type"), "text/html");
	EXPECT_EQ(page.header("Access-Control-Allow-Origin"), "*");

	// The library serves HEAD from the mount too, without the file hook.
	auto head = request("HEAD", "/");
	EXPECT_EQ(head.status, 200);
	EXPECT_EQ(head.header("Content-Type"), "text/html");
	EXPECT_EQ(head.headerCount("Access-Control-Allow-Origin"), 0u);

	auto shadow = request("GET", "/api/health");
	EXPECT_EQ(shadow.status, 200);
	EXPECT_EQ(shadow.body, "shadowed");

	for (const std::string path : { "/../secret.txt", "/%2e%2e/secret.txt", "/api/..%2F..%2Fsecret.txt",
					"/%2E%2E%2Fsecret.txt" }) {
		auto escape = request("GET", path);
		EXPECT_NE(escape.status, 200) << path;
		EXPECT_EQ(escape.body.find("outside"), std::string::npos) << path;
	}
}

TEST_F(ApiServerTest, NoWebDirectoryMeansNoStaticFilesForTheWholeRun)
{
	startServer();
	std::filesystem::create_directories(directory_.path() / "WEB");
	test::writeFile(directory_.path() / "WEB" / "index.html", "<html>late</html>");
	auto page = request("GET", "/");
	EXPECT_EQ(page.status, 404);
	EXPECT_EQ(page.body, "");
}

TEST_F(ApiServerTest, PreviewAnswers)
{
	startServer();

	auto none = request("GET", "/api/preview");
	EXPECT_EQ(none.status, 503);
	EXPECT_EQ(none.body, errorBody("Preview not available - no preview file found"));
	expectJsonHeaders(none);
	EXPECT_EQ(none.headerCount("Cache-Control"), 0u);

	std::filesystem::create_directories(previewDirectory());
	test::writeFile(previewDirectory() / "preview.jpg", "");
	auto empty = request("GET", "/api/preview");
	EXPECT_EQ(empty.status, 500);
	EXPECT_EQ(empty.body, errorBody("Preview file is empty"));
	expectJsonHeaders(empty);

	std::filesystem::remove(previewDirectory() / "preview.jpg");
	std::filesystem::create_directory(previewDirectory() / "preview.jpg");
	auto directory = request("GET", "/api/preview");
	EXPECT_EQ(directory.status, 500);
	EXPECT_EQ(directory.body, errorBody("Failed to open preview file"));
	expectJsonHeaders(directory);

	std::filesystem::remove(previewDirectory() / "preview.jpg");
	int status = 0;
	test::runCommand("ffmpeg -v error -f lavfi -i testsrc=size=160x90 -frames:v 1 -y '" +
				 (previewDirectory() / "preview.jpg").string() + "'",
			 &status);
	ASSERT_EQ(status, 0);
	std::string jpeg = test::readFile(previewDirectory() / "preview.jpg");
	ASSERT_GT(jpeg.size(), 100u);
	auto picture = request("GET", "/api/preview");
	EXPECT_EQ(picture.status, 200);
	EXPECT_TRUE(picture.body == jpeg);
	EXPECT_EQ(picture.headerCount("Content-Type"), 1u);
	EXPECT_EQ(picture.header("Content-Type"), "image/jpeg");
	EXPECT_EQ(picture.header("Cache-Control"), "no-cache, no-store, must-revalidate");
	EXPECT_EQ(picture.header("Access-Control-Allow-Origin"), "*");
}

TEST_F(ApiServerTest, ReplacedPreviewIsNeverTorn)
{
	startServer();
	std::filesystem::create_directories(previewDirectory());

	std::vector<std::string> pictures;
	std::mt19937 random(7);
	for (std::size_t size : { 200000u, 90000u, 350000u, 1500u }) {
		std::string bytes(size, '\0');
		for (char &byte : bytes)
			byte = static_cast<char>(random());
		pictures.push_back(bytes);
	}
	replacePicture(previewDirectory(), pictures[0]);

	// The writer replaces the picture without pause until every client has
	// had its answers; the clients start once it is at work.
	std::atomic<bool> finished = false;
	std::atomic<int> replacements = 0;
	std::thread writer([&] {
		for (std::size_t index = 1; !finished; ++index) {
			replacePicture(previewDirectory(), pictures[index % pictures.size()]);
			++replacements;
		}
	});
	EXPECT_TRUE(test::waitUntil([&] { return replacements >= 1; }, test::kGenerousTimeout))
		<< "the writer never ran";

	constexpr int requestsPerClient = 40;
	std::atomic<int> foreign = 0;
	std::vector<std::thread> clients;
	for (int client = 0; client < 8; ++client) {
		clients.emplace_back([&] {
			for (int count = 0; count < requestsPerClient; ++count) {
				auto answer = request("GET", "/api/preview");
				bool known = answer.status == 200 &&
					     std::find(pictures.begin(), pictures.end(), answer.body) != pictures.end();
				if (!known)
					++foreign;
			}
		});
	}
	for (std::thread &client : clients)
		client.join();
	finished = true;
	writer.join();

	EXPECT_EQ(foreign.load(), 0) << "of " << 8 * requestsPerClient << " answers";
}

TEST_F(ApiServerTest, ManyClientsWhileWorkersStartAndStop)
{
	startServer();
	std::filesystem::create_directories(previewDirectory());
	replacePicture(previewDirectory(), "\xff\xd8 picture \xff\xd9");

	std::atomic<bool> finished = false;
	std::atomic<int> malformed = 0;
	std::mutex firstMalformedMutex;
	std::string firstMalformed;
	auto noteMalformed = [&](const std::string &what, const test::RawResponse &answer) {
		++malformed;
		std::lock_guard lock(firstMalformedMutex);
		if (firstMalformed.empty())
			firstMalformed = what + ": " + std::to_string(answer.status) + " " + answer.body;
	};
	// Every client asks without pause until the cycles are done; the cycles
	// begin once each client has had an answer, so that all of them overlap.
	constexpr int clientCount = 16;
	std::atomic<int> clientsAnswered = 0;
	std::vector<std::thread> clients;
	for (int client = 0; client < clientCount; ++client) {
		clients.emplace_back([&, client] {
			for (bool first = true; first || !finished; first = false) {
				if (client % 2) {
					auto status = request("GET", "/api/stream/status");
					if (status.status != 200 || (status.body != "{\n  \"running\": true\n}" &&
								     status.body != "{\n  \"running\": false\n}"))
						noteMalformed("status", status);
				} else {
					auto preview = request("GET", "/api/preview");
					if (preview.status != 200 || preview.body != "\xff\xd8 picture \xff\xd9")
						noteMalformed("preview", preview);
				}
				if (first)
					++clientsAnswered;
			}
		});
	}
	EXPECT_TRUE(test::waitUntil([&] { return clientsAnswered == clientCount; }, test::kGenerousTimeout));

	for (int cycle = 0; cycle < 10; ++cycle) {
		auto started = request("POST", "/api/stream/start", startRequest);
		auto stopped = request("POST", "/api/stream/stop");
		if (started.body != R"({"status":"started"})")
			noteMalformed("start", started);
		if (stopped.body != R"({"status":"stopped"})")
			noteMalformed("stop", stopped);
	}
	finished = true;
	for (std::thread &client : clients)
		client.join();

	EXPECT_EQ(malformed.load(), 0) << firstMalformed;
	EXPECT_FALSE(supervisor_->isRunning());
}
