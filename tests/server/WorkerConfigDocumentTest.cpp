#include <atomic>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ConfigManagerTestSupport.h"
#include "common/Redaction.h"

namespace tiloran::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char *kCards =
	"name=DeckLink Duo (1),peid=12;name=DeckLink Duo (2),peid=34,audio-channels=8;name=,peid=56";

struct SaveResult {
	bool saved;
	std::string message;
	std::string output;
	// Of a refused request.
	StartRefusalCode code = StartRefusalCode::RequestFieldInvalid;
	std::string field;
};

// Two fake cards (16 and 8 audio channels), one card without a name and two test inputs, in portable
// mode below a fresh working directory.
class WorkerConfigDocumentTest : public testing::Test
{
protected:
	void SetUp() override
	{
		environment_.set("TILORAN_DECKLINK_LIBRARY", fakeDriverPath().string())
			.set("TILORAN_FAKE_DECKLINK_DEVICES", kCards);
		constructed_ = constructConfig(true, { 2, "640x360p25" });
		ASSERT_EQ(constructed_.config->devices().size(), 5u);
	}

	const ConfigManager &config() const { return *constructed_.config; }
	fs::path file() const { return workingDirectory_.path() / "worker_config.json"; }

	SaveResult save(const json &request)
	{
		SaveResult result;
		testing::internal::CaptureStdout();
		json document;
		StartRefusal refusal;
		result.saved = config().buildWorkerConfig(request, document, refusal) &&
			       config().writeWorkerConfig(document, result.message);
		result.output = testing::internal::GetCapturedStdout();
		if (!refusal.message.empty())
			result = { false, refusal.message, result.output, refusal.code, refusal.field };
		return result;
	}

	json saved(const json &request)
	{
		const SaveResult result = save(request);
		EXPECT_TRUE(result.saved) << result.message;
		std::string message;
		json document;
		EXPECT_TRUE(config().loadWorkerConfig(document, message)) << message;
		return document;
	}

	// Each request refused with its message, nothing on the console.
	template <typename Cases> void expectRefused(const Cases &cases)
	{
		for (const auto &[request, expected] : cases) {
			SCOPED_TRACE(request.dump().substr(0, 200));
			const SaveResult result = save(request);
			EXPECT_FALSE(result.saved);
			EXPECT_EQ(result.message, expected);
			EXPECT_EQ(result.output, "");
		}
	}

	static json validRequest()
	{
		return { { "srtHostPort", "127.0.0.1:9000" }, { "videoBitrate", 8 }, { "audioBitrate", 128 },
			 { "codec", "libx264" }, { "devices", { "test-1" } } };
	}

	TemporaryDirectory temporary_;
	TemporaryDirectory workingDirectory_;
	NeutralEnvironment environment_{ temporary_.path() };
	ScopedWorkingDirectory cwd_{ workingDirectory_.path() };
	ConstructedConfig constructed_;
};

TEST_F(WorkerConfigDocumentTest, TheFileIsWrittenByteForByteAndOwnerOnly)
{
	const json request = {
		{ "srtHostPort", "203.0.113.5:9000" },
		{ "videoBitrate", 12 },
		{ "audioBitrate", 192 },
		{ "codec", "libx264" },
		{ "srtStreamId", "live/quad" },
		{ "srtPassphrase", "s3cret pass&x" },
		{ "srtLatency", 200 },
		{ "quadrants",
		  { { { "id", 1 }, { "name", "Caméra Nord" }, { "source_id", "decklink-12" }, { "source_name", "ignored" },
		      { "extra", true } },
		    { { "id", 3 }, { "name", "Studio ü" }, { "source_id", "test-2" } } } },
	};
	const SaveResult result = save(request);
	ASSERT_TRUE(result.saved) << result.message;
	EXPECT_EQ(result.output, "[ConfigManager] Worker config saved to " + file().string() + "\n");

	const std::string preview = (workingDirectory_.path() / "preview").string();
	EXPECT_EQ(readFile(file()), R"json({
  "audio_bitrate": 192,
  "codec": "libx264",
  "preview_path": ")json" + preview + R"json(",
  "quadrants": [
    {
      "id": 1,
      "name": "Caméra Nord",
      "source_id": "decklink-12",
      "source_name": "DeckLink Duo (1)"
    },
    {
      "id": 3,
      "name": "Studio ü",
      "source_id": "test-2",
      "source_name": "Test Input 2 (640x360p25)"
    }
  ],
  "srt": {
    "host_port": "203.0.113.5:9000",
    "latency": 200,
    "passphrase": "s3cret pass&x",
    "streamid": "live/quad"
  },
  "srt_uri": "srt://203.0.113.5:9000?mode=caller&streamid=live/quad&latency=200&passphrase=s3cret pass&x",
  "video_bitrate": 12
}
)json");

	struct stat status {};
	ASSERT_EQ(stat(file().c_str(), &status), 0);
	EXPECT_EQ(status.st_mode & 0777, 0600u);
	EXPECT_FALSE(fs::exists(file().string() + ".tmp"));
}

