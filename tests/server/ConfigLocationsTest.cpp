#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "ConfigManagerTestSupport.h"

namespace tiloran::test {
namespace {

namespace fs = std::filesystem;

class ConfigLocationsTest : public testing::Test
{
protected:
	TemporaryDirectory temporary_;
	TemporaryDirectory workingDirectory_;
	NeutralEnvironment environment_{ temporary_.path() };
	ScopedWorkingDirectory cwd_{ workingDirectory_.path() };

	std::string userPreview() const { return (temporary_.path() / "KV_TILORAN/Encoder/preview").string(); }
};

TEST_F(ConfigLocationsTest, PortableModeUsesTheWorkingDirectoryAndPrintsThreeLines)
{
	ConstructedConfig first = constructConfig(true);
	const fs::path cwd = workingDirectory_.path();
	EXPECT_EQ(first.config->workerConfigPath(), (cwd / "worker_config.json").string());
	EXPECT_EQ(first.config->previewPath(), (cwd / "preview").string());
	EXPECT_EQ(first.output, "[ConfigManager] Config mode: portable\n"
				"[ConfigManager] Worker config path: " + (cwd / "worker_config.json").string() + "\n"
				"[ConfigManager] Preview path: " + (cwd / "preview").string() + "\n"
				"[ConfigManager] Recordings path: " + (cwd / "recordings").string() + "\n"
				"[ConfigManager] DeckLink SDK runtime is not available\n");

	// Another working directory, another location; the first object keeps its own.
	TemporaryDirectory other;
	ScopedWorkingDirectory otherCwd(other.path());
	ConstructedConfig second = constructConfig(true);
	EXPECT_EQ(second.config->workerConfigPath(), (other.path() / "worker_config.json").string());
	EXPECT_EQ(second.config->previewPath(), (other.path() / "preview").string());
	EXPECT_EQ(first.config->workerConfigPath(), (cwd / "worker_config.json").string());
}

TEST_F(ConfigLocationsTest, UserModeFollowsTheChainOfEnvironmentVariables)
{
	struct Case {
		const char *description;
		std::optional<std::string> appData;
		std::optional<std::string> userProfile;
		std::optional<std::string> configHome;
		std::optional<std::string> home;
		std::string expected;
	};
	const std::string cwd = workingDirectory_.path().string();
	const Case cases[] = {
		{ "APPDATA wins over everything", "/data/app", "/users/u", "/xdg", "/home/u",
		  "/data/app/KV_TILORAN/Encoder/worker_config.json" },
		{ "APPDATA set but empty still wins", "", "/users/u", "/xdg", "/home/u",
		  "KV_TILORAN/Encoder/worker_config.json" },
		{ "USERPROFILE next", std::nullopt, "/users/u", "/xdg", "/home/u",
		  "/users/u/AppData/Roaming/KV_TILORAN/Encoder/worker_config.json" },
		{ "XDG_CONFIG_HOME next", std::nullopt, std::nullopt, "/xdg", "/home/u",
		  "/xdg/KV_TILORAN/Encoder/worker_config.json" },
		{ "an empty XDG_CONFIG_HOME is skipped", std::nullopt, std::nullopt, "", "/home/u",
		  "/home/u/.config/KV_TILORAN/Encoder/worker_config.json" },
		{ "HOME next", std::nullopt, std::nullopt, std::nullopt, "/home/u",
		  "/home/u/.config/KV_TILORAN/Encoder/worker_config.json" },
		{ "an empty HOME is skipped", std::nullopt, std::nullopt, std::nullopt, "",
		  cwd + "/KV_TILORAN/Encoder/worker_config.json" },
		{ "nothing set: the working directory", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
		  cwd + "/KV_TILORAN/Encoder/worker_config.json" },
		{ "a trailing separator is not doubled", "/data/app/", std::nullopt, std::nullopt, std::nullopt,
		  "/data/app/KV_TILORAN/Encoder/worker_config.json" },
	};

	for (const Case &entry : cases) {
		SCOPED_TRACE(entry.description);
		EnvironmentSettings settings;
		settings.set("APPDATA", entry.appData)
			.set("USERPROFILE", entry.userProfile)
			.set("XDG_CONFIG_HOME", entry.configHome)
			.set("HOME", entry.home);
		ConstructedConfig constructed = constructConfig(false);
		EXPECT_EQ(constructed.config->workerConfigPath(), entry.expected);
		// The preview directory never depends on these variables.
		EXPECT_EQ(constructed.config->previewPath(), userPreview());
		EXPECT_EQ(constructed.output, "[ConfigManager] Config mode: user\n"
					      "[ConfigManager] Worker config path: " + entry.expected + "\n"
					      "[ConfigManager] Preview path: " + userPreview() + "\n"
					      "[ConfigManager] Recordings path: " +
						      (std::filesystem::path(userPreview()).parent_path() / "recordings").string() + "\n"
					      "[ConfigManager] DeckLink SDK runtime is not available\n");
	}
}

TEST_F(ConfigLocationsTest, PreviewLiesUnderTheTemporaryDirectoryWithoutADoubledSeparator)
{
	EnvironmentSettings settings;
	settings.set("TMPDIR", temporary_.path().string() + "/");
	ConstructedConfig constructed = constructConfig(false);
	EXPECT_EQ(constructed.config->previewPath(), userPreview());
}

TEST_F(ConfigLocationsTest, LocationsAreFixedAtConstructionAndNothingIsCreated)
{
	EnvironmentSettings settings;
	settings.set("APPDATA", (workingDirectory_.path() / "appdata").string());
	ConstructedConfig constructed = constructConfig(false);
	const std::string expected = (workingDirectory_.path() / "appdata/KV_TILORAN/Encoder/worker_config.json").string();

	settings.set("APPDATA", "/elsewhere").set("TMPDIR", "/elsewhere");
	EXPECT_EQ(constructed.config->workerConfigPath(), expected);
	EXPECT_EQ(constructed.config->previewPath(), userPreview());

	EXPECT_TRUE(fs::is_empty(workingDirectory_.path()));
	EXPECT_FALSE(fs::exists(temporary_.path() / "KV_TILORAN"));
}

TEST_F(ConfigLocationsTest, EmptyAppDataPutsTheFileBelowTheWorkingDirectoryWhenSaved)
{
	EnvironmentSettings settings;
	settings.set("APPDATA", "");
	ConstructedConfig constructed = constructConfig(false, { 1, "640x360p25" });
	testing::internal::CaptureStdout();
	std::string message;
	const bool saved = constructed.config->saveWorkerConfig(
		{ { "srtHostPort", "127.0.0.1:9000" }, { "videoBitrate", 8 }, { "audioBitrate", 128 },
		  { "codec", "libx264" }, { "devices", { "test-1" } } },
		message);
	testing::internal::GetCapturedStdout();
	ASSERT_TRUE(saved) << message;
	EXPECT_TRUE(fs::is_regular_file(workingDirectory_.path() / "KV_TILORAN/Encoder/worker_config.json"));
}

} // namespace
} // namespace tiloran::test
