#include <dlfcn.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ConfigManagerTestSupport.h"

namespace tiloran::test {
namespace {

// Runs the real discovery against the fake driver; the test reads the fake's
// record of calls and references through its own handle to the library.
class DeviceDiscoveryTest : public testing::Test
{
protected:
	void SetUp() override
	{
		library_ = dlopen(fakeDriverPath().c_str(), RTLD_NOW | RTLD_LOCAL);
		ASSERT_NE(library_, nullptr) << dlerror();
		report_ = reinterpret_cast<const char *(*)()>(dlsym(library_, "FakeDeckLinkReport"));
		ASSERT_NE(report_, nullptr);
		environment_.set("TILORAN_DECKLINK_LIBRARY", fakeDriverPath().string());
	}

	void TearDown() override
	{
		if (library_)
			dlclose(library_);
	}

	ConstructedConfig discover(const std::optional<std::string> &devices, TestInputs testInputs = {})
	{
		EnvironmentSettings settings;
		settings.set("TILORAN_FAKE_DECKLINK_DEVICES", devices);
		return constructConfig(true, std::move(testInputs));
	}

	// The lines after the four location lines (mode, worker configuration,
	// preview and recordings paths).
	static std::string discoveryLines(const ConstructedConfig &constructed)
	{
		std::string output = constructed.output;
		for (int line = 0; line < 4; ++line)
			output.erase(0, output.find('\n') + 1);
		return output;
	}

	std::string report() const { return report_(); }