TEST_F(WorkerConfigDocumentTest, EveryRefusalHasItsMessageAndWritesNothing)
{
	auto without = [](const char *key) {
		json request = validRequest();
		request.erase(key);
		return request;
	};
	auto with = [](const char *key, json value) {
		json request = validRequest();
		request[key] = std::move(value);
		return request;
	};
	auto withQuadrants = [&](json quadrants) {
		json request = without("devices");
		request["quadrants"] = std::move(quadrants);
		return request;
	};
	const json item = { { "id", 1 }, { "name", "Quadrant" }, { "source_id", "test-1" } };
	auto itemWith = [&](const char *key, json value) {
		json changed = item;
		changed[key] = std::move(value);
		return withQuadrants({ changed });
	};
	json itemWithoutName = item;
	itemWithoutName.erase("name");
	auto itemWithId = [&](int id) {
		json changed = item;
		changed["id"] = id;
		return changed;
	};
	const std::string hostPortMessage = "Field srtHostPort must be host:port with a port from 1 to 65535";
	const std::string videoUnitMessage =
		"Field videoBitrate must be from 1 to 999 (Mbit/s) or from 100000 to 2147483647 (bit/s)";
	const std::string codecMessage = "Field codec must be the name of an H.264 encoder, such as libx264";
	const std::string passphraseMessage = "Field srtPassphrase must be empty or 10 to 79 characters long";
	const std::string latencyMessage = "Field srtLatency must be a whole number from 0 to 65535";

	const std::pair<json, std::string> cases[] = {
		{ json::array({ validRequest() }), "Missing required field: srtHostPort" },
		{ "text", "Missing required field: srtHostPort" },
		{ without("srtHostPort"), "Missing required field: srtHostPort" },
		{ without("videoBitrate"), "Missing required field: videoBitrate" },
		{ without("audioBitrate"), "Missing required field: audioBitrate" },
		{ without("codec"), "Missing required field: codec" },
		{ without("devices"), "Missing required field: quadrants" },
		{ with("srtHostPort", 9000), "Field srtHostPort must be a non-empty string" },
		{ with("srtHostPort", ""), "Field srtHostPort must be a non-empty string" },
		{ with("codec", nullptr), "Field codec must be a non-empty string" },
		{ with("codec", ""), "Field codec must be a non-empty string" },
		{ with("srtLatency", -1), latencyMessage },
		{ with("srtLatency", 2147483648u), latencyMessage },
		{ with("srtLatency", 1e20), latencyMessage },
		{ withQuadrants(json::array()), "Field quadrants must be a non-empty array" },
		{ withQuadrants(json::object()), "Field quadrants must be a non-empty array" },
		{ withQuadrants(nullptr), "Field quadrants must be a non-empty array" },
		{ withQuadrants({ 1 }), "Each quadrants item must contain id, name and source_id" },
		{ withQuadrants({ item, itemWithoutName }), "Each quadrants item must contain id, name and source_id" },
		{ itemWith("id", 1.0), "Invalid quadrants item field types" },
		{ itemWith("id", true), "Invalid quadrants item field types" },
		{ itemWith("id", "1"), "Invalid quadrants item field types" },
		{ itemWith("name", 1), "Invalid quadrants item field types" },
		{ itemWith("source_id", nullptr), "Invalid quadrants item field types" },
		{ itemWith("source_id", "decklink-99"), "Unknown selected device id: decklink-99" },
		{ itemWith("source_id", "DeckLink-12"), "Unknown selected device id: DeckLink-12" },
		{ with("devices", json::array()), "Field devices must be a non-empty array" },
		{ with("devices", "test-1"), "Field devices must be a non-empty array" },
		{ with("devices", { "test-1", "" }), "Each devices item must be a non-empty string" },
		{ with("devices", { 12 }), "Each devices item must be a non-empty string" },
		{ with("devices", { "test-1", "test-3" }), "Unknown selected device id: test-3" },
		// What the worker would refuse, refused before a worker starts.
		{ with("srtHostPort", "9000"), hostPortMessage },
		{ with("srtHostPort", ":9000"), hostPortMessage },
		{ with("srtHostPort", "receiver:"), hostPortMessage },
		{ with("srtHostPort", "receiver:0"), hostPortMessage },
		{ with("srtHostPort", "receiver:99999"), hostPortMessage },
		{ with("srtHostPort", "receiver:9000x"), hostPortMessage },
		{ with("srtHostPort", "srt://receiver:9000"), hostPortMessage },
		{ with("srtHostPort", "receiver:9000?passphrase=x"), hostPortMessage },
		{ with("srtHostPort", "receiver:9000&mode=listener"), hostPortMessage },
		{ with("srtHostPort", "two words:9000"), hostPortMessage },
		{ with("srtHostPort", "[::1:9000"), hostPortMessage },
		{ with("videoBitrate", "8 Mbps"), "Field videoBitrate must be a number greater than zero" },
		{ with("videoBitrate", { 8 }), "Field videoBitrate must be a number greater than zero" },
		{ with("videoBitrate", nullptr), "Field videoBitrate must be a number greater than zero" },
		{ with("videoBitrate", true), "Field videoBitrate must be a number greater than zero" },
		{ with("videoBitrate", 0), "Field videoBitrate must be a number greater than zero" },
		{ with("videoBitrate", -8), "Field videoBitrate must be a number greater than zero" },
		{ with("videoBitrate", -0.0), "Field videoBitrate must be a number greater than zero" },
		{ with("videoBitrate", 0.5), "Field videoBitrate must be a whole number from 1 to 2147483647" },
		{ with("videoBitrate", 8.5), "Field videoBitrate must be a whole number from 1 to 2147483647" },
		{ with("videoBitrate", 1e308), "Field videoBitrate must be a whole number from 1 to 2147483647" },
		{ with("videoBitrate", json::parse("18446744073709551616")),
		  "Field videoBitrate must be a whole number from 1 to 2147483647" },
		{ with("videoBitrate", 2147483648u), "Field videoBitrate must be a whole number from 1 to 2147483647" },
		// Neither Mbit/s nor a usable rate in bit/s: 1000 would stream at 1 kbit/s.
		{ with("videoBitrate", 1000), videoUnitMessage },
		{ with("videoBitrate", 4000), videoUnitMessage },
		{ with("videoBitrate", 99999), videoUnitMessage },
		{ with("videoBitrate", 99999.0), videoUnitMessage },
		{ with("audioBitrate", "128"), "Field audioBitrate must be a number greater than zero" },
		{ with("audioBitrate", false), "Field audioBitrate must be a number greater than zero" },
		{ with("audioBitrate", 128.25), "Field audioBitrate must be a whole number from 1 to 2147483647" },
		{ with("codec", "H.264"), codecMessage },
		{ with("codec", "hevc"), codecMessage },
		{ with("codec", "LIBX264"), codecMessage },
		{ with("srtStreamId", std::string(513, 's')), "Field srtStreamId must be at most 512 bytes long" },
		{ with("srtPassphrase", "short"), passphraseMessage },
		{ with("srtPassphrase", std::string(9, 'p')), passphraseMessage },
		{ with("srtPassphrase", std::string(80, 'p')), passphraseMessage },
		{ with("devices", { "test-1", "test-2", "test-1", "test-2", "test-1" }),
		  "Field devices must have at most 4 items" },
		{ withQuadrants({ item, item, item, item, item }), "Field quadrants must have at most 4 items" },
		{ itemWith("id", 7), "Each quadrants item id must be from 1 to 4" },
		{ itemWith("id", 0), "Each quadrants item id must be from 1 to 4" },
		{ itemWith("id", json::parse("0")), "Each quadrants item id must be from 1 to 4" },
		{ itemWith("id", -1), "Each quadrants item id must be from 1 to 4" },
		{ itemWith("id", 18446744073709551615ull), "Each quadrants item id must be from 1 to 4" },
		{ withQuadrants({ item, itemWithId(2), itemWithId(2) }), "Duplicate quadrants item id: 2" },
	};
	expectRefused(cases);
	EXPECT_TRUE(fs::is_empty(workingDirectory_.path()));
}

