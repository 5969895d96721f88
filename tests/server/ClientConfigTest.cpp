#include <string>

#include <gtest/gtest.h>

#include "ConfigManagerTestSupport.h"

namespace tiloran::test {
namespace {

const std::string kEncodingLimitsAndProject = R"json(  "encoding": {
    "audioBitrates": [
      {
        "title": "128 kbps",
        "value": 128
      },
      {
        "title": "192 kbps",
        "value": 192
      },
      {
        "title": "256 kbps",
        "value": 256
      },
      {
        "title": "320 kbps",
        "value": 320
      }
    ],
    "codecs": [
      {
        "title": "Intel H264",
        "value": "h264_qsv"
      },
      {
        "title": "NVidia H264",
        "value": "h264_nvenc"
      },
      {
        "title": "Software H264",
        "value": "libx264"
      }
    ],
    "videoBitrates": [
      {
        "title": "1 Mbps",
        "value": 1
      },
      {
        "title": "2 Mbps",
        "value": 2
      },
      {
        "title": "3 Mbps",
        "value": 3
      },
      {
        "title": "4 Mbps",
        "value": 4
      },
      {
        "title": "5 Mbps",
        "value": 5
      },
      {
        "title": "6 Mbps",
        "value": 6
      },
      {
        "title": "8 Mbps",
        "value": 8
      },
      {
        "title": "12 Mbps",
        "value": 12
      },
      {
        "title": "16 Mbps",
        "value": 16
      },
      {
        "title": "20 Mbps",
        "value": 20
      },
      {
        "title": "25 Mbps",
        "value": 25
      },
      {
        "title": "30 Mbps",
        "value": 30
      },
      {
        "title": "40 Mbps",
        "value": 40
      },
      {
        "title": "50 Mbps",
        "value": 50
      }
    ]
  },
  "limits": {
    "srtHostNameMaxLength": 253,
    "srtLatencyMaxMs": 65535,
    "srtPassphraseMaxLength": 79,
    "srtPassphraseMinLength": 10,
    "srtPortMax": 65535,
    "srtPortMin": 1,
    "srtStreamIdMaxBytes": 512
  },
  "project": {
    "title": "TILORAN - Quad SDI Encoder(0.5 BETA)"
  }
})json";

class ClientConfigTest : public testing::Test
{
protected:
	TemporaryDirectory temporary_;
	NeutralEnvironment environment_{ temporary_.path() };
	ScopedWorkingDirectory cwd_{ temporary_.path() };
};

TEST_F(ClientConfigTest, WithoutDevices)
{
	ConstructedConfig constructed = constructConfig(true);
	const std::string document = constructed.config->getClientConfig().dump(2);
	EXPECT_EQ(document, "{\n  \"devices\": [],\n" + kEncodingLimitsAndProject);
	// Built anew on each call, always the same.
	EXPECT_EQ(constructed.config->getClientConfig().dump(2), document);
}

TEST_F(ClientConfigTest, WithTwoCardsAndTwoTestInputs)
{
	EnvironmentSettings settings;
	settings.set("TILORAN_DECKLINK_LIBRARY", fakeDriverPath().string())
		.set("TILORAN_FAKE_DECKLINK_DEVICES",
		     "name=DeckLink Duo (1),peid=12;name=DeckLink Duo (2),peid=34,audio-channels=8");
	TestInputs testInputs;
	std::string message;
	ASSERT_TRUE(parseTestInputsValue("2:640x360p25", testInputs, message)) << message;
	ConstructedConfig constructed = constructConfig(true, testInputs);

	EXPECT_EQ(constructed.config->getClientConfig().dump(2), R"json({
  "devices": [
    {
      "audioChannels": 16,
      "id": "decklink-12",
      "name": "DeckLink Duo (1)",
      "status": "available",
      "type": "decklink"
    },
    {
      "audioChannels": 8,
      "id": "decklink-34",
      "name": "DeckLink Duo (2)",
      "status": "available",
      "type": "decklink"
    },
    {
      "audioChannels": 16,
      "id": "test-1",
      "name": "Test Input 1 (640x360p25)",
      "status": "available",
      "type": "test"
    },
    {
      "audioChannels": 16,
      "id": "test-2",
      "name": "Test Input 2 (640x360p25)",
      "status": "available",
      "type": "test"
    }
  ],
)json" + kEncodingLimitsAndProject);
}

} // namespace
} // namespace tiloran::test
