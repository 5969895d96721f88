// The real tiloran_server on port 3000 with the fake capture driver and
// test-pattern inputs: the discovery lines, GET /api/config, and the
// malformed --test-inputs option.

#include <chrono>
#include <csignal>
#include <string>

#include <gtest/gtest.h>
#include <httplib.h>

#include "ConfigManagerTestSupport.h"
#include "support/ChildProcess.h"


namespace tiloran::test {
namespace {

constexpr const char *kCards = "name=DeckLink Duo (1),peid=12;name=Playout,no-capture;name=DeckLink Duo (2),peid=34";

class ConfigProgramTest : public testing::Test
{
protected:
	ChildProcess::Options options() const
	{
		ChildProcess::Options options;
		options.workingDirectory = directory_.path();
		options.setEnvironment = { { "TILORAN_DECKLINK_LIBRARY", fakeDriverPath().string() },
					   { "TILORAN_FAKE_DECKLINK_DEVICES", kCards } };
		options.unsetEnvironment = { "TILORAN_UPDATE_URL" };
		return options;
	}

	TemporaryDirectory directory_;
};

TEST_F(ConfigProgramTest, DiscoveryLinesAndClientConfiguration)
{
	ChildProcess server(serverProgram(), { "--test-inputs=2:640x360p25", "portable" }, options());
	ASSERT_TRUE(server.waitForOutput("  POST /api/stream/stop\n", kGenerousTimeout)) << server.standardOutput()
									    << server.standardError();
	const std::string cwd = directory_.path().string();
	const std::string output = server.standardOutput();
	const std::string expected = "[ConfigManager] Config mode: portable\n"
				     "[ConfigManager] Worker config path: " + cwd + "/worker_config.json\n"
				     "[ConfigManager] Preview path: " + cwd + "/preview\n"
				     "[ConfigManager] Recordings path: " + cwd + "/recordings\n"
				     "[ConfigManager] Found 2 DeckLink capture device(s)\n"
				     "[ConfigManager] Test inputs: 2 (640x360p25)\n"
				     "[Server] Starting HTTP server on 0.0.0.0:3000\n";
	EXPECT_NE(output.find(expected), std::string::npos) << output;

	httplib::Client client("127.0.0.1", 3000);
	int status = 0;
	std::string body;
	ASSERT_TRUE(waitUntil(
		[&] {
			httplib::Result answer = client.Get("/api/config");
			if (!answer)
				return false;
			status = answer->status;
			body = answer->body;
			return true;
		},
		kGenerousTimeout));
	EXPECT_EQ(status, 200);

	// The same document the configuration object builds in-process, where it
	// is checked byte for byte.
	NeutralEnvironment environment(directory_.path());
	EnvironmentSettings settings;
	settings.set("TILORAN_DECKLINK_LIBRARY", fakeDriverPath().string()).set("TILORAN_FAKE_DECKLINK_DEVICES", kCards);
	ScopedWorkingDirectory cwdForComparison(directory_.path());
	ConstructedConfig local = constructConfig(true, { 2, "640x360p25" });
	// Which encoders open here comes from the worker, asked once the server listens.
	nlohmann::json served = nlohmann::json::parse(body);
	for (nlohmann::json &codec : served["encoding"]["codecs"])
		codec.erase("available");
	EXPECT_EQ(served.dump(2), local.config->getClientConfig().dump(2));
	const nlohmann::json devices = served["devices"];
	ASSERT_EQ(devices.size(), 4u);
	EXPECT_EQ(devices[0]["id"], "decklink-12");
	EXPECT_EQ(devices[1]["id"], "decklink-34");
	EXPECT_EQ(devices[3]["name"], "Test Input 2 (640x360p25)");

	server.signal(SIGTERM);
	EXPECT_EQ(server.waitForExit(kGenerousTimeout), 0);
}

TEST_F(ConfigProgramTest, MalformedTestInputsOptionIsFatal)
{
	for (const auto &[argument, message] : std::vector<std::pair<std::string, std::string>>{
		     { "--test-inputs=9", "Invalid option --test-inputs=9: the number of test inputs must be from 1 to 8" },
		     { "--test-inputs=2:640x360x25", "Invalid option --test-inputs=2:640x360x25: the mode must look like "
						       "1920x1080i50 or 1280x720p50" },
		     { "--test-inputs", "Invalid option --test-inputs: use --test-inputs=N or --test-inputs=N:MODE" },
	     }) {
		ChildProcess server(serverProgram(), { "portable", argument }, options());
		EXPECT_EQ(server.waitForExit(kGenerousTimeout), 1);
		EXPECT_EQ(server.standardError(), "[Error] Fatal error: " + message + "\n");
		EXPECT_EQ(server.standardOutput(), "");
	}
}

} // namespace
} // namespace tiloran::test
