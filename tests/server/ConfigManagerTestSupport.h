#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "config/ConfigManager.h"
#include "support/TestSupport.h"

namespace tiloran::test {

// The fake capture driver that the tests build beside the programs.
inline std::filesystem::path fakeDriverPath()
{
	return libraryDirectory() / "libtiloran_fake_decklink.so";
}

// Sets a group of environment variables for the life of the object.
class EnvironmentSettings
{
public:
	EnvironmentSettings &set(const std::string &name, std::optional<std::string> value)
	{
		settings_.push_back(std::make_unique<ScopedEnvironment>(name, std::move(value)));
		return *this;
	}

private:
	std::vector<std::unique_ptr<ScopedEnvironment>> settings_;
};

// A user-mode environment with none of the location variables set and no
// capture driver to load; tests set what they need on top.
class NeutralEnvironment : public EnvironmentSettings
{
public:
	explicit NeutralEnvironment(const std::filesystem::path &temporaryDirectory)
	{
		set("APPDATA", std::nullopt);
		set("USERPROFILE", std::nullopt);
		set("XDG_CONFIG_HOME", std::nullopt);
		set("HOME", std::nullopt);
		set("TMPDIR", temporaryDirectory.string());
		set("TILORAN_DECKLINK_LIBRARY", (temporaryDirectory / "no-driver.so").string());
		set("TILORAN_FAKE_DECKLINK_DEVICES", std::nullopt);
	}
};

struct ConstructedConfig {
	std::unique_ptr<ConfigManager> config;
	// Everything the constructor printed.
	std::string output;
};

inline ConstructedConfig constructConfig(bool portable, TestInputs testInputs = {})
{
	ConstructedConfig result;
	testing::internal::CaptureStdout();
	result.config = std::make_unique<ConfigManager>(portable, std::move(testInputs));
	result.output = testing::internal::GetCapturedStdout();
	return result;
}

} // namespace tiloran::test
