// The real server against other sites: a page of another site cannot start or
// stop the stream whatever its body, a name rebound to this machine reaches
// nothing, and scripts without an Origin keep working as before.

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/EndToEndSupport.h"
#include "server/RawHttp.h"

using namespace std::chrono_literals;
using namespace tiloran::test;

namespace {

std::string request(const std::string &method, const std::string &path, const std::string &headers,
		    const std::string &body = "")
{
	return method + " " + path + " HTTP/1.1\r\n" + headers + "Connection: close\r\nContent-Length: " +
	       std::to_string(body.size()) + "\r\n\r\n" + body;
}

const std::string ownHost = "Host: 127.0.0.1:3000\r\n";

} // namespace

TEST(SiteCheckEndToEnd, PagesOfOtherSitesCannotStartOrStop)
{
	ServerSession server({ "--test-inputs=2:640x360p25", "--allow-origin", "http://ops.example:8080" });
	SrtRecorder recorder;
	std::string answer;
	ASSERT_TRUE(server.startStream(startRequest(recorder.hostPort(), { { 1, 1 }, { 2, 2 } }), answer)) << answer;
	ASSERT_TRUE(recorder.waitForBytes(100 * 188, 60s)) << server.errors();
	const std::string pid = server.workerPid();

	// What a page of another site can send without a preflight, and JSON.
	const std::string start = startRequest("127.0.0.1:9", { { 1, 1 } }).dump();
	const std::vector<std::pair<std::string, std::string>> bodies = {
		{ "text/plain", start }, { "application/x-www-form-urlencoded", "a=1" }, { "application/json", start }
	};
	for (const auto &[type, body] : bodies) {
		for (const std::string path : { "/api/stream/stop", "/api/stream/start" }) {
			const RawResponse refused = rawExchange(
				3000, request("POST", path, ownHost + "Origin: http://evil.example\r\nContent-Type: " + type + "\r\n",
					      body));
			EXPECT_EQ(refused.status, 403) << path << " " << type;
			EXPECT_EQ(refused.body, "{\n  \"error\": \"Requests from pages of another site are not allowed\"\n}");
			EXPECT_EQ(refused.headerCount("Access-Control-Allow-Origin"), 0U);
		}
	}
	// The stream went on untouched.
	const auto before = recorder.recordedBytes();
	EXPECT_TRUE(recorder.waitForBytes(before + 50 * 188, 30s));
	EXPECT_EQ(server.workerPid(), pid);
	EXPECT_EQ(server.output().find("[API] Stream stop request"), std::string::npos) << server.output();
	EXPECT_EQ(server.output().find("[API] Stream start request: "), server.output().rfind("[API] Stream start request: "));

	// A preflight from another site gets no permission; one from the
	// allowed origin does, and so does what it sends.
	const std::string preflight = "Access-Control-Request-Method: POST\r\n";
	const RawResponse foreign =
		rawExchange(3000, request("OPTIONS", "/api/stream/stop", ownHost + "Origin: http://evil.example\r\n" + preflight));
	EXPECT_EQ(foreign.headerCount("Access-Control-Allow-Origin"), 0U);
	const RawResponse allowed = rawExchange(
		3000, request("OPTIONS", "/api/stream/stop", ownHost + "Origin: http://ops.example:8080\r\n" + preflight));
	EXPECT_EQ(allowed.header("Access-Control-Allow-Origin"), "http://ops.example:8080");
	// Scripts there send a token, the page a CSRF token, both JSON.
	EXPECT_EQ(allowed.header("Access-Control-Allow-Headers"), "Content-Type, Authorization, X-CSRF-Token");
	EXPECT_EQ(allowed.header("Access-Control-Allow-Methods"), "GET, POST, DELETE, OPTIONS");
	const RawResponse status = rawExchange(
		3000, request("GET", "/api/stream/status", ownHost + "Origin: http://ops.example:8080\r\n"));
	EXPECT_EQ(status.body, "{\n  \"running\": true\n}");
	EXPECT_EQ(status.header("Access-Control-Allow-Origin"), "http://ops.example:8080");
	// This server's own page may.
	const RawResponse ownPage =
		rawExchange(3000, request("POST", "/api/stream/start", ownHost + "Origin: http://127.0.0.1:3000\r\n"));
	EXPECT_EQ(ownPage.status, 400) << ownPage.body;

	// A script's bare stop, without Origin or body, stops as it always did.
	const std::string curl = "curl -s -o " + (server.directory() / "stop.json").string() +
				 " -X POST http://127.0.0.1:3000/api/stream/stop";
	ASSERT_EQ(std::system(curl.c_str()), 0);
	EXPECT_EQ(readFile(server.directory() / "stop.json"), R"({"status":"stopped"})");
	EXPECT_TRUE(server.waitForRunning(false, kGenerousTimeout));
	recorder.stop();
}

TEST(SiteCheckEndToEnd, ANameReboundToThisMachineReachesNothing)
{
	ServerSession server({ "--test-inputs=1:640x360p25", "--allow-host=encoder.example" });
	nlohmann::json start = startRequest("127.0.0.1:" + std::to_string(freeUdpPort()), { { 1, 1 } });
	start["srtPassphrase"] = "rebinding-passphrase";
	std::string answer;
	ASSERT_TRUE(server.startStream(start, answer)) << answer;

	for (const std::string host : { "evil.example:3000", "evil.example", "127.0.0.1.evil.example:3000", "[::2]:3000" }) {
		for (const std::string method : { "GET", "POST", "OPTIONS", "HEAD" }) {
			for (const std::string path : { "/api/health", "/api/config", "/api/worker/config", "/api/stream/status",
							"/api/stream/stats", "/api/preview", "/metrics", "/api/stream/start",
							"/api/stream/stop", "/", "/index.html" }) {
				const RawResponse refused = rawExchange(3000, request(method, path, "Host: " + host + "\r\n"));
				EXPECT_EQ(refused.status, 421) << method << " " << path << " " << host;
				if (method != "HEAD") {
					EXPECT_EQ(refused.body, "{\n  \"error\": \"Host is not a name of this server\"\n}");
				}
			}
		}
	}
	EXPECT_EQ(server.output().find("[API] Stream stop request"), std::string::npos);

	// The server's own names, and the allowed one, are served; another
	// program on this machine gets the document without its secret.
	for (const std::string host : { "localhost:3000", "127.0.0.1", "[::1]:3000", "encoder.example:3000", "ENCODER.example" }) {
		const RawResponse served = rawExchange(3000, request("GET", "/api/worker/config", "Host: " + host + "\r\n"));
		EXPECT_EQ(served.status, 200) << host;
		EXPECT_EQ(served.body.find("rebinding-passphrase"), std::string::npos);
		EXPECT_NE(served.body.find("\"passphrase\": \"***\""), std::string::npos) << served.body;
	}
	// The worker, with the key it was given, read the passphrase: its
	// console shows it hidden, as it hides what it was given.
	EXPECT_TRUE(server.process().waitForOutput("[Worker] Worker config loaded successfully\n", kGenerousTimeout));
	EXPECT_EQ(server.output().find("rebinding-passphrase"), std::string::npos);
}
