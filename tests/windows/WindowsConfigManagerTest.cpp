#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "config/ConfigManager.h"
#include "WindowsTestSupport.h"

namespace tiloran::test {
namespace {

// The probe prints exactly what the server's configuration object prints at
// start-up.
std::filesystem::path probeProgram()
{
	return ownDirectory() / "tiloran_config_manager_probe.exe";
}

std::string expectedStartupLines(const std::string &mode, const std::string &workerConfigPath,
				 const std::string &previewPath)
{
	return "[ConfigManager] Config mode: " + mode + "\n" +
	       "[ConfigManager] Worker config path: " + workerConfigPath + "\n" +
	       "[ConfigManager] Preview path: " + previewPath + "\n" +
	       "[ConfigManager] Recordings path: " +
	       (std::filesystem::path(previewPath).parent_path() / "recordings").string() + "\n" +
	       "[ConfigManager] DeckLink SDK runtime is not available\n";
}

class WindowsConfigLocations : public ::testing::Test
{
protected:
	// The probe's temporary directory: GetTempPath reads TMP first.
	ProgramResult runProbe(const std::string &arguments, std::map<std::string, std::optional<std::string>> changes)
	{
		changes["TMP"] = temporary.path().string();
		changes["TEMP"] = temporary.path().string();
		return runProgram(probeProgram(), arguments, workingDirectory.path(), changes);
	}

	std::string previewInTemporary() const
	{
		return temporary.path().string() + "\\KV_TILORAN\\Encoder\\preview";
	}

	TemporaryDirectory workingDirectory;
	TemporaryDirectory temporary;
};

TEST_F(WindowsConfigLocations, AppDataSetPlacesTheFileInIt)
{
	const ProgramResult result = runProbe("", { { "APPDATA", "C:\\Users\\tester\\AppData\\Roaming" },
						    { "USERPROFILE", "C:\\Users\\other" } });
	EXPECT_EQ(result.exitCode, 0u);
	EXPECT_EQ(result.output,
		  expectedStartupLines("user",
				       "C:\\Users\\tester\\AppData\\Roaming\\KV_TILORAN\\Encoder\\worker_config.json",
				       previewInTemporary()));
}

TEST_F(WindowsConfigLocations, EmptyAppDataGivesAPathRelativeToTheWorkingDirectory)
{
	const ProgramResult result = runProbe("", { { "APPDATA", "" }, { "USERPROFILE", "C:\\Users\\other" } });
	EXPECT_EQ(result.exitCode, 0u);
	EXPECT_EQ(result.output, expectedStartupLines("user", "KV_TILORAN\\Encoder\\worker_config.json",
						      previewInTemporary()));
}

TEST_F(WindowsConfigLocations, OnlyUserProfileSetGivesItsRoamingDirectory)
{
	const ProgramResult result =
		runProbe("", { { "APPDATA", std::nullopt }, { "USERPROFILE", "C:\\Users\\tester" } });
	EXPECT_EQ(result.exitCode, 0u);
	EXPECT_EQ(result.output,
		  expectedStartupLines("user",
				       "C:\\Users\\tester\\AppData\\Roaming\\KV_TILORAN\\Encoder\\worker_config.json",
				       previewInTemporary()));
}

TEST_F(WindowsConfigLocations, NeitherVariableSetUsesTheWorkingDirectory)
{
	const ProgramResult result =
		runProbe("", { { "APPDATA", std::nullopt }, { "USERPROFILE", std::nullopt } });
	EXPECT_EQ(result.exitCode, 0u);
	EXPECT_EQ(result.output,
		  expectedStartupLines("user",
				       workingDirectory.path().string() + "\\KV_TILORAN\\Encoder\\worker_config.json",
				       previewInTemporary()));
}

TEST_F(WindowsConfigLocations, PortableModeUsesTheWorkingDirectoryForBoth)
{
	const ProgramResult result = runProbe("portable", { { "APPDATA", "C:\\Users\\tester\\AppData\\Roaming" } });
	EXPECT_EQ(result.exitCode, 0u);
	EXPECT_EQ(result.output,
		  expectedStartupLines("portable", workingDirectory.path().string() + "\\worker_config.json",
				       workingDirectory.path().string() + "\\preview"));
}

TEST(WindowsConfigManager, WithoutTheDriverNoDeviceIsListed)
{
	TemporaryDirectory directory;
	ScopedWorkingDirectory workingDirectory(directory.path());
	ConfigManager config(true);

	EXPECT_TRUE(config.devices().empty());
	EXPECT_EQ(config.getClientConfig().at("devices"), nlohmann::json::array());
}

TEST(WindowsConfigManager, WorkerConfigFileHasWindowsLineEnds)
{
	TemporaryDirectory directory;
	ScopedWorkingDirectory workingDirectory(directory.path());
	ConfigManager config(true, TestInputs{ 1, "640x360p25" });

	const nlohmann::json request = {
		{ "srtHostPort", "127.0.0.1:9000" }, { "videoBitrate", 6 }, { "audioBitrate", 128 },
		{ "codec", "libx264" },		      { "devices", { "test-1" } },
	};
	std::string message;
	ASSERT_TRUE(config.saveWorkerConfig(request, message)) << message;

	const std::filesystem::path file = directory.path() / "worker_config.json";
	EXPECT_EQ(config.workerConfigPath(), file.string());
	const std::string contents = readFile(file);
	size_t lineEnds = 0;
	for (size_t i = 0; i < contents.size(); ++i) {
		if (contents[i] != '\n')
			continue;
		ASSERT_GT(i, 0u);
		EXPECT_EQ(contents[i - 1], '\r') << "bare line feed at byte " << i;
		++lineEnds;
	}
	EXPECT_GT(lineEnds, 10u);
	EXPECT_EQ(contents.substr(contents.size() - 3), "}\r\n");
	EXPECT_FALSE(std::filesystem::exists(directory.path() / "worker_config.json.tmp"));

	nlohmann::json document;
	ASSERT_TRUE(config.loadWorkerConfig(document, message)) << message;
	EXPECT_EQ(document.at("srt_uri"), "srt://127.0.0.1:9000?mode=caller&latency=120");
	EXPECT_EQ(document.at("preview_path"), (directory.path() / "preview").string());
	EXPECT_EQ(document.at("quadrants").at(0).at("source_name"), "Test Input 1 (640x360p25)");
}

} // namespace
} // namespace tiloran::test
