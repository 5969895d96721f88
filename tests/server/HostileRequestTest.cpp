// The API server in-process against requests meant to hurt it: oversized,
// deeply nested, slow, idle, not UTF-8, and requests after its secrets.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "api/ApiServer.h"
#include "config/ConfigManager.h"
#include "server/ConfigManagerTestSupport.h"
#include "server/RawHttp.h"
#include "supervision/WorkerSupervisor.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;

namespace tiloran::test {
namespace {

const std::string passphrase = "correct-horse-battery";
const std::string startRequest = R"({"srtHostPort":"127.0.0.1:9000","videoBitrate":6,"audioBitrate":128,)"
				 R"("codec":"libx264","srtPassphrase":")" +
				 passphrase + R"(","devices":["test-1","test-2"]})";

std::string post(const std::string &target, const std::string &body)
{
	return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Type: application/json\r\n" +
	       "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// extra: what the answer has besides the error (a refused start's code and field).
void expectApiError(const RawResponse &answer, int status, const std::string &message,
		    const nlohmann::json &extra = nlohmann::json::object())
{
	EXPECT_EQ(answer.status, status);
	nlohmann::json error = extra;
	error["error"] = message;
	EXPECT_EQ(answer.body, error.dump(2));
	EXPECT_EQ(answer.header("Content-Type"), "application/json");
	EXPECT_EQ(answer.header("Access-Control-Allow-Origin"), "*");
}

class HostileRequestTest : public ::testing::Test
{
protected:
	HostileRequestTest() : environment_(directory_.path()), workingDirectory_(directory_.path())
	{
		config_ = std::make_shared<ConfigManager>(true, TestInputs{ 2, "640x360p25" });
		supervisor_ = std::make_shared<WorkerSupervisor>(standInWorkerProgram().string());
		// Another program may take the free port first: the server is ours
		// when it names this test's files.
		const std::string ownPath = directory_.path().string();
		for (int attempt = 0; attempt < 5 && !serving(); ++attempt) {
			server_ = std::make_unique<ApiServer>(config_, supervisor_);
			port_ = freeTcpPort();
			servingEnded_ = false;
			serving_ = std::thread([this] {
				server_->run("127.0.0.1", port_);
				servingEnded_ = true;
			});
			// A server that cannot listen ends its run at once.
			const auto ours = [&] {
				return rawRequest(port_, "GET", "/api/config").status == 200 &&
				       config_->workerConfigPath().rfind(ownPath, 0) == 0;
			};
			if (waitUntil([&] { return servingEnded_ || ours(); }, kGenerousTimeout) && ours())
				break;
			endServing();
		}
	}

	~HostileRequestTest() override
	{
		if (server_)
			endServing();
		std::string ignored;
		supervisor_->stop(ignored);
	}

	bool serving() const { return server_ && !servingEnded_; }

	void endServing()
	{
		while (!servingEnded_) {
			server_->stop();
			std::this_thread::sleep_for(10ms);
		}
		serving_.join();
		server_.reset();
	}

	RawResponse exchange(const std::string &request) { return rawExchange(port_, request); }

	std::filesystem::path workerConfigFile() const { return config_->workerConfigPath(); }

	TemporaryDirectory directory_;
	NeutralEnvironment environment_;
	ScopedWorkingDirectory workingDirectory_;
	std::shared_ptr<ConfigManager> config_;
	std::shared_ptr<WorkerSupervisor> supervisor_;
	std::unique_ptr<ApiServer> server_;
	std::thread serving_;
	std::atomic<bool> servingEnded_ = true;
	int port_ = 0;
};

TEST_F(HostileRequestTest, OversizedBodiesAndHeadersAreRefusedBeforeTheyAreRead)
{
	ASSERT_TRUE(serving());
	testing::internal::CaptureStdout();

	// Half a gigabyte announced: the answer comes without a byte of it sent.
	RawConnection huge(port_);
	ASSERT_TRUE(huge.send("POST /api/stream/start HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 524288000\r\n\r\n"));
	expectApiError(huge.readAnswer(30s), 413, "Request body is larger than 1048576 bytes");

	// A chunked body that grows past the limit.
	RawConnection chunked(port_);
	ASSERT_TRUE(chunked.send("POST /api/stream/start HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n"));
	for (int chunk = 0; chunk < 20; ++chunk)
		chunked.send("10000\r\n" + std::string(0x10000, ' ') + "\r\n");
	expectApiError(chunked.readAnswer(30s), 413, "Request body is larger than 1048576 bytes");

	// Headers of 70 KiB, in lines of 4 KiB.
	std::string padding;
	for (int line = 0; line < 18; ++line)
		padding += "X-Padding-" + std::to_string(line) + ": " + std::string(4000, 'p') + "\r\n";
	const std::string headersMessage = "Request headers are larger than 65536 bytes or have a line longer than 8192 bytes";
	expectApiError(exchange("GET /api/health HTTP/1.1\r\nHost: 127.0.0.1\r\n" + padding + "\r\n"), 431, headersMessage);

	// One line beyond the HTTP library's line limit, with the request line
	// or a header line still coming: refused at once, not left to run out
	// of the time for a whole request (408).
	for (const std::string &start : { "GET /" + std::string(9000, 'u'),
					   "GET /api/health HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Long: " + std::string(9000, 'p') }) {
		RawConnection longLine(port_);
		ASSERT_TRUE(longLine.send(start));
		expectApiError(longLine.readAnswer(30s), 431, headersMessage);
	}
	// Up to the limit, the request is the library's to judge.
	EXPECT_EQ(exchange("GET /api/health HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Long: " + std::string(8170, 'p') + "\r\n\r\n").status,
		  200);

	// The body at the limit is read, and the console shows 4 KiB of it.
	std::string padded = startRequest;
	padded.insert(1, std::string(1024 * 1024 - startRequest.size(), ' '));
	const RawResponse started = exchange(post("/api/stream/start", padded));
	EXPECT_EQ(started.body, R"({"status":"started"})");

	const std::string console = testing::internal::GetCapturedStdout();
	EXPECT_EQ(console.find("[API] Stream start request: POST"), std::string::npos);
	const std::string logged = "[API] Stream start request: {" + std::string(4095, ' ') + "... (1048576 bytes)\n";
	EXPECT_NE(console.find(logged), std::string::npos) << console.substr(0, 300);
	EXPECT_EQ(exchange(post("/api/stream/stop", "")).body, R"({"status":"stopped"})");
}

TEST_F(HostileRequestTest, DeeplyNestedJsonIsRefusedAndNothingIsWritten)
{
	ASSERT_TRUE(serving());
	testing::internal::CaptureStdout();
	for (std::size_t depth : { 33u, 10000u, 100000u }) {
		std::string request = startRequest;
		request.replace(request.find("6,"), 1, std::string(depth, '['));
		expectApiError(exchange(post("/api/stream/start", request)), 400,
			       "Invalid JSON request body: nested deeper than 32 levels", { { "code", "request.json.invalid" } });
	}
	// Thirty-two levels are parsed, and judged for what they hold.
	std::string request = startRequest;
	request.replace(request.find("6,"), 1, std::string(31, '[') + std::string(31, ']'));
	expectApiError(exchange(post("/api/stream/start", request)), 400,
		       "Field videoBitrate must be a number greater than zero",
		       { { "code", "request.field.invalid" }, { "field", "videoBitrate" } });
	testing::internal::GetCapturedStdout();

	EXPECT_FALSE(std::filesystem::exists(workerConfigFile()));
	EXPECT_FALSE(supervisor_->isRunning());
	EXPECT_EQ(rawRequest(port_, "GET", "/api/health").status, 200);
}

TEST_F(HostileRequestTest, SlowAndIdleClientsCannotHoldTheApi)
{
	ASSERT_TRUE(serving());
	// Each connection takes a descriptor on both ends, in this one process.
	rlimit limit{};
	getrlimit(RLIMIT_NOFILE, &limit);
	limit.rlim_cur = limit.rlim_max;
	setrlimit(RLIMIT_NOFILE, &limit);
	getrlimit(RLIMIT_NOFILE, &limit);
	ASSERT_GE(limit.rlim_cur, 1400u) << "too few descriptors for the test";

	std::vector<std::unique_ptr<RawConnection>> idle;
	for (int index = 0; index < 500; ++index) {
		idle.push_back(std::make_unique<RawConnection>(port_));
		ASSERT_TRUE(idle.back()->connected());
	}
	// Slow clients send one header line at a time, never the end.
	std::vector<std::unique_ptr<RawConnection>> slow;
	for (int index = 0; index < 50; ++index) {
		slow.push_back(std::make_unique<RawConnection>(port_));
		ASSERT_TRUE(slow.back()->send("POST /api/stream/start HTTP/1.1\r\n"));
	}
	std::atomic<bool> trickling = true;
	std::thread trickle([&] {
		for (int line = 0; trickling; ++line) {
			// Once answered, a client that went on sending would be
			// reset, its answer unread.
			for (auto &connection : slow) {
				if (!connection->heardFromServer())
					connection->send("X-Line-" + std::to_string(line) + ": 1\r\n");
			}
			std::this_thread::sleep_for(500ms);
		}
	});

	// The API answers while every one of them is still connected: it did
	// not wait for any of them to be dropped.
	const auto before = std::chrono::steady_clock::now();
	const RawResponse health = rawRequest(port_, "GET", "/api/health");
	const RawResponse stop = exchange(post("/api/stream/stop", ""));
	const auto answered = std::chrono::steady_clock::now() - before;
	std::size_t stillOpen = 0;
	for (auto &connection : idle)
		stillOpen += connection->closedByServer() ? 0 : 1;
	EXPECT_EQ(health.status, 200);
	EXPECT_EQ(stop.status, 200);
	EXPECT_EQ(stillOpen, idle.size());
	std::cout << "[ measure  ] health and stop answered in "
		  << std::chrono::duration_cast<std::chrono::milliseconds>(answered).count()
		  << " ms with 500 idle and 50 slow connections open\n";

	// The server lets none of them stay: the idle ones are closed without a
	// word, the slow ones are told why.
	EXPECT_TRUE(waitUntil([&] {
		for (auto &connection : idle) {
			if (!connection->closedByServer())
				return false;
		}
		return true;
	}, 60s));
	trickling = false;
	trickle.join();
	for (auto &connection : slow) {
		const RawResponse answer = parseRawResponse(connection->readUntilClosed(60s));
		expectApiError(answer, 408, "Request did not arrive whole within 5 s");
	}
}

TEST_F(HostileRequestTest, KeptAliveAndContinuedRequestsAreAnswered)
{
	ASSERT_TRUE(serving());
	// Two requests in one write, on one connection.
	RawConnection connection(port_);
	ASSERT_TRUE(connection.send("GET /api/health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\nGET /api/stream/status HTTP/1.1\r\n"
				    "Host: 127.0.0.1\r\n\r\n"));
	EXPECT_EQ(connection.readAnswer(30s).body, R"({"status":"ok","service":"tiloran-server"})");
	EXPECT_EQ(connection.readAnswer(30s).body, "{\n  \"running\": false\n}");
	ASSERT_TRUE(connection.send("GET /api/health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
	EXPECT_EQ(connection.readAnswer(30s).status, 200);

	// A client that waits for "100 Continue" before its body gets it once.
	RawConnection waiting(port_);
	ASSERT_TRUE(waiting.send("POST /api/stream/stop HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 100-continue\r\n"
				 "Content-Length: 2\r\nConnection: close\r\n\r\n"));
	EXPECT_EQ(waiting.readHeaderBlock(30s), "HTTP/1.1 100 Continue\r\n\r\n");
	ASSERT_TRUE(waiting.send("{}"));
	const std::string rest = waiting.readUntilClosed(30s);
	EXPECT_EQ(rest.find("100 Continue"), std::string::npos) << rest;
	EXPECT_EQ(parseRawResponse(rest).status, 200) << rest;

	// Framing that two readers could read differently is refused.
	expectApiError(exchange("POST /api/stream/stop HTTP/1.1\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n"
				"0\r\n\r\n"),
		       400, "Malformed request: the length of its body cannot be told");
}

TEST_F(HostileRequestTest, ThePassphraseStaysOffTheConsoleAndAwayFromOtherClients)
{
	ASSERT_TRUE(serving());
	testing::internal::CaptureStdout();
	// Escapes in the key, and a line break that would start a forged line.
	const std::string escaped = R"({"srt\u0050assphrase" : "second-passphrase", "note": "a)" "\n"
				    R"([WorkerSupervisor] forged"})";
	EXPECT_EQ(exchange(post("/api/stream/start", escaped)).status, 400);
	EXPECT_EQ(exchange(post("/api/stream/start", startRequest)).body, R"({"status":"started"})");
	const std::string console = testing::internal::GetCapturedStdout();
	EXPECT_EQ(console.find(passphrase), std::string::npos) << console;
	EXPECT_EQ(console.find("second-passphrase"), std::string::npos) << console;
	EXPECT_NE(console.find(R"("srtPassphrase":"***")"), std::string::npos) << console;
	EXPECT_NE(console.find(R"({"srt\u0050assphrase" : "***", "note": "a [WorkerSupervisor] forged"})"),
		  std::string::npos)
		<< console;
	EXPECT_EQ(console.find("\n[WorkerSupervisor] forged"), std::string::npos);

	// The worker, with the key it is given at launch, reads it.
	const std::string worker = "GET /api/worker/config HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
				   "X-Worker-Key: " + supervisor_->workerKey() + "\r\n\r\n";
	const nlohmann::json forWorker = nlohmann::json::parse(exchange(worker).body);
	EXPECT_EQ(forWorker["srt"]["passphrase"], passphrase);
	EXPECT_NE(forWorker["srt_uri"].get<std::string>().find("&passphrase=" + passphrase), std::string::npos);
	// Another program on this machine, without the key or with a wrong
	// one, does not.
	const nlohmann::json withoutKey = nlohmann::json::parse(rawRequest(port_, "GET", "/api/worker/config").body);
	EXPECT_EQ(withoutKey["srt"]["passphrase"], "***");
	std::string wrongKey = worker;
	wrongKey[wrongKey.find(supervisor_->workerKey())] ^= 1;
	EXPECT_EQ(nlohmann::json::parse(exchange(wrongKey).body)["srt"]["passphrase"], "***");

	// A page of another site, even in a browser on this machine, does not.
	const RawResponse fromPage = exchange("GET /api/worker/config HTTP/1.1\r\nHost: 127.0.0.1\r\n"
					      "Origin: http://elsewhere.example\r\nConnection: close\r\n\r\n");
	EXPECT_EQ(fromPage.status, 200);
	EXPECT_EQ(fromPage.headerCount("Access-Control-Allow-Origin"), 0U);
	EXPECT_EQ(fromPage.body.find(passphrase), std::string::npos);
	const nlohmann::json forPage = nlohmann::json::parse(fromPage.body);
	EXPECT_EQ(forPage["srt"]["passphrase"], "***");
	EXPECT_EQ(forPage["srt_uri"], "srt://127.0.0.1:9000?mode=caller&latency=120&passphrase=***");
	EXPECT_EQ(forPage["srt"]["host_port"], forWorker["srt"]["host_port"]);

	// Nor does a client on another machine.
	const std::string remote = server_->answer("GET /api/worker/config HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "10.0.0.5");
	const RawResponse fromAfar = parseRawResponse(remote);
	EXPECT_EQ(fromAfar.status, 200);
	EXPECT_EQ(fromAfar.body.find(passphrase), std::string::npos);
	EXPECT_EQ(nlohmann::json::parse(fromAfar.body)["srt"]["passphrase"], "***");
	EXPECT_EQ(fromAfar.header("Access-Control-Allow-Origin"), "*");

	EXPECT_EQ(exchange(post("/api/stream/stop", "")).body, R"({"status":"stopped"})");
}

// A passphrase of another JSON type is refused, and masked whole on the
// console all the same: an array, an object holding strings and brackets, a
// number, a word, and one cut off by the end of the body.
TEST_F(HostileRequestTest, ThePassphraseIsMaskedWhateverItsType)
{
	ASSERT_TRUE(serving());
	const std::string base = R"({"srtHostPort":"127.0.0.1:9000","videoBitrate":6,"audioBitrate":128,"codec":"libx264",)"
				 R"("devices":["test-1"],"srtPassphrase":)";
	const std::pair<std::string, std::string> cases[] = {
		{ R"(["SECRETpass123"]})", R"("srtPassphrase":"***"})" },
		{ R"({"a":["SECRET]pass"],"b":"SECRET}x"}, "note":"kept"})", R"("srtPassphrase":"***", "note":"kept"})" },
		{ R"(98765432109876})", R"("srtPassphrase":"***"})" },
		{ R"(SECRETword})", R"("srtPassphrase":"***"})" },
		{ R"(["SECRETcut)", R"("srtPassphrase":"***")" },
	};
	for (const auto &[value, shown] : cases) {
		SCOPED_TRACE(value);
		testing::internal::CaptureStdout();
		const RawResponse answer = exchange(post("/api/stream/start", base + value));
		const std::string console = testing::internal::GetCapturedStdout();
		EXPECT_EQ(answer.status, 400);
		EXPECT_EQ(answer.body.find("SECRET"), std::string::npos) << answer.body;
		EXPECT_EQ(console.find("SECRET"), std::string::npos) << console;
		EXPECT_EQ(console.find("98765432109876"), std::string::npos) << console;
		EXPECT_NE(console.find(shown), std::string::npos) << console;
	}
	EXPECT_FALSE(supervisor_->isRunning());
}

} // namespace
} // namespace tiloran::test
