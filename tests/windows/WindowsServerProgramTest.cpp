#include <gtest/gtest.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <windows.h>

#include "WindowsTestSupport.h"

namespace tiloran::test {
namespace {


// The server program as it is shipped, with the stand-in worker beside it, in
// a directory of its own; it runs from another working directory.
class WindowsServerProgram : public ::testing::Test
{
protected:
	void SetUp() override
	{
		const std::filesystem::path built = ownDirectory().parent_path();
		std::filesystem::copy_file(built / "tiloran_server.exe", programDirectory.path() / "tiloran_server.exe");
		std::filesystem::copy_file(built / "windows-supervisor" / "zenvo_tiloran_worker.exe",
					   programDirectory.path() / "zenvo_tiloran_worker.exe");
	}

	std::string workerPath() const { return (programDirectory.path() / "zenvo_tiloran_worker.exe").string(); }

	TemporaryDirectory programDirectory;
	TemporaryDirectory workingDirectory;
};

TEST_F(WindowsServerProgram, ServesTheApiAndRunsTheWorkerBesideIt)
{
	const std::filesystem::path report = workingDirectory.path() / "worker-report.txt";
	RunningProgram server(programDirectory.path() / "tiloran_server.exe", "portable --test-inputs=1:640x360p25",
			      workingDirectory.path(),
			      { { "TILORAN_STAND_IN_REPORT", report.string() },
				{ "TILORAN_STAND_IN_EXIT_CODE", std::nullopt },
				{ "TILORAN_UPDATE_URL", std::nullopt } });
	ASSERT_TRUE(server.waitForOutput("  POST /api/stream/stop\n", kGenerousTimeout)) << server.output();
	EXPECT_EQ(server.output().rfind("========================================\n"
					"  TILORAN - Quad SDI Encoder\n"
					"  Server v0.5 BETA - HTTP API\n"
					"  Config mode: portable\n",
					0),
		  0u)
		<< server.output();
	EXPECT_NE(server.output().find("[ConfigManager] Worker config path: " + workingDirectory.path().string() +
				       "\\worker_config.json\n" + "[ConfigManager] Preview path: " +
				       workingDirectory.path().string() + "\\preview\n" + "[ConfigManager] Recordings path: " +
				       workingDirectory.path().string() + "\\recordings\n" +
				       "[ConfigManager] DeckLink SDK runtime is not available\n"),
		  std::string::npos)
		<< server.output();

	httplib::Client client("127.0.0.1", 3000);
	client.set_read_timeout(kGenerousTimeout);
	// The endpoints are listed before the port is bound.
	ASSERT_TRUE(waitUntil([&] { return static_cast<bool>(client.Get("/api/health")); }, kGenerousTimeout))
		<< server.output();
	httplib::Result health = client.Get("/api/health");
	ASSERT_TRUE(health) << httplib::to_string(health.error());
	EXPECT_EQ(health->status, 200);
	EXPECT_EQ(health->body, R"({"status":"ok","service":"tiloran-server"})");

	const nlohmann::json request = {
		{ "srtHostPort", "127.0.0.1:9000" }, { "videoBitrate", 6 }, { "audioBitrate", 128 },
		{ "codec", "libx264" },		      { "devices", { "test-1" } },
	};
	httplib::Result started = client.Post("/api/stream/start", request.dump(), "application/json");
	ASSERT_TRUE(started);
	EXPECT_EQ(started->status, 200) << started->body;
	EXPECT_EQ(started->body, R"({"status":"started"})");

	// The worker runs from the server's directory, whatever the server's
	// working directory is, with the server's port on its command line.
	ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(report); }, kGenerousTimeout));
	const std::string workerReport = readFile(report);
	EXPECT_EQ(workerReport.rfind("command line: \"" + workerPath() + "\" start 3000\n" +
					     "working directory: " + programDirectory.path().string() + "\n",
				     0),
		  0u)
		<< workerReport;
	EXPECT_TRUE(
		server.waitForOutput("[WorkerSupervisor] Worker started: " + workerPath() + "\n", kGenerousTimeout))
		<< server.output();

	httplib::Result running = client.Get("/api/stream/status");
	ASSERT_TRUE(running);
	EXPECT_TRUE(nlohmann::json::parse(running->body).at("running").get<bool>());

	const std::string configFile = readFile(workingDirectory.path() / "worker_config.json");
	EXPECT_NE(configFile.find("{\r\n  \"audio_bitrate\": 128,\r\n"), std::string::npos) << configFile;

	httplib::Result stopped = client.Post("/api/stream/stop", "", "application/json");
	ASSERT_TRUE(stopped);
	EXPECT_EQ(stopped->status, 200);
	EXPECT_EQ(stopped->body, R"({"status":"stopped"})");
	EXPECT_TRUE(server.waitForOutput(" exited with code 0\n", kGenerousTimeout)) << server.output();
	EXPECT_NE(server.output().find("[WorkerSupervisor] Terminating Worker process PID "), std::string::npos);

	httplib::Result idle = client.Get("/api/stream/status");
	ASSERT_TRUE(idle);
	EXPECT_FALSE(nlohmann::json::parse(idle->body).at("running").get<bool>());
}

// Nothing ends the worker from inside a server that crashes or is killed; the
// system has to, or the worker would keep holding the capture cards.
TEST_F(WindowsServerProgram, AWorkerDoesNotOutliveAKilledServer)
{
	RunningProgram server(programDirectory.path() / "tiloran_server.exe", "portable --test-inputs=1:640x360p25",
			      workingDirectory.path(),
			      { { "TILORAN_STAND_IN_REPORT", std::nullopt },
				{ "TILORAN_STAND_IN_EXIT_CODE", std::nullopt },
				{ "TILORAN_UPDATE_URL", std::nullopt } });
	ASSERT_TRUE(server.waitForOutput("  POST /api/stream/stop\n", kGenerousTimeout)) << server.output();

	httplib::Client client("127.0.0.1", 3000);
	client.set_read_timeout(kGenerousTimeout);
	ASSERT_TRUE(waitUntil([&] { return static_cast<bool>(client.Get("/api/health")); }, kGenerousTimeout))
		<< server.output();
	const nlohmann::json request = {
		{ "srtHostPort", "127.0.0.1:9000" }, { "videoBitrate", 6 }, { "audioBitrate", 128 },
		{ "codec", "libx264" },		      { "devices", { "test-1" } },
	};
	httplib::Result started = client.Post("/api/stream/start", request.dump(), "application/json");
	ASSERT_TRUE(started);
	ASSERT_EQ(started->status, 200) << started->body;

	const std::string marker = "[WorkerSupervisor] Worker PID: ";
	ASSERT_TRUE(server.waitForOutput(marker, kGenerousTimeout)) << server.output();
	const std::string output = server.output();
	const auto workerId = static_cast<DWORD>(std::stoul(output.substr(output.find(marker) + marker.size())));
	HANDLE worker = OpenProcess(SYNCHRONIZE, FALSE, workerId);
	ASSERT_NE(worker, nullptr);

	server.terminate();
	const auto bound = static_cast<DWORD>(std::chrono::milliseconds(kGenerousTimeout).count());
	EXPECT_EQ(WaitForSingleObject(worker, bound), WAIT_OBJECT_0);
	CloseHandle(worker);
}

} // namespace
} // namespace tiloran::test
