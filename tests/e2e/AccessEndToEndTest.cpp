// The real server with access on: users and tokens made with its own command
// line, what each role may do, Prometheus scraping with a token, and no
// secret on the console.

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/EndToEndSupport.h"
#include "server/RawHttp.h"

using namespace std::chrono_literals;
using namespace tiloran::test;

namespace {

const std::string password = "correct horse battery staple";

// Runs tiloran_server with arguments and the given standard input, its
// settings below configHome; the output, with the exit status in status.
std::string runServerCommand(const std::filesystem::path &configHome, const std::string &arguments,
			     const std::string &input, int &status)
{
	return runCommand("printf '%s\\n' '" + input + "' | XDG_CONFIG_HOME='" + configHome.string() + "' '" +
				  serverProgram().string() + "' " + arguments + " 2>&1",
			  &status);
}

std::string tokenIn(const std::string &output)
{
	std::smatch match;
	static const std::regex token("\n(tlr_[0-9a-f]{64})\n");
	return std::regex_search(output, match, token) ? match[1].str() : "";
}

RawResponse call(const std::string &method, const std::string &path, const std::string &token = "",
		 const std::string &body = "")
{
	std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:3000\r\nConnection: close\r\n";
	if (!token.empty())
		request += "Authorization: Bearer " + token + "\r\n";
	request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
	return rawExchange(3000, request);
}

} // namespace