// Each kind of refusal has its code, and names the request's member it
// concerns as a path into the request.
TEST_F(WorkerConfigDocumentTest, ARefusalNamesItsKindAndItsField)
{
	auto with = [](const std::string &key, json value) {
		json request = validRequest();
		request[key] = std::move(value);
		return request;
	};
	const json item = { { "id", 1 }, { "name", "One" }, { "source_id", "test-1" } };
	auto withItems = [&](json second) {
		json request = with("quadrants", { item, std::move(second) });
		request.erase("devices");
		return request;
	};
	json missing = validRequest();
	missing.erase("codec");
	struct Case {
		json request;
		StartRefusalCode code;
		std::string field;
	};
	const Case cases[] = {
		{ missing, StartRefusalCode::RequestFieldMissing, "codec" },
		{ with("outputs", { { { "srtHostPort", "x:1" } }, json::object() }), StartRefusalCode::RequestFieldMissing,
		  "outputs[1].srtHostPort" },
		{ with("outputs", { { { "srtHostPort", "x:1" }, { "videoBitrate", 8 } } }),
		  StartRefusalCode::RequestFieldUnknown, "outputs[0].videoBitrate" },
		{ with("srtLatency", -1), StartRefusalCode::RequestFieldInvalid, "srtLatency" },
		{ with("outputs", { { { "srtHostPort", "x:1" } }, { { "srtHostPort", "x:2" }, { "srtPassphrase", "short" } } }),
		  StartRefusalCode::RequestFieldInvalid, "outputs[1].srtPassphrase" },
		{ withItems({ { "id", 1 }, { "name", "Two" }, { "source_id", "test-2" } }),
		  StartRefusalCode::RequestFieldInvalid, "quadrants[1].id" },
		{ withItems({ { "id", 2 }, { "name", 2 }, { "source_id", "test-2" } }), StartRefusalCode::RequestFieldInvalid,
		  "quadrants[1].name" },
		{ withItems({ { "id", 2 }, { "name", "Two" }, { "source_id", "decklink-99" } }),
		  StartRefusalCode::RequestInputUnknown, "quadrants[1].source_id" },
		{ with("devices", { "test-1", "test-3" }), StartRefusalCode::RequestInputUnknown, "devices[1]" },
	};
	for (const Case &testCase : cases) {
		SCOPED_TRACE(testCase.request.dump());
		const SaveResult result = save(testCase.request);
		EXPECT_FALSE(result.saved);
		EXPECT_EQ(startRefusalCodeText(result.code), startRefusalCodeText(testCase.code));
		EXPECT_EQ(result.field, testCase.field);
	}
}

TEST_F(WorkerConfigDocumentTest, TheFirstFailureWins)
{
	json request = validRequest();
	request.erase("codec");
	request["srtHostPort"] = "";
	request["devices"] = { "nothing" };
	EXPECT_EQ(save(request).message, "Missing required field: codec");

	request = validRequest();
	request["codec"] = "";
	request["srtLatency"] = -5;
	EXPECT_EQ(save(request).message, "Field codec must be a non-empty string");

	request = validRequest();
	request["srtLatency"] = -5;
	request["devices"] = json::array();
	EXPECT_EQ(save(request).message, "Field srtLatency must be a whole number from 0 to 65535");

	request = validRequest();
	request["devices"] = { "unknown", "" };
	EXPECT_EQ(save(request).message, "Unknown selected device id: unknown");

	// What the worker would refuse comes after every other check.
	request = validRequest();
	request["videoBitrate"] = "8 Mbps";
	request["srtPassphrase"] = "short";
	request["devices"] = { "test-1", "test-2", "test-1", "test-2", "unknown" };
	EXPECT_EQ(save(request).message, "Unknown selected device id: unknown");
	request["devices"] = { "test-1", "test-2", "test-1", "test-2", "test-1" };
	EXPECT_EQ(save(request).message, "Field videoBitrate must be a number greater than zero");
	request["videoBitrate"] = 8;
	EXPECT_EQ(save(request).message, "Field srtPassphrase must be empty or 10 to 79 characters long");
	request["srtHostPort"] = "receiver";
	EXPECT_EQ(save(request).message, "Field srtHostPort must be host:port with a port from 1 to 65535");
}

TEST_F(WorkerConfigDocumentTest, HostsPortsAndSecretsWithinSrtLimitsAreAccepted)
{
	for (const char *hostPort : { "receiver.example:9000", "10.0.0.5:1", "[::1]:65535",
				      "my_host-2:09000" }) {
		json request = validRequest();
		request["srtHostPort"] = hostPort;
		EXPECT_EQ(saved(request)["srt"]["host_port"], hostPort);
	}
	json request = validRequest();
	request["srtPassphrase"] = std::string(10, 'p');
	request["srtStreamId"] = "#!::r=live/feed,m=publish" + std::string(487, 'x');
	EXPECT_EQ(saved(request)["srt"]["passphrase"], std::string(10, 'p'));
	request["srtPassphrase"] = std::string(79, 'p');
	EXPECT_EQ(saved(request)["srt"]["passphrase"], std::string(79, 'p'));
	request["videoBitrate"] = 2147483647;
	request["audioBitrate"] = 1.0;
	request["codec"] = "h264";
	EXPECT_EQ(saved(request)["video_bitrate"], 2147483647);
}