	TemporaryDirectory temporary_;
	NeutralEnvironment environment_{ temporary_.path() };
	ScopedWorkingDirectory cwd_{ temporary_.path() };
	void *library_ = nullptr;
	const char *(*report_)() = nullptr;
};

std::vector<std::pair<std::string, std::string>> idsAndNames(const ConfigManager &config)
{
	std::vector<std::pair<std::string, std::string>> result;
	for (const DeviceInfo &device : config.devices()) {
		EXPECT_EQ(device.type, "decklink");
		EXPECT_EQ(device.status, "available");
		result.emplace_back(device.id, device.name);
	}
	return result;
}

using Devices = std::vector<std::pair<std::string, std::string>>;

TEST_F(DeviceDiscoveryTest, PersistentIdsNameTheCardsInDriverOrder)
{
	ConstructedConfig constructed = discover("name=DeckLink Duo (1),peid=12;name=DeckLink Duo (2),peid=34");
	EXPECT_EQ(discoveryLines(constructed), "[ConfigManager] Found 2 DeckLink capture device(s)\n");
	EXPECT_EQ(idsAndNames(*constructed.config),
		  (Devices{ { "decklink-12", "DeckLink Duo (1)" }, { "decklink-34", "DeckLink Duo (2)" } }));
	EXPECT_EQ(report(), "iterator references=0\n"
			    "device0 references=0 calls=input,name,attributes,peid,mach\n"
			    "device0.input references=0\n"
			    "device0.attributes references=0\n"
			    "device1 references=0 calls=input,name,attributes,peid,mach\n"
			    "device1.input references=0\n"
			    "device1.attributes references=0\n");
}

TEST_F(DeviceDiscoveryTest, DevicesThatCannotCaptureAreSkippedButCounted)
{
	ConstructedConfig constructed = discover("name=Playout Only,no-capture;name=Capture Card");
	EXPECT_EQ(discoveryLines(constructed), "[ConfigManager] Found 1 DeckLink capture device(s)\n");
	// No persistent or topological id: the index counts the skipped device too.
	EXPECT_EQ(idsAndNames(*constructed.config), (Devices{ { "decklink-1", "Capture Card" } }));
	EXPECT_EQ(report(), "iterator references=0\n"
			    "device0 references=0 calls=input,input-older1,input-older2\n"
			    "device1 references=0 calls=input,name,attributes,peid,toid,mach\n"
			    "device1.input references=0\n"
			    "device1.attributes references=0\n");
}

TEST_F(DeviceDiscoveryTest, IdFallbacksAndNames)
{
	ConstructedConfig constructed = discover("name=Topological,toid=7;"
						 "name=Negative,peid=-5;"
						 "name=,peid=40;"
						 "name-fails,peid=41;"
						 "name-null,peid=42;"
						 "name=Zero Persistent,peid=0,toid=9;"
						 "name=No Attributes,attributes=none,peid=99");
	EXPECT_EQ(discoveryLines(constructed), "[ConfigManager] Found 7 DeckLink capture device(s)\n");
	EXPECT_EQ(idsAndNames(*constructed.config), (Devices{
							    { "decklink-7", "Topological" },
							    { "decklink--5", "Negative" },
							    { "decklink-40", "" },
							    { "decklink-41", "Unknown" },
							    { "decklink-42", "Unknown" },
							    // A persistent id read as 0 counts as none; the topological id is not asked.
							    { "decklink-5", "Zero Persistent" },
							    { "decklink-6", "No Attributes" },
						    }));
	const std::string calls = report();
	EXPECT_NE(calls.find("device5 references=0 calls=input,name,attributes,peid,mach\n"), std::string::npos) << calls;
	EXPECT_NE(calls.find("device6 references=0 calls=input,name,attributes,attributes-older\n"), std::string::npos)
		<< calls;
	EXPECT_EQ(calls.find("references=1"), std::string::npos) << calls;
	EXPECT_EQ(calls.find("references=-"), std::string::npos) << calls;
}

TEST_F(DeviceDiscoveryTest, OlderDriverInterfacesAreAccepted)
{
	ConstructedConfig constructed = discover("name=Older One,capture=older1,attributes=older,peid=1;"
						 "name=Older Two,capture=older2,toid=2");
	EXPECT_EQ(idsAndNames(*constructed.config),
		  (Devices{ { "decklink-1", "Older One" }, { "decklink-2", "Older Two" } }));
	EXPECT_EQ(report(), "iterator references=0\n"
			    "device0 references=0 calls=input,input-older1,name,attributes,attributes-older,peid,mach\n"
			    "device0.input references=0\n"
			    "device0.attributes references=0\n"
			    "device1 references=0 calls=input,input-older1,input-older2,name,attributes,peid,toid,mach\n"
			    "device1.input references=0\n"
			    "device1.attributes references=0\n");
}

// The channels a card is captured with: 16 or 8 where its attributes say it
// takes that many, else 2; test inputs have 16.
TEST_F(DeviceDiscoveryTest, AudioChannelsFollowTheCardsAttribute)
{
	ConstructedConfig constructed = discover("peid=1;peid=2,audio-channels=8;peid=3,audio-channels=6;"
						 "peid=4,audio-channels=64;peid=5,audio-channels=16,no-audio-attribute",
						 { 1, "640x360p25" });
	std::vector<std::int32_t> channels;
	for (const DeviceInfo &device : constructed.config->devices())
		channels.push_back(device.audioChannels);
	EXPECT_EQ(channels, (std::vector<std::int32_t>{ 16, 8, 2, 16, 2, 16 }));
	const nlohmann::json devices = constructed.config->getClientConfig()["devices"];
	EXPECT_EQ(devices[1]["audioChannels"], 8);
	EXPECT_EQ(devices[5]["audioChannels"], 16);
}

TEST_F(DeviceDiscoveryTest, AnIndexIdCanEqualAPersistentIdAndTheFirstEntryIsFound)
{
	ConstructedConfig constructed = discover("name=First,peid=1;name=Second");
	EXPECT_EQ(idsAndNames(*constructed.config), (Devices{ { "decklink-1", "First" }, { "decklink-1", "Second" } }));
	EXPECT_EQ(constructed.config->findDevice("decklink-1")->name, "First");
	EXPECT_FALSE(constructed.config->findDevice("DeckLink-1"));
	EXPECT_FALSE(constructed.config->findDevice("decklink-2"));
}

TEST_F(DeviceDiscoveryTest, NoDevicesAndNoDriver)
{
	ConstructedConfig none = discover("");
	EXPECT_EQ(discoveryLines(none), "[ConfigManager] No DeckLink capture devices found\n");
	EXPECT_TRUE(none.config->devices().empty());
	EXPECT_EQ(report(), "iterator references=0\n");

	// The driver hands out no iterator.
	ConstructedConfig noIterator = discover(std::nullopt);
	EXPECT_EQ(discoveryLines(noIterator), "[ConfigManager] DeckLink SDK runtime is not available\n");
	EXPECT_TRUE(noIterator.config->devices().empty());

	for (const std::string &library : { (temporary_.path() / "absent.so").string(), std::string("libm.so.6") }) {
		SCOPED_TRACE(library);
		EnvironmentSettings settings;
		settings.set("TILORAN_DECKLINK_LIBRARY", library);
		ConstructedConfig absent = discover("name=Card,peid=12");
		EXPECT_EQ(discoveryLines(absent), "[ConfigManager] DeckLink SDK runtime is not available\n");
		EXPECT_TRUE(absent.config->devices().empty());
		EXPECT_EQ(absent.config->getClientConfig()["devices"], nlohmann::json::array());
	}
}

TEST_F(DeviceDiscoveryTest, TestInputsFollowTheCards)
{
	ConstructedConfig constructed = discover("name=Card,peid=12", { 2, "640x360p25" });
	EXPECT_EQ(discoveryLines(constructed), "[ConfigManager] Found 1 DeckLink capture device(s)\n"
					       "[ConfigManager] Test inputs: 2 (640x360p25)\n");
	const std::vector<DeviceInfo> &devices = constructed.config->devices();
	ASSERT_EQ(devices.size(), 3u);
	EXPECT_EQ(devices[0].id, "decklink-12");
	EXPECT_EQ(devices[1].id, "test-1");
	EXPECT_EQ(devices[1].name, "Test Input 1 (640x360p25)");
	EXPECT_EQ(devices[1].type, "test");
	EXPECT_EQ(devices[1].status, "available");
	EXPECT_EQ(devices[2].id, "test-2");
	EXPECT_EQ(devices[2].name, "Test Input 2 (640x360p25)");

	EnvironmentSettings settings;
	settings.set("TILORAN_DECKLINK_LIBRARY", (temporary_.path() / "absent.so").string());
	ConstructedConfig withoutDriver = discover(std::nullopt, { 1, "1920x1080i50" });
	EXPECT_EQ(discoveryLines(withoutDriver), "[ConfigManager] DeckLink SDK runtime is not available\n"
						 "[ConfigManager] Test inputs: 1 (1920x1080i50)\n");
	ASSERT_EQ(withoutDriver.config->devices().size(), 1u);
	EXPECT_EQ(withoutDriver.config->devices()[0].name, "Test Input 1 (1920x1080i50)");
}

} // namespace
} // namespace tiloran::test
