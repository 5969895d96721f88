// The stream settings both programs check with one validator
// (common/protocol/StreamSettings.h): the server's check of a start request
// and the worker's of the document the server made of it take and refuse the
// same SRT targets, and read a video bitrate in the same unit.

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "config/WorkerConfigDocument.h"
#include "server/ConfigManagerTestSupport.h"

namespace tiloran::test {
namespace {

using nlohmann::json;

json startRequest(const std::string &hostPort, std::int64_t videoBitrate)
{
	return { { "srtHostPort", hostPort }, { "videoBitrate", videoBitrate }, { "audioBitrate", 128 },
		 { "codec", "libx264" }, { "devices", { "test-1" } } };
}

// The worker's verdict on a document: "" when it takes it, else its message.
std::string workerRefusal(const json &document, WorkerConfig &config)
{
	std::string message;
	if (!validateWorkerConfig(document, message) || !parseWorkerConfig(document, config, message))
		return message.empty() ? "(refused)" : message;
	return "";
}

class StreamSettingsTest : public testing::Test
{
protected:
	TemporaryDirectory temporary_;
	NeutralEnvironment environment_{ temporary_.path() };
	ScopedWorkingDirectory cwd_{ temporary_.path() };
	ConstructedConfig constructed_ = constructConfig(true, TestInputs{ 1, "640x360p25" });

	json serverDocument(const json &request, std::string &message)
	{
		json document;
		StartRefusal refusal;
		if (!constructed_.config->buildWorkerConfig(request, document, refusal)) {
			message = refusal.message;
			return nullptr;
		}
		return document;
	}
};

TEST_F(StreamSettingsTest, ServerAndWorkerTakeAndRefuseTheSameTargets)
{
	std::string message;
	const json template_ = serverDocument(startRequest("127.0.0.1:9000", 8), message);
	ASSERT_TRUE(template_.is_object()) << message;

	const std::string longestName(253, 'a');
	for (const std::string &hostPort : { std::string("127.0.0.1:9000"), std::string("[::1]:9000"),
					      std::string("receiver.example:1"), std::string("host_name-1:65535"),
					      longestName + ":9000" }) {
		const json document = serverDocument(startRequest(hostPort, 8), message);
		ASSERT_TRUE(document.is_object()) << hostPort << ": " << message;
		WorkerConfig config;
		EXPECT_EQ(workerRefusal(document, config), "") << hostPort;
		EXPECT_EQ(config.srt.port, std::stoi(hostPort.substr(hostPort.rfind(':') + 1))) << hostPort;
		EXPECT_EQ(hostPort.find(config.srt.host), hostPort.front() == '[' ? 1U : 0U) << hostPort;
	}

	const std::vector<std::string> refused = {
		"host", ":9000", "host:", "host:0", "host:65536", "host:9000x", "ho st:9000", "host:9000?latency=1",
		"host:9000&streamid=x", "[::1]9000", "[]:9000", "[fe80::1%eth0]:9000", "host/path:9000",
		longestName + "a:9000", std::string(262, 'a'),
	};
	for (const std::string &hostPort : refused) {
		message.clear();
		EXPECT_TRUE(serverDocument(startRequest(hostPort, 8), message).is_null()) << hostPort;
		EXPECT_EQ(message.rfind("Field srtHostPort must", 0), 0U) << hostPort << ": " << message;

		// The same target in a document otherwise as the server writes it.
		json document = template_;
		document["srt"]["host_port"] = hostPort;
		document["srt_uri"] = buildSrtUri(hostPort, "", 120, "");
		WorkerConfig config;
		EXPECT_EQ(workerRefusal(document, config), "srt.host_port must be host:port") << hostPort;
		document.erase("srt");
		if (hostPort.find_first_of("?&") == std::string::npos) {
			EXPECT_EQ(workerRefusal(document, config), "SRT URI has no host and port") << hostPort;
		}
	}
}

TEST_F(StreamSettingsTest, TheVideoBitrateIsReadInOneUnitByBoth)
{
	struct Case {
		std::int64_t videoBitrate;
		std::int64_t bitsPerSecond;
	};
	for (const Case &testCase : { Case{ 1, 1000000 }, Case{ 8, 8000000 }, Case{ 999, 999000000 },
				      Case{ 100000, 100000 }, Case{ 2147483647, 2147483647 } }) {
		std::string message;
		const json document = serverDocument(startRequest("127.0.0.1:9000", testCase.videoBitrate), message);
		ASSERT_TRUE(document.is_object()) << testCase.videoBitrate << ": " << message;
		WorkerConfig config;
		ASSERT_EQ(workerRefusal(document, config), "") << testCase.videoBitrate;
		EXPECT_EQ(config.video_bitrate, testCase.bitsPerSecond) << testCase.videoBitrate;
	}
	// Between the two units the server refuses, naming both.
	for (const std::int64_t between : { 1000, 4000, 99999 }) {
		std::string message;
		EXPECT_TRUE(serverDocument(startRequest("127.0.0.1:9000", between), message).is_null()) << between;
		EXPECT_EQ(message, "Field videoBitrate must be from 1 to 999 (Mbit/s) or from 100000 to 2147483647 (bit/s)");
	}
}

} // namespace
} // namespace tiloran::test