// Every string within what SRT, the worker's console and the statistics
// take, each limit refused at its first value beyond and accepted at its
// last; optional members of the wrong type are refused with their name, not
// with the JSON library's words.
TEST_F(WorkerConfigDocumentTest, EveryFieldIsBoundedAndTypedWithItsOwnMessage)
{
	const std::string hostName(253, 'h');
	const std::string name64 = std::string(62, 'n') + "\u00e9\u00e9"; // 64 characters, 66 bytes
	auto with = [](const char *key, json value) {
		json request = validRequest();
		request[key] = std::move(value);
		return request;
	};
	auto named = [](std::string name) {
		json request = validRequest();
		request.erase("devices");
		request["quadrants"] = { { { "id", 1 }, { "name", std::move(name) }, { "source_id", "test-1" } } };
		return request;
	};
	const std::string latencyMessage = "Field srtLatency must be a whole number from 0 to 65535";
	const std::pair<json, std::string> refused[] = {
		{ with("srtHostPort", std::string(1000000, 'h') + ":9000"),
		  "Field srtHostPort must be at most 261 characters long" },
		{ with("srtHostPort", hostName + "h:9000"), "Field srtHostPort must have a host name of at most 253 characters" },
		{ with("srtHostPort", "[" + std::string(258, ':') + "]:9000"),
		  "Field srtHostPort must be at most 261 characters long" },
		{ with("srtStreamId", std::string(511, 's') + "\u00e9"), "Field srtStreamId must be at most 512 bytes long" },
		{ with("srtStreamId", std::string("a\0b", 3)), "Field srtStreamId must not contain control characters" },
		{ with("srtStreamId", "a\nb"), "Field srtStreamId must not contain control characters" },
		{ with("srtStreamId", "a\x7f"), "Field srtStreamId must not contain control characters" },
		{ named(name64 + "n"), "Each quadrants item name must be at most 64 characters long" },
		{ with("srtLatency", 65536), latencyMessage },
		{ with("srtLatency", 100000), latencyMessage },
		{ with("srtLatency", 2147483647), latencyMessage },
		{ with("srtLatency", 2147483648u), latencyMessage },
		{ with("srtLatency", 1.5), latencyMessage },
		{ with("srtLatency", -0.5), latencyMessage },
		{ with("srtLatency", true), latencyMessage },
		{ with("srtLatency", "120"), latencyMessage },
		{ with("srtLatency", nullptr), latencyMessage },
		{ with("srtStreamId", nullptr), "Field srtStreamId must be a string" },
		{ with("srtPassphrase", 5), "Field srtPassphrase must be a string" },
		{ with("srtPassphrase", json::array({ "SECRETpass123" })), "Field srtPassphrase must be a string" },
		{ with("srtReconnect", "true"), "Field srtReconnect must be true or false" },
		{ with("srtReconnect", 1), "Field srtReconnect must be true or false" },
	};
	expectRefused(refused);
	EXPECT_FALSE(fs::exists(file()));

	const std::string longest = hostName + ":65535";
	EXPECT_EQ(saved(with("srtHostPort", longest))["srt"]["host_port"], longest);
	const std::string streamId = std::string(510, 's') + "\u00e9";
	EXPECT_EQ(saved(with("srtStreamId", streamId))["srt"]["streamid"], streamId);
	EXPECT_EQ(saved(named(name64))["quadrants"][0]["name"], name64);
	EXPECT_EQ(saved(with("srtLatency", 65535))["srt"]["latency"], 65535);
	EXPECT_EQ(saved(with("srtLatency", 2000.0))["srt"]["latency"], 2000);
}

TEST_F(WorkerConfigDocumentTest, ReconnectionIsWrittenOnlyWhenAskedFor)
{
	json request = validRequest();
	EXPECT_FALSE(saved(request).contains("srt_reconnect"));
	for (const bool reconnect : { true, false }) {
		request["srtReconnect"] = reconnect;
		EXPECT_EQ(saved(request)["srt_reconnect"], reconnect);
	}
}

// "outputs": each entry checked as the main destination's members are, with
// messages naming it; what passes is written in the main one's shape, and
// its passphrase hidden where the document is shown.
TEST_F(WorkerConfigDocumentTest, FurtherOutputsAreCheckedAsTheMainDestinationAndWritten)
{
	const json entry = { { "srtHostPort", "127.0.0.1:9001" } };
	auto withOutputs = [](json outputs) {
		json request = validRequest();
		request["outputs"] = std::move(outputs);
		return request;
	};
	auto entryWith = [&](const char *key, json value) {
		json changed = entry;
		changed[key] = std::move(value);
		return withOutputs({ entry, changed });
	};
	const std::vector<std::pair<json, std::string>> cases = {
		{ withOutputs(entry), "Field outputs must be an array" },
		{ withOutputs({ entry, entry, entry, entry }), "Field outputs must have at most 3 items" },
		{ withOutputs({ "127.0.0.1:9001" }), "Field outputs[0] must be an object" },
		{ withOutputs({ json::object() }), "Missing required field: outputs[0].srtHostPort" },
		{ entryWith("srtLinger", 0), "Unknown field: outputs[1].srtLinger" },
		{ entryWith("srtHostPort", ""), "Field outputs[1].srtHostPort must be a non-empty string" },
		{ entryWith("srtHostPort", "127.0.0.1"),
		  "Field outputs[1].srtHostPort must be host:port with a port from 1 to 65535" },
		{ entryWith("srtStreamId", 5), "Field outputs[1].srtStreamId must be a string" },
		{ entryWith("srtStreamId", "a\nb"), "Field outputs[1].srtStreamId must not contain control characters" },
		{ entryWith("srtPassphrase", "short"),
		  "Field outputs[1].srtPassphrase must be empty or 10 to 79 characters long" },
		{ entryWith("srtLatency", -1), "Field outputs[1].srtLatency must be a whole number from 0 to 65535" },
		{ entryWith("srtReconnect", "yes"), "Field outputs[1].srtReconnect must be true or false" },
	};
	expectRefused(cases);
	EXPECT_TRUE(fs::is_empty(workingDirectory_.path()));

	const json request = withOutputs({ entry,
					   { { "srtHostPort", "[::1]:9002" },
					     { "srtStreamId", "second" },
					     { "srtPassphrase", "0123456789" },
					     { "srtLatency", 200 },
					     { "srtReconnect", true } } });
	json document = saved(request);
	EXPECT_EQ(document["outputs"],
		  json::parse(R"([{"srt":{"host_port":"127.0.0.1:9001","streamid":"","latency":120,"passphrase":""}},
			{"srt":{"host_port":"[::1]:9002","streamid":"second","latency":200,"passphrase":"0123456789"},
			 "srt_reconnect":true}])"));
	EXPECT_FALSE(saved(validRequest()).contains("outputs"));
	hideSrtPassphrase(document);
	EXPECT_EQ(document["outputs"][0]["srt"]["passphrase"], "");
	EXPECT_EQ(document["outputs"][1]["srt"]["passphrase"], "***");
}