TEST(AccessEndToEnd, RolesTokensAndPrometheus)
{
	TemporaryDirectory home;
	int status = -1;
	const std::string userAdded =
		runServerCommand(home.path(), "--add-user ada --role operator", password, status);
	ASSERT_EQ(status, 0) << userAdded;
	EXPECT_EQ(runServerCommand(home.path(), "--add-user bob --role chief", password, status).find("tlr_"),
		  std::string::npos);
	EXPECT_NE(status, 0);
	const std::string viewerAdded = runServerCommand(home.path(), "--add-token grafana --role viewer", "", status);
	ASSERT_EQ(status, 0) << viewerAdded;
	const std::string viewer = tokenIn(viewerAdded);
	const std::string operatorToken = tokenIn(runServerCommand(home.path(), "--add-token script --role operator", "", status));
	ASSERT_FALSE(viewer.empty()) << viewerAdded;
	ASSERT_FALSE(operatorToken.empty());

	const std::filesystem::path settings = home.path() / "KV_TILORAN" / "Encoder" / "server_settings.json";
	const std::string stored = readFile(settings);
	EXPECT_EQ(stored.find(password), std::string::npos);
	EXPECT_EQ(stored.find(viewer), std::string::npos);
	EXPECT_EQ(std::filesystem::status(settings).permissions() & std::filesystem::perms::all,
		  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

	ServerSession server({ "--test-inputs=1:640x360p25", "--access-default=on" }, ServerSession::UserMode{ home.path() });
	EXPECT_NE(server.output().find("[Access] Access control is on: 1 user, 2 tokens\n"), std::string::npos)
		<< server.output();

	// Nothing but the health check without credentials, nor with a wrong token.
	SrtRecorder recorder;
	const std::string start = startRequest(recorder.hostPort(), { { 1, 1 } }).dump();
	EXPECT_EQ(call("GET", "/api/health").status, 200);
	for (const std::string &token : { std::string(), "tlr_" + std::string(64, '0'), viewer + "0" }) {
		for (const auto &[method, path] : std::vector<std::pair<std::string, std::string>>{
			     { "GET", "/api/config" }, { "GET", "/api/stream/status" }, { "GET", "/api/stream/stats" },
			     { "GET", "/api/preview" }, { "GET", "/metrics" }, { "GET", "/api/worker/config" },
			     { "POST", "/api/stream/start" }, { "POST", "/api/stream/stop" }, { "GET", "/api/unknown" } }) {
			const RawResponse refused = call(method, path, token, method == "POST" ? start : "");
			EXPECT_EQ(refused.status, 401) << method << " " << path;
			EXPECT_EQ(refused.body, "{\n  \"error\": \"Login required\"\n}");
		}
	}
	// Static files stay open (none here: the library's 404, not a refusal).
	EXPECT_EQ(call("GET", "/index.html").status, 404);

	// A viewer reads but does not control.
	EXPECT_EQ(call("GET", "/api/stream/stats", viewer).status, 200);
	EXPECT_EQ(call("GET", "/metrics", viewer).status, 200);
	EXPECT_EQ(call("GET", "/api/worker/config", viewer).status, 403);
	// Recordings: a viewer lists and downloads, only an operator deletes.
	EXPECT_EQ(call("GET", "/api/recordings", viewer).status, 200);
	EXPECT_EQ(call("GET", "/api/recordings/20261209-130405_stream.ts", viewer).status, 404);
	EXPECT_EQ(call("DELETE", "/api/recordings/20261209-130405_stream.ts", viewer).status, 403);
	EXPECT_EQ(call("DELETE", "/api/recordings/20261209-130405_stream.ts", operatorToken).status, 404);
	for (const std::string path : { "/api/stream/start", "/api/stream/stop" }) {
		const RawResponse refused = call("POST", path, viewer, start);
		EXPECT_EQ(refused.status, 403);
		EXPECT_EQ(refused.body, "{\n  \"error\": \"The role viewer may not do this\"\n}");
	}

	// An operator starts and stops; the worker, with its key, still reads its
	// configuration.
	EXPECT_EQ(call("POST", "/api/stream/start", operatorToken, start).body, R"({"status":"started"})");
	ASSERT_TRUE(recorder.waitForBytes(50 * 188, 60s)) << server.errors();
	EXPECT_TRUE(server.process().waitForOutput("[API] Stream start request by script: ", kGenerousTimeout));

	// Prometheus scrapes with the viewer's token from a file.
	TemporaryDirectory prometheusHome;
	writeFile(prometheusHome.path() / "token", viewer + "\n");
	const std::string scrapeConfig = "global:\n  scrape_interval: 1s\nscrape_configs:\n"
					 "  - job_name: tiloran\n    authorization:\n      type: Bearer\n"
					 "      credentials_file: " + (prometheusHome.path() / "token").string() + "\n" +
					 "    static_configs:\n      - targets: ['127.0.0.1:3000']\n";
	writeFile(prometheusHome.path() / "prometheus.yml", scrapeConfig);
	const int prometheusPort = freeTcpPort();
	ChildProcess prometheus("/usr/bin/prometheus",
				{ "--config.file=" + (prometheusHome.path() / "prometheus.yml").string(),
				  "--storage.tsdb.path=" + (prometheusHome.path() / "data").string(),
				  "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort) });
	httplib::Client query("127.0.0.1", prometheusPort);
	const bool scraped = waitUntil(
		[&] {
			const httplib::Result result = query.Get("/api/v1/query?query=tiloran_stream_running");
			return result && result->body.find(R"("value":[)") != std::string::npos &&
			       result->body.find(R"(,"1"]})") != std::string::npos;
		},
		kGenerousTimeout);
	EXPECT_TRUE(scraped) << prometheus.standardError();

	EXPECT_EQ(call("POST", "/api/stream/stop", operatorToken).body, R"({"status":"stopped"})");
	EXPECT_TRUE(server.process().waitForOutput("[API] Stream stop request by script\n", kGenerousTimeout));
	server.useToken(viewer);
	EXPECT_TRUE(server.waitForRunning(false, kGenerousTimeout));
	recorder.stop();

	const std::string console = server.output() + server.errors() + userAdded;
	for (const std::string &secret : { password, viewer, operatorToken })
		EXPECT_EQ(console.find(secret), std::string::npos) << console;
}

TEST(AccessEndToEnd, PageLoginsAreSessionsWithCsrfAndGuessingIsSlowed)
{
	TemporaryDirectory home;
	int status = -1;
	runServerCommand(home.path(), "--add-user ada --role operator", password, status);
	ASSERT_EQ(status, 0);
	ServerSession server({ "--test-inputs=1:640x360p25", "--access-default=on" }, ServerSession::UserMode{ home.path() });

	const auto login = [](const std::string &name, const std::string &secret) {
		const std::string body = nlohmann::json{ { "name", name }, { "password", secret } }.dump();
		return call("POST", "/api/login", "", body);
	};
	// Ten wrong passwords: the first five at once, the rest each answered
	// no sooner than the set delay (2 s).
	std::chrono::steady_clock::duration tenth{};
	for (int attempt = 1; attempt <= 10; ++attempt) {
		const auto sent = std::chrono::steady_clock::now();
		const RawResponse refused = login("ada", "wrong password " + std::to_string(attempt));
		tenth = std::chrono::steady_clock::now() - sent;
		EXPECT_EQ(refused.status, 401);
		EXPECT_EQ(refused.body, "{\n  \"error\": \"Wrong name or password\"\n}");
	}
	EXPECT_GE(tenth, 2s);
	// A body nested too deep to parse safely is refused, not followed down.
	EXPECT_EQ(call("POST", "/api/login", "", std::string(100000, '[')).status, 400);

	// The right one opens a session: an HttpOnly, SameSite=Strict cookie and
	// a CSRF token that every POST of the page repeats.
	const RawResponse opened = login("ada", password);
	ASSERT_EQ(opened.status, 200) << opened.body;
	const std::string setCookie = opened.header("Set-Cookie");
	EXPECT_NE(setCookie.find("; Path=/; HttpOnly; SameSite=Strict"), std::string::npos) << setCookie;
	const std::string cookie = setCookie.substr(0, setCookie.find(';'));
	const std::string csrf = nlohmann::json::parse(opened.body)["csrfToken"];
	const auto withSession = [&](const std::string &method, const std::string &path, const std::string &extra) {
		return rawExchange(3000, method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:3000\r\nConnection: close\r\n" +
						 "Cookie: " + cookie + "\r\n" + extra + "Content-Length: 0\r\n\r\n");
	};
	EXPECT_EQ(withSession("GET", "/api/stream/stats", "").status, 200);
	EXPECT_NE(withSession("GET", "/api/session", "").body.find("\"name\": \"ada\""), std::string::npos);
	const RawResponse forged = withSession("POST", "/api/stream/stop", "");
	EXPECT_EQ(forged.status, 403);
	EXPECT_EQ(forged.body, "{\n  \"error\": \"Missing or wrong CSRF token\"\n}");
	EXPECT_EQ(withSession("POST", "/api/stream/stop", "X-CSRF-Token: " + csrf + "\r\n").status, 200);
	const std::string events = withSession("GET", "/api/stream/stats", "").body;
	EXPECT_NE(events.find("Failed login as ada from 127.0.0.1"), std::string::npos) << events;
	EXPECT_NE(events.find("Login of ada (operator) from 127.0.0.1"), std::string::npos);
	EXPECT_EQ(withSession("POST", "/api/logout", "X-CSRF-Token: " + csrf + "\r\n").status, 200);
	EXPECT_EQ(withSession("GET", "/api/stream/stats", "").status, 401);

	// Every attempt is on the console and among the events, with the name
	// and never the password.
	const std::string console = server.output();
	EXPECT_NE(console.find("[Access] Failed login as ada from 127.0.0.1\n"), std::string::npos) << console;
	EXPECT_NE(console.find("[Access] Login of ada (operator) from 127.0.0.1\n"), std::string::npos);
	EXPECT_NE(console.find("[API] Stream stop request by ada\n"), std::string::npos);
	EXPECT_NE(console.find("[Access] Logout of ada\n"), std::string::npos);
	EXPECT_EQ(console.find("wrong password"), std::string::npos);
	EXPECT_EQ(console.find(password), std::string::npos);
	EXPECT_EQ(console.find(csrf), std::string::npos);
}

TEST(AccessEndToEnd, AdminsManageUsersAndTokensWhileTheServerRuns)
{
	TemporaryDirectory home;
	int status = -1;
	runServerCommand(home.path(), "--add-user root --role admin", password, status);
	ASSERT_EQ(status, 0);
	runServerCommand(home.path(), "--add-user ada --role operator", password, status);
	ASSERT_EQ(status, 0);
	ServerSession server({ "--test-inputs=1:640x360p25", "--access-default=on" }, ServerSession::UserMode{ home.path() });

	struct Login {
		std::string cookie;
		std::string csrf;
	};
	const auto logIn = [](const std::string &name, const std::string &secret, Login &login) {
		const RawResponse opened =
			call("POST", "/api/login", "", nlohmann::json{ { "name", name }, { "password", secret } }.dump());
		if (opened.status != 200)
			return false;
		login.cookie = opened.header("Set-Cookie").substr(0, opened.header("Set-Cookie").find(';'));
		login.csrf = nlohmann::json::parse(opened.body)["csrfToken"];
		return true;
	};
	const auto as = [](const Login &login, const std::string &method, const std::string &path,
			   const std::string &body = "") {
		return rawExchange(3000, method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:3000\r\nConnection: close\r\n" +
						 "Cookie: " + login.cookie + "\r\nX-CSRF-Token: " + login.csrf +
						 "\r\nContent-Type: application/json\r\nContent-Length: " +
						 std::to_string(body.size()) + "\r\n\r\n" + body);
	};
	Login root;
	Login ada;
	ASSERT_TRUE(logIn("root", password, root));
	ASSERT_TRUE(logIn("ada", password, ada));

	// An operator may not.
	const std::string bob = R"({"name":"bob","password":"bob's long password","role":"viewer"})";
	EXPECT_EQ(as(ada, "GET", "/api/access/users").status, 403);
	EXPECT_EQ(as(ada, "POST", "/api/access/users", bob).status, 403);
	EXPECT_EQ(as(ada, "DELETE", "/api/access/users/root").status, 403);

	// Names and roles, never a hash.
	const RawResponse listed = as(root, "GET", "/api/access/users");
	EXPECT_EQ(nlohmann::json::parse(listed.body),
		  nlohmann::json::parse(R"({"users":[{"name":"root","role":"admin"},{"name":"ada","role":"operator"}]})"));

	// A user added by the admin logs in at once.
	EXPECT_EQ(as(root, "POST", "/api/access/users", R"({"name":"bob","password":"short","role":"viewer"})").status, 400);
	EXPECT_EQ(as(root, "POST", "/api/access/users", bob).status, 200);
	Login bobLogin;
	EXPECT_TRUE(logIn("bob", "bob's long password", bobLogin));

	// A token works from its creation until its revocation.
	const RawResponse created = as(root, "POST", "/api/access/tokens", R"({"name":"ci","role":"operator"})");
	ASSERT_EQ(created.status, 200) << created.body;
	const std::string token = nlohmann::json::parse(created.body)["token"];
	EXPECT_EQ(call("POST", "/api/stream/stop", token).status, 200);
	EXPECT_EQ(as(root, "GET", "/api/access/tokens").body.find("tlr_"), std::string::npos);
	EXPECT_EQ(as(root, "DELETE", "/api/access/tokens/ci").status, 200);
	EXPECT_EQ(call("POST", "/api/stream/stop", token).status, 401);
	EXPECT_EQ(as(root, "DELETE", "/api/access/tokens/ci").status, 404);

	// The last admin stays one; a removed user's session ends.
	EXPECT_EQ(as(root, "DELETE", "/api/access/users/root").status, 409);
	EXPECT_EQ(as(root, "POST", "/api/access/users",
		     nlohmann::json{ { "name", "root" }, { "password", password }, { "role", "operator" } }.dump())
			  .status,
		  409);
	EXPECT_EQ(as(ada, "GET", "/api/stream/status").status, 200);
	EXPECT_EQ(as(root, "DELETE", "/api/access/users/ada").status, 200);
	EXPECT_EQ(as(ada, "GET", "/api/stream/status").status, 401);
	EXPECT_FALSE(logIn("ada", password, ada));

	// Saved, owner-only, without secrets; every change on the console and
	// among the events with the admin's name.
	const std::filesystem::path settings = home.path() / "KV_TILORAN" / "Encoder" / "server_settings.json";
	const std::string stored = readFile(settings);
	EXPECT_NE(stored.find("\"bob\""), std::string::npos);
	EXPECT_EQ(stored.find("\"ada\""), std::string::npos);
	EXPECT_EQ(std::filesystem::status(settings).permissions() & std::filesystem::perms::all,
		  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
	const std::string events = as(root, "GET", "/api/stream/stats").body;
	for (const std::string line : { "User bob (viewer) saved by root", "Token ci (operator) created by root",
					"Token ci revoked by root", "User ada removed by root" }) {
		EXPECT_NE(server.output().find("[Access] " + line + "\n"), std::string::npos) << line << server.output();
		EXPECT_NE(events.find(line), std::string::npos) << line;
	}
	for (const std::string &secret : { password, std::string("bob's long password"), token })
		EXPECT_EQ((server.output() + server.errors() + stored).find(secret), std::string::npos);
}