// "srtMode" and the listener's own members, on the main destination and on
// each further one; a caller's document stays as it was.
TEST_F(WorkerConfigDocumentTest, ListenerSettingsAreCheckedAndWrittenOnlyForAListener)
{
	auto with = [](json members, bool further = false) {
		json request = validRequest();
		if (further)
			request["outputs"] = { json{ { "srtHostPort", "0.0.0.0:9001" } } };
		json &destination = further ? request["outputs"][0] : request;
		for (auto &[key, value] : members.items())
			destination[key] = value;
		return request;
	};
	const std::string idsMessage = "Field srtAllowedStreamIds must be an array of 1 to 16 non-empty strings";
	const std::vector<std::pair<json, std::string>> cases = {
		{ with({ { "srtMode", "server" } }), "Field srtMode must be \"caller\" or \"listener\"" },
		{ with({ { "srtMode", true } }), "Field srtMode must be \"caller\" or \"listener\"" },
		{ with({ { "srtMaxCallers", 2 } }), "Field srtMaxCallers must be left out unless srtMode is \"listener\"" },
		{ with({ { "srtMode", "caller" }, { "srtAllowedStreamIds", { "a" } } }),
		  "Field srtAllowedStreamIds must be left out unless srtMode is \"listener\"" },
		{ with({ { "srtMode", "listener" }, { "srtMaxCallers", 0 } }),
		  "Field srtMaxCallers must be a whole number from 1 to 16" },
		{ with({ { "srtMode", "listener" }, { "srtMaxCallers", 17 } }),
		  "Field srtMaxCallers must be a whole number from 1 to 16" },
		{ with({ { "srtMode", "listener" }, { "srtMaxCallers", 2.5 } }),
		  "Field srtMaxCallers must be a whole number from 1 to 16" },
		{ with({ { "srtMode", "listener" }, { "srtAllowedStreamIds", json::array() } }), idsMessage },
		{ with({ { "srtMode", "listener" }, { "srtAllowedStreamIds", "a" } }), idsMessage },
		{ with({ { "srtMode", "listener" }, { "srtAllowedStreamIds", { "a", "" } } }), idsMessage },
		{ with({ { "srtMode", "listener" }, { "srtAllowedStreamIds", json(std::vector<std::string>(17, "a")) } }),
		  idsMessage },
		{ with({ { "srtMode", "listener" }, { "srtAllowedStreamIds", { "a\tb" } } }),
		  "Field srtAllowedStreamIds must hold stream ids of at most 512 bytes without control characters" },
		{ with({ { "srtMode", "listener" }, { "srtAllowedStreamIds", { std::string(513, 'x') } } }),
		  "Field srtAllowedStreamIds must hold stream ids of at most 512 bytes without control characters" },
		{ with({ { "srtMode", "listener" }, { "srtMaxCallers", "4" } }, true),
		  "Field outputs[0].srtMaxCallers must be a whole number from 1 to 16" },
		{ with({ { "srtMaxCallers", 4 } }, true),
		  "Field outputs[0].srtMaxCallers must be left out unless srtMode is \"listener\"" },
	};
	expectRefused(cases);
	EXPECT_TRUE(fs::is_empty(workingDirectory_.path()));

	json caller = saved(with({ { "srtMode", "caller" } }));
	EXPECT_EQ(caller, saved(validRequest()));
	EXPECT_FALSE(caller.contains("srt_mode"));

	json request = with({ { "srtMode", "listener" } });
	request["srtHostPort"] = "[::]:9000";
	json document = saved(request);
	EXPECT_EQ(document["srt_mode"], "listener");
	EXPECT_EQ(document["srt_max_callers"], 4);
	EXPECT_FALSE(document.contains("srt_allowed_stream_ids"));
	EXPECT_EQ(document["srt"]["host_port"], "[::]:9000");
	EXPECT_EQ(document["srt_uri"].get<std::string>().rfind("srt://[::]:9000?mode=listener&", 0), 0u);

	request = with({ { "srtMode", "listener" }, { "srtMaxCallers", 16 }, { "srtAllowedStreamIds", { "a", "b" } },
			 { "srtPassphrase", "0123456789" } },
		       true);
	document = saved(request);
	EXPECT_EQ(document["outputs"][0]["srt_mode"], "listener");
	EXPECT_EQ(document["outputs"][0]["srt_max_callers"], 16);
	EXPECT_EQ(document["outputs"][0]["srt_allowed_stream_ids"], json({ "a", "b" }));
	EXPECT_FALSE(document.contains("srt_mode"));
	hideSrtPassphrase(document);
	EXPECT_EQ(document["outputs"][0]["srt"]["passphrase"], "***");
}

// Adaptive bitrate, written only when asked for; its floor in the unit of
// videoBitrate, a quarter of it unless given, at least 1 Mbit/s.
TEST_F(WorkerConfigDocumentTest, AdaptiveBitrateIsWrittenOnlyWhenAskedForWithItsFloor)
{
	json request = validRequest();
	const json plain = saved(request);
	EXPECT_FALSE(plain.contains("adaptive_bitrate"));
	EXPECT_FALSE(plain.contains("min_video_bitrate"));

	request["adaptiveBitrate"] = false;
	EXPECT_EQ(saved(request)["adaptive_bitrate"], false);
	EXPECT_FALSE(saved(request).contains("min_video_bitrate"));

	request["adaptiveBitrate"] = true;
	const std::pair<json, json> floors[] = { { 8, 2 }, { 6, 1 }, { 2, 1 }, { 20000000, 5000000 },
						 { 2000000, 1000000 }, { 500000, 500000 } };
	for (const auto &[video, floor] : floors) {
		request["videoBitrate"] = video;
		const json document = saved(request);
		EXPECT_EQ(document["adaptive_bitrate"], true);
		EXPECT_EQ(document["min_video_bitrate"], floor) << video;
	}
	request["videoBitrate"] = 8;
	request["minVideoBitrate"] = 3;
	EXPECT_EQ(saved(request)["min_video_bitrate"], 3);
	request["minVideoBitrate"] = 3000000;
	EXPECT_EQ(saved(request)["min_video_bitrate"], 3000000);

	const std::string unit = "Field minVideoBitrate must be from 1 to 999 (Mbit/s) or from 100000 to 2147483647 (bit/s)";
	const std::pair<json, std::string> refused[] = {
		{ "yes", "Field adaptiveBitrate must be true or false" },
		{ 1, "Field adaptiveBitrate must be true or false" },
	};
	for (const auto &[value, expected] : refused) {
		json bad = validRequest();
		bad["adaptiveBitrate"] = value;
		EXPECT_EQ(save(bad).message, expected);
	}
	const std::pair<json, std::string> refusedFloors[] = {
		{ 0, "Field minVideoBitrate must be a number greater than zero" },
		{ "2", "Field minVideoBitrate must be a number greater than zero" },
		{ 1.5, "Field minVideoBitrate must be a whole number from 1 to 2147483647" },
		{ 4000, unit },
		{ 9, "Field minVideoBitrate must not be above videoBitrate" },
		{ 9000000, "Field minVideoBitrate must not be above videoBitrate" },
	};
	for (const auto &[value, expected] : refusedFloors) {
		json bad = request;
		bad["minVideoBitrate"] = value;
		EXPECT_EQ(save(bad).message, expected) << value;
	}
}

// Two channel numbers of the master input, left then right, written only
// when asked for. The master is the first quadrant whose input has a name.
TEST_F(WorkerConfigDocumentTest, AudioChannelsAreTwoChannelsOfTheMaster)
{
	auto withChannels = [](json channels, std::vector<std::string> devices = { "test-1" }) {
		json request = validRequest();
		request["devices"] = devices;
		request["audioChannels"] = std::move(channels);
		return request;
	};
	const std::string notTwo = "Field audioChannels must be two channel numbers from 1 to 16";
	const std::string beyondDuo = "Field audioChannels must be from 1 to 8: the master input 'DeckLink Duo (2)' "
				      "has 8 audio channels";
	const std::pair<json, std::string> refused[] = {
		{ withChannels(nullptr), notTwo },
		{ withChannels("5,6"), notTwo },
		{ withChannels({ 5 }), notTwo },
		{ withChannels({ 5, 6, 7 }), notTwo },
		{ withChannels({ 0, 1 }), notTwo },
		{ withChannels({ 16, 17 }), notTwo },
		{ withChannels({ -1, 2 }), notTwo },
		{ withChannels({ 5.0, 6 }), notTwo },
		{ withChannels({ true, 2 }), notTwo },
		{ withChannels({ 5, "6" }), notTwo },
		{ withChannels({ 9, 10 }, { "decklink-34", "test-1" }), beyondDuo },
		{ withChannels({ 1, 9 }, { "decklink-56", "decklink-34" }), beyondDuo },
	};
	expectRefused(refused);
	EXPECT_FALSE(fs::exists(file()));

	EXPECT_FALSE(saved(validRequest()).contains("audio_channels"));
	EXPECT_EQ(saved(withChannels({ 5, 6 }))["audio_channels"], json({ 5, 6 }));
	EXPECT_EQ(saved(withChannels({ 16, 15 }, { "decklink-12", "decklink-34" }))["audio_channels"], json({ 16, 15 }));
	EXPECT_EQ(saved(withChannels({ 8, 8 }, { "decklink-34" }))["audio_channels"], json({ 8, 8 }));
	// A card without a name is no master: the test input after it is.
	EXPECT_EQ(saved(withChannels({ 15, 16 }, { "decklink-56", "test-1" }))["audio_channels"], json({ 15, 16 }));
}

TEST_F(WorkerConfigDocumentTest, LatencyDefaultsAndConversions)
{
	const std::pair<json, std::int32_t> cases[] = {
		{ nullptr, 120 }, { 0, 0 }, { 2.0, 2 }, { 65535, 65535 },
	};
	for (const auto &[latency, expected] : cases) {
		SCOPED_TRACE(latency.dump());
		json request = validRequest();
		if (!latency.is_null())
			request["srtLatency"] = latency;
		const json document = saved(request);
		EXPECT_EQ(document["srt"]["latency"], expected);
		EXPECT_TRUE(document["srt"]["latency"].is_number_integer());
		EXPECT_EQ(document["srt_uri"], "srt://127.0.0.1:9000?mode=caller&latency=" + std::to_string(expected));
	}
}

TEST_F(WorkerConfigDocumentTest, QuadrantsTakePrecedenceOverDevices)
{
	json request = validRequest();
	request["devices"] = { "unknown" };
	request["quadrants"] = { { { "id", 3 }, { "name", "Three" }, { "source_id", "decklink-34" } },
				 { { "id", 1 }, { "name", "" }, { "source_id", "decklink-34" } },
				 { { "id", 4 }, { "name", "Four" }, { "source_id", "decklink-56" } } };
	const json document = saved(request);
	EXPECT_EQ(document["quadrants"], json::parse(R"json([
		{"id": 3, "name": "Three", "source_id": "decklink-34", "source_name": "DeckLink Duo (2)"},
		{"id": 1, "name": "", "source_id": "decklink-34", "source_name": "DeckLink Duo (2)"},
		{"id": 4, "name": "Four", "source_id": "decklink-56", "source_name": ""}
	])json"));
}

TEST_F(WorkerConfigDocumentTest, DevicesGenerateQuadrantIdsAndNames)
{
	json request = validRequest();
	request["devices"] = { "decklink-34", "test-2", "decklink-34" };
	request["videoBitrate"] = 4000000;
	request["audioBitrate"] = 192.0;
	request["codec"] = "h264_nvenc";
	const json document = saved(request);
	EXPECT_EQ(document["quadrants"], json::parse(R"json([
		{"id": 1, "name": "Quadrant 1", "source_id": "decklink-34", "source_name": "DeckLink Duo (2)"},
		{"id": 2, "name": "Quadrant 2", "source_id": "test-2", "source_name": "Test Input 2 (640x360p25)"},
		{"id": 3, "name": "Quadrant 3", "source_id": "decklink-34", "source_name": "DeckLink Duo (2)"}
	])json"));
	// Bitrates and codec are copied as they came; the worker reads the units.
	EXPECT_EQ(document["video_bitrate"], 4000000);
	EXPECT_TRUE(document["audio_bitrate"].is_number_float());
	EXPECT_EQ(document["audio_bitrate"], 192.0);
	EXPECT_EQ(document["codec"], "h264_nvenc");
	EXPECT_EQ(document["srt"], json::parse(R"json({"host_port": "127.0.0.1:9000", "latency": 120, "passphrase": "", "streamid": ""})json"));
}

TEST_F(WorkerConfigDocumentTest, SrtUri)
{
	EXPECT_EQ(buildSrtUri("host:1", "", 120, ""), "srt://host:1?mode=caller&latency=120");
	EXPECT_EQ(buildSrtUri("host:1", "id", 0, ""), "srt://host:1?mode=caller&streamid=id&latency=0");
	EXPECT_EQ(buildSrtUri("host:1", "", 80, "pass"), "srt://host:1?mode=caller&latency=80&passphrase=pass");
	EXPECT_EQ(buildSrtUri("a b?c", "x&y=z", 5, "p w"), "srt://a b?c?mode=caller&streamid=x&y=z&latency=5&passphrase=p w");

	json request = validRequest();
	request["srtStreamId"] = "";
	request["srtPassphrase"] = "";
	EXPECT_EQ(saved(request)["srt_uri"], "srt://127.0.0.1:9000?mode=caller&latency=120");
	request["srtStreamId"] = "#!::r=live";
	request["srtPassphrase"] = "0123456789";
	EXPECT_EQ(saved(request)["srt_uri"],
		  "srt://127.0.0.1:9000?mode=caller&streamid=#!::r=live&latency=120&passphrase=0123456789");
}

TEST_F(WorkerConfigDocumentTest, NoCaptureDevicesMeansEveryDeviceIsUnknown)
{
	EnvironmentSettings settings;
	settings.set("TILORAN_FAKE_DECKLINK_DEVICES", "");
	ConstructedConfig empty = constructConfig(true);
	std::string message;
	json request = validRequest();
	request["devices"] = { "decklink-12", "decklink-34" };
	EXPECT_FALSE(empty.config->saveWorkerConfig(request, message));
	EXPECT_EQ(message, "Unknown selected device id: decklink-12");
}

TEST_F(WorkerConfigDocumentTest, LoadingReportsMissingAndUnreadableFiles)
{
	json document = { { "untouched", true } };
	std::string message;
	EXPECT_FALSE(config().loadWorkerConfig(document, message));
	EXPECT_EQ(message, "Worker config file not found: " + file().string());

	writeFile(file(), "");
	EXPECT_FALSE(config().loadWorkerConfig(document, message));
	EXPECT_EQ(message, "Failed to parse worker config file: not JSON at byte 1");

	writeFile(file(), "{\"a\": 1, // no comments\n}");
	EXPECT_FALSE(config().loadWorkerConfig(document, message));
	EXPECT_EQ(message, "Failed to parse worker config file: not JSON at byte 10");
	EXPECT_EQ(document, json({ { "untouched", true } }));

	// Whatever follows the first complete document is not read.
	writeFile(file(), "{\"a\": [1, 2]} trailing { text");
	ASSERT_TRUE(config().loadWorkerConfig(document, message)) << message;
	EXPECT_EQ(document, json({ { "a", { 1, 2 } } }));
}

TEST_F(WorkerConfigDocumentTest, AFailedSaveLeavesThePreviousFile)
{
	ASSERT_TRUE(save(validRequest()).saved);
	const std::string previous = readFile(file());
	json request = validRequest();
	request["codec"] = "h264_qsv";

	// Something that is not a file where the temporary file goes.
	fs::create_directory(file().string() + ".tmp");
	fs::create_directory(file().string() + ".tmp/inside");
	SaveResult result = save(request);
	EXPECT_FALSE(result.saved);
	EXPECT_EQ(result.message, "Failed to open worker config file for writing: " + file().string());
	EXPECT_EQ(result.output, "");
	EXPECT_EQ(readFile(file()), previous);
	fs::remove_all(file().string() + ".tmp");

	// A stale temporary file of a crashed run is replaced, and the mode is
	// owner-only even when an older file was readable by others.
	writeFile(file().string() + ".tmp", "stale");
	fs::permissions(file(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
					fs::perms::others_read);
	ASSERT_TRUE(save(request).saved);
	EXPECT_NE(readFile(file()).find("\"codec\": \"h264_qsv\""), std::string::npos);
	struct stat status {};
	ASSERT_EQ(stat(file().c_str(), &status), 0);
	EXPECT_EQ(status.st_mode & 0777, 0600u);
	EXPECT_FALSE(fs::exists(file().string() + ".tmp"));
}

TEST_F(WorkerConfigDocumentTest, FailuresToCreateTheDirectoryOrToPlaceTheFile)
{
	// The file's place is taken by a directory: the rename fails.
	const std::string previousDirectory = file().string();
	fs::create_directories(file() / "occupied");
	SaveResult result = save(validRequest());
	EXPECT_FALSE(result.saved);
	EXPECT_EQ(result.message, "Failed to write worker config file: " + file().string());
	EXPECT_TRUE(fs::is_directory(file() / "occupied"));
	EXPECT_FALSE(fs::exists(file().string() + ".tmp"));

	// In user mode a file stands where a directory must be created.
	EnvironmentSettings settings;
	settings.set("APPDATA", (workingDirectory_.path() / "appdata").string());
	writeFile(workingDirectory_.path() / "appdata", "not a directory");
	ConstructedConfig user = constructConfig(false, { 1, "640x360p25" });
	std::string message;
	EXPECT_FALSE(user.config->saveWorkerConfig(validRequest(), message));
	EXPECT_EQ(message.rfind("Failed to create worker config directory: ", 0), 0u) << message;
	EXPECT_NE(message.find("Not a directory"), std::string::npos) << message;
}

TEST_F(WorkerConfigDocumentTest, ConcurrentSavesAndLoadsNeverSeeAPartialDocument)
{
	ASSERT_TRUE(save(validRequest()).saved);
	// Large documents make a torn write likely if the file were written in
	// place; a request cannot make one that large, so they are written as
	// built documents.
	std::vector<json> documents;
	for (int index = 0; index < 4; ++index) {
		json document;
		StartRefusal refusal;
		ASSERT_TRUE(config().buildWorkerConfig(validRequest(), document, refusal)) << refusal.message;
		document["quadrants"][0]["name"] = std::string(1000 * (200 + index * 50), 'n');
		documents.push_back(std::move(document));
	}

	std::atomic<int> failures{ 0 };
	std::atomic<int> loads{ 0 };
	std::atomic<bool> stop{ false };
	testing::internal::CaptureStdout();
	std::vector<std::thread> threads;
	for (int index = 0; index < 4; ++index) {
		threads.emplace_back([&, index] {
			for (int round = 0; round < 10; ++round) {
				std::string message;
				if (!config().writeWorkerConfig(documents[index], message))
					++failures;
			}
		});
		// Each reader reads at least once, however soon the writers end.
		threads.emplace_back([&] {
			do {
				json document;
				std::string message;
				const bool loaded = config().loadWorkerConfig(document, message);
				const std::size_t nameLength =
					loaded ? document["quadrants"][0]["name"].get_ref<const std::string &>().size() : 0;
				const bool first = nameLength == std::string("Quadrant 1").size();
				if (!loaded || (!first && (nameLength < 200000 || nameLength > 350000 || nameLength % 50000 != 0)))
					++failures;
				++loads;
			} while (!stop);
		});
	}
	// A reader outside the configuration object's lock, as another process
	// would read the file, sees whole documents only.
	std::atomic<int> directReads{ 0 };
	std::thread directReader([&] {
		do {
			const json document = json::parse(readFile(file()), nullptr, false);
			if (document.is_discarded() || !document.contains("srt_uri"))
				++failures;
			++directReads;
		} while (!stop);
	});
	for (std::size_t index = 0; index < threads.size(); index += 2)
		threads[index].join();
	stop = true;
	for (std::size_t index = 1; index < threads.size(); index += 2)
		threads[index].join();
	directReader.join();
	const std::string output = testing::internal::GetCapturedStdout();

	EXPECT_EQ(failures, 0);
	EXPECT_GT(loads, 0);
	EXPECT_GT(directReads, 0);
	EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 40);
}

// A recording, written only when asked for: the folder beside the preview
// directory, the stream id made file-name safe, the segment length.
TEST_F(WorkerConfigDocumentTest, RecordingIsWrittenOnlyWhenAskedFor)
{
	json request = validRequest();
	EXPECT_FALSE(saved(request).contains("record"));
	request["record"] = false;
	EXPECT_FALSE(saved(request).contains("recordings_path"));

	request["record"] = true;
	request["srtStreamId"] = "#!::r=live/cam 1";
	json document = saved(request);
	EXPECT_EQ(document["record"], true);
	EXPECT_EQ(document["recordings_path"],
		  (std::filesystem::path(config().previewPath()).parent_path() / "recordings").string());
	EXPECT_EQ(document["record_name"], "____r_live_cam_1");
	EXPECT_EQ(document["record_segment_minutes"], 60.0);
	request["srtStreamId"] = "";
	request["recordSegmentMinutes"] = 0.5;
	document = saved(request);
	EXPECT_EQ(document["record_name"], "stream");
	EXPECT_EQ(document["record_segment_minutes"], 0.5);

	const std::string minutes = "Field recordSegmentMinutes must be a number from 0.05 to 1440";
	const std::pair<const char *, json> refused[] = {
		{ "record", "yes" }, { "record", 1 }, { "recordSegmentMinutes", 0.04 }, { "recordSegmentMinutes", 1441 },
		{ "recordSegmentMinutes", "60" }, { "recordSegmentMinutes", nullptr },
	};
	for (const auto &[key, value] : refused) {
		json bad = request;
		bad[key] = value;
		EXPECT_EQ(save(bad).message, std::string(key) == "record" ? "Field record must be true or false" : minutes)
			<< key << " " << value;
	}
}

} // namespace
} // namespace tiloran::test
