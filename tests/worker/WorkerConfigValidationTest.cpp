// The two checks of the worker configuration document: the structural one
// done before the document is printed, and the semantic one that builds the
// worker's configuration record.

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "config/WorkerConfigDocument.h"

using nlohmann::json;
using tiloran::parseWorkerConfig;
using tiloran::validateWorkerConfig;
using tiloran::WorkerConfig;

namespace {

json validDocument()
{
	return json::parse(R"json({
  "audio_bitrate": 128,
  "codec": "h264",
  "preview_path": "/tmp/preview",
  "quadrants": [
    { "id": 1, "name": "Camera 1", "source_id": "test-1", "source_name": "Test Input 1 (640x360p25)" },
    { "id": 2, "name": "Camera 2", "source_id": "test-2", "source_name": "Test Input 2 (640x360p25)" }
  ],
  "srt": { "host_port": "127.0.0.1:9000", "latency": 120, "passphrase": "", "streamid": "" },
  "srt_uri": "srt://127.0.0.1:9000?mode=caller&latency=120",
  "video_bitrate": 8
})json");
}

std::string validationMessage(const json &document)
{
	std::string message;
	return validateWorkerConfig(document, message) ? "(valid)" : message;
}

std::string parseMessage(const json &document)
{
	WorkerConfig config;
	std::string message;
	return parseWorkerConfig(document, config, message) ? "(valid)" : message;
}

WorkerConfig parsed(const json &document)
{
	WorkerConfig config;
	std::string message;
	EXPECT_TRUE(parseWorkerConfig(document, config, message)) << message;
	return config;
}

} // namespace

TEST(ValidateWorkerConfig, RequiredFieldsInOrder)
{
	EXPECT_EQ(validationMessage(validDocument()), "(valid)");
	EXPECT_EQ(validationMessage(json::array({ 1, 2 })), "Missing required field: quadrants");
	EXPECT_EQ(validationMessage(json("text")), "Missing required field: quadrants");
	EXPECT_EQ(validationMessage(json::object()), "Missing required field: quadrants");

	json document = validDocument();
	for (const char *key : { "srt_uri", "audio_bitrate", "video_bitrate", "codec", "quadrants" }) {
		document.erase(key);
		EXPECT_EQ(validationMessage(document), std::string("Missing required field: ") + key);
	}

	// Only presence counts at this stage, not the types or values of the fields.
	document = validDocument();
	document["codec"] = 5;
	document["video_bitrate"] = "fast";
	document["srt_uri"] = nullptr;
	document["quadrants"] = json::array({ { { "id", "x" }, { "name", 7 } } });
	EXPECT_EQ(validationMessage(document), "(valid)");
}

TEST(ValidateWorkerConfig, QuadrantsShape)
{
	json document = validDocument();
	for (const json &quadrants : { json::array(), json::object({ { "id", 1 }, { "name", "A" } }), json("x") }) {
		document["quadrants"] = quadrants;
		EXPECT_EQ(validationMessage(document), "Field quadrants must be a non-empty array");
	}

	const json good = { { "id", 1 }, { "name", "A" } };
	for (const json &bad : { json(3), json({ { "id", 2 } }), json({ { "name", "B" } }), json::array({ 1 }) }) {
		document["quadrants"] = json::array({ good, bad });
		EXPECT_EQ(validationMessage(document), "Each quadrant must contain id and name");
	}

	// The quadrants are checked before anything after them would fail.
	document["quadrants"] = json::array();
	document.erase("srt_uri");
	EXPECT_EQ(validationMessage(document), "Missing required field: srt_uri");
}

TEST(ParseWorkerConfig, BuildsTheRecord)
{
	const WorkerConfig config = parsed(validDocument());
	EXPECT_EQ(config.codec, "h264");
	EXPECT_EQ(config.video_bitrate, 8000000);
	EXPECT_EQ(config.audio_bitrate, 128000);
	EXPECT_EQ(config.srt_uri, "srt://127.0.0.1:9000?mode=caller&latency=120");
	EXPECT_EQ(config.preview_path, "/tmp/preview");
	EXPECT_EQ(config.real_source_count, 2);
	EXPECT_EQ(config.master_index, 0);

	EXPECT_EQ(config.quadrants[0].id, 1);
	EXPECT_EQ(config.quadrants[0].name, "Camera 1");
	EXPECT_EQ(config.quadrants[0].source_id, "test-1");
	EXPECT_EQ(config.quadrants[0].source_name, "Test Input 1 (640x360p25)");
	EXPECT_FALSE(config.quadrants[0].empty);
	EXPECT_FALSE(config.quadrants[1].empty);

	// Quadrants the document does not list stay empty, with their default names.
	for (int slot : { 2, 3 }) {
		EXPECT_EQ(config.quadrants[slot].id, slot + 1);
		EXPECT_EQ(config.quadrants[slot].name, "Quadrant " + std::to_string(slot + 1));
		EXPECT_EQ(config.quadrants[slot].source_id, "");
		EXPECT_EQ(config.quadrants[slot].source_name, "");
		EXPECT_TRUE(config.quadrants[slot].empty);
	}
}

TEST(ParseWorkerConfig, MasterIsTheFirstSourceInDocumentOrder)
{
	json document = validDocument();
	document["quadrants"] = json::parse(R"json([
		{ "id": 4, "name": "No source" },
		{ "id": 3, "name": "Third", "source_id": "test-3", "source_name": "Test Input 3 (640x360p25)" },
		{ "id": 2, "name": "Empty name", "source_id": "test-2", "source_name": "" },
		{ "id": 1, "name": "First", "source_id": "test-1", "source_name": "Test Input 1 (640x360p25)" }
	])json");
	const WorkerConfig config = parsed(document);
	EXPECT_EQ(config.master_index, 2);
	EXPECT_EQ(config.real_source_count, 2);
	EXPECT_TRUE(config.quadrants[3].empty);
	EXPECT_EQ(config.quadrants[3].name, "No source");
	// A source id without a source name does not make a source.
	EXPECT_TRUE(config.quadrants[1].empty);
	EXPECT_EQ(config.quadrants[1].source_id, "test-2");
	EXPECT_FALSE(config.quadrants[0].empty);
}

TEST(ParseWorkerConfig, QuadrantFailuresFirstWins)
{
	EXPECT_EQ(parseMessage(json::array({ 1 })), "Worker config must contain at least one quadrant");
	json document = validDocument();
	document["quadrants"] = json::array();
	EXPECT_EQ(parseMessage(document), "Worker config must contain at least one quadrant");
	document["quadrants"] = json::object();
	EXPECT_EQ(parseMessage(document), "Worker config must contain at least one quadrant");
	document.erase("quadrants");
	EXPECT_EQ(parseMessage(document), "Worker config must contain at least one quadrant");

	const json source = { { "id", 1 }, { "name", "A" }, { "source_name", "Test Input 1 (640x360p25)" } };
	auto withQuadrants = [](const json &quadrants) {
		json changed = validDocument();
		changed["quadrants"] = quadrants;
		// Later failures must not show while a quadrant fails.
		changed["video_bitrate"] = 0;
		return changed;
	};
	EXPECT_EQ(parseMessage(withQuadrants(json::array({ source, 5 }))), "Each quadrant must contain id and name");
	EXPECT_EQ(parseMessage(withQuadrants(json::array({ source, { { "id", 2 } } }))),
		  "Each quadrant must contain id and name");
	for (int id : { 0, 5, -1 }) {
		EXPECT_EQ(parseMessage(withQuadrants(json::array({ source, { { "id", id }, { "name", "B" } } }))),
			  "quadrants[].id must be in range 1..4");
	}
	EXPECT_EQ(parseMessage(withQuadrants(json::array({ { { "id", 2 }, { "name", "B" } },
							     { { "id", 2 }, { "name", "C" } } }))),
		  "Duplicate quadrant id: 2");
	EXPECT_EQ(parseMessage(withQuadrants(json::array({ { { "id", 1 }, { "name", "A" } },
							     { { "id", 2 }, { "name", "B" }, { "source_name", "" } } }))),
		  "Worker config must contain at least one real source");
}

TEST(ParseWorkerConfig, BitrateUnits)
{
	struct Case {
		int64_t given;
		int64_t expected;
	};
	for (const Case &testCase : { Case{ 1, 1000000 }, Case{ 8, 8000000 }, Case{ 999, 999000000 },
				      Case{ 100000, 100000 }, Case{ 8000000, 8000000 } }) {
		json document = validDocument();
		document["video_bitrate"] = testCase.given;
		EXPECT_EQ(parsed(document).video_bitrate, testCase.expected) << testCase.given;
	}
	// Between the two units' ranges a figure is neither, and is refused
	// rather than read as a few kbit/s; so is the floor of adaptive bitrate.
	const std::string range = "must be from 1 to 999 (Mbit/s) or from 100000 to 2147483647 (bit/s)";
	for (int between : { 1000, 4000, 99999 }) {
		json document = validDocument();
		document["video_bitrate"] = between;
		EXPECT_EQ(parseMessage(document), "video_bitrate " + range) << between;
		document["video_bitrate"] = 8;
		document["adaptive_bitrate"] = true;
		document["min_video_bitrate"] = between;
		EXPECT_EQ(parseMessage(document), "min_video_bitrate " + range) << between;
	}
	for (const Case &testCase : { Case{ 1, 1000 }, Case{ 128, 128000 }, Case{ 9999, 9999000 },
				      Case{ 10000, 10000 }, Case{ 192000, 192000 } }) {
		json document = validDocument();
		document["audio_bitrate"] = testCase.given;
		EXPECT_EQ(parsed(document).audio_bitrate, testCase.expected) << testCase.given;
	}

	// The JSON library's numeric conversion: a fraction is truncated.
	json document = validDocument();
	document["video_bitrate"] = 8.9;
	EXPECT_EQ(parsed(document).video_bitrate, 8000000);

	for (int bad : { 0, -1 }) {
		document = validDocument();
		document["video_bitrate"] = bad;
		document["audio_bitrate"] = bad;
		EXPECT_EQ(parseMessage(document), "video_bitrate must be greater than zero");
		document["video_bitrate"] = 8;
		EXPECT_EQ(parseMessage(document), "audio_bitrate must be greater than zero");
	}
}

// Adaptive bitrate: off unless the document says so; its floor read as the
// video bitrate is, a quarter of it (at least 1 Mbit/s) when not given.
TEST(ParseWorkerConfig, AdaptiveBitrateAndItsFloor)
{
	json document = validDocument();
	EXPECT_FALSE(parsed(document).adaptive_bitrate);
	document["adaptive_bitrate"] = true;
	EXPECT_TRUE(parsed(document).adaptive_bitrate);
	EXPECT_EQ(parsed(document).min_video_bitrate, 2000000);
	document["video_bitrate"] = 2;
	EXPECT_EQ(parsed(document).min_video_bitrate, 1000000);
	document["min_video_bitrate"] = 1500000;
	EXPECT_EQ(parsed(document).min_video_bitrate, 1500000);
	document["min_video_bitrate"] = 1;
	EXPECT_EQ(parsed(document).min_video_bitrate, 1000000);
	document["min_video_bitrate"] = 3;
	EXPECT_EQ(parseMessage(document), "min_video_bitrate must be from 1 to video_bitrate");
	document["adaptive_bitrate"] = "yes";
	EXPECT_NE(parseMessage(document).find("type must be boolean"), std::string::npos) << parseMessage(document);
}

// A recording: off unless the document says so, and then with its folder,
// a file-name safe name and a segment length within bounds.
TEST(ParseWorkerConfig, Recording)
{
	json document = validDocument();
	EXPECT_FALSE(parsed(document).record);
	document["record"] = true;
	document["recordings_path"] = "/var/recordings";
	document["record_name"] = "studio-a";
	document["record_segment_minutes"] = 0.5;
	const tiloran::WorkerConfig config = parsed(document);
	EXPECT_TRUE(config.record);
	EXPECT_EQ(config.recordings_path, "/var/recordings");
	EXPECT_EQ(config.record_name, "studio-a");
	EXPECT_EQ(config.record_segment_minutes, 0.5);
	const std::pair<const char *, json> refused[] = { { "record_name", "../x" },
							  { "record_segment_minutes", 0.01 },
							  { "recordings_path", "" } };
	for (const auto &[key, value] : refused) {
		json bad = document;
		bad[key] = value;
		EXPECT_NE(parseMessage(bad).find("record needs recordings_path"), std::string::npos) << key;
	}
}

// Further destinations, each read as the main one's "srt" object and
// "srt_reconnect" are.
TEST(ParseWorkerConfig, FurtherOutputs)
{
	json document = validDocument();
	EXPECT_TRUE(parsed(document).outputs.empty());
	document["outputs"] = json::parse(R"json([
  { "srt": { "host_port": "127.0.0.1:9001", "latency": 200, "passphrase": "0123456789", "streamid": "b" },
    "srt_reconnect": true },
  { "srt": { "host_port": "[::1]:9002", "latency": 120, "passphrase": "", "streamid": "" } }
])json");
	const WorkerConfig config = parsed(document);
	ASSERT_EQ(config.outputs.size(), 2u);
	EXPECT_EQ(config.outputs[0].host, "127.0.0.1");
	EXPECT_EQ(config.outputs[0].port, 9001);
	EXPECT_EQ(config.outputs[0].latencyMs, 200);
	EXPECT_EQ(config.outputs[0].passphrase, "0123456789");
	EXPECT_EQ(config.outputs[0].streamId, "b");
	EXPECT_TRUE(config.outputs[0].reconnect);
	EXPECT_EQ(config.outputs[1].host, "::1");
	EXPECT_FALSE(config.outputs[1].reconnect);
	document["outputs"][1]["srt"]["host_port"] = "nowhere";
	EXPECT_EQ(parseMessage(document), "outputs[1]: srt.host_port must be host:port");
	document["outputs"][1] = json::object();
	EXPECT_EQ(parseMessage(document), "outputs[1]: srt must be an object");
	document["outputs"] = json::object();
	EXPECT_EQ(parseMessage(document), "outputs must be an array");
}

// The listener's keys, on the main destination and a further one; without
// "srt_mode" the caller, as before.
TEST(ParseWorkerConfig, ListenerSettings)
{
	json document = validDocument();
	EXPECT_FALSE(parsed(document).srt.listener);
	document["srt_mode"] = "listener";
	WorkerConfig config = parsed(document);
	EXPECT_TRUE(config.srt.listener);
	EXPECT_EQ(config.srt.maxCallers, 4);
	EXPECT_TRUE(config.srt.allowedStreamIds.empty());
	document["srt_max_callers"] = 16;
	document["outputs"] = { { { "srt", { { "host_port", "[::]:9001" } } },
				  { "srt_mode", "listener" },
				  { "srt_allowed_stream_ids", { "a", "b" } } } };
	config = parsed(document);
	EXPECT_EQ(config.srt.maxCallers, 16);
	ASSERT_EQ(config.outputs.size(), 1u);
	EXPECT_TRUE(config.outputs[0].listener);
	EXPECT_EQ(config.outputs[0].host, "::");
	EXPECT_EQ(config.outputs[0].allowedStreamIds, (std::vector<std::string>{ "a", "b" }));

	const std::pair<const char *, json> refused[] = {
		{ "srt_mode", "server" }, { "srt_max_callers", 0 }, { "srt_max_callers", 17 },
		{ "srt_allowed_stream_ids", { "" } }, { "srt_allowed_stream_ids", { "a\nb" } },
		{ "srt_allowed_stream_ids", json(std::vector<std::string>(17, "a")) },
	};
	for (const auto &[key, value] : refused) {
		json bad = document;
		bad[key] = value;
		EXPECT_NE(parseMessage(bad).find(key), std::string::npos) << key << " " << value;
	}
}

// Numbers beyond 32 bits neither wrap around into a valid value nor, as
// floating-point numbers, convert with undefined behaviour: they become the
// nearest 32-bit value.
TEST(ParseWorkerConfig, NumbersBeyond32BitsTakeTheNearest32BitValue)
{
	for (const json &id : { json(4294967297U), json(-4294967295LL), json(1e10), json(-1e300),
				json(2147483648.5), json(18446744073709551615ULL) }) {
		json document = validDocument();
		document["quadrants"][0]["id"] = id;
		EXPECT_EQ(parseMessage(document), "quadrants[].id must be in range 1..4") << id;
	}

	// 4294967304 would wrap to 8 (Mbit/s), -4294967295 to 1 (kbit/s).
	for (const json &bitrate : { json(4294967304LL), json(1e300), json(2147483648.0) }) {
		json document = validDocument();
		document["video_bitrate"] = bitrate;
		document["audio_bitrate"] = bitrate;
		const WorkerConfig config = parsed(document);
		EXPECT_EQ(config.video_bitrate, 2147483647) << bitrate;
		EXPECT_EQ(config.audio_bitrate, 2147483647) << bitrate;
	}
	for (const json &bitrate : { json(-4294967295LL), json(-1e300), json(-2147483649.5) }) {
		json document = validDocument();
		document["video_bitrate"] = bitrate;
		EXPECT_EQ(parseMessage(document), "video_bitrate must be greater than zero") << bitrate;
		document["video_bitrate"] = 8;
		document["audio_bitrate"] = bitrate;
		EXPECT_EQ(parseMessage(document), "audio_bitrate must be greater than zero") << bitrate;
	}

	// Within the range the library's conversion stands: fractions cut off toward zero.
	json document = validDocument();
	document["video_bitrate"] = 2147483647.9;
	document["audio_bitrate"] = -0.9;
	EXPECT_EQ(parseMessage(document), "audio_bitrate must be greater than zero");
	document["audio_bitrate"] = true;
	EXPECT_EQ(parsed(document).video_bitrate, 2147483647);
	EXPECT_EQ(parsed(document).audio_bitrate, 1000);
}

TEST(ParseWorkerConfig, SrtUriAndCodec)
{
	json document = validDocument();
	document["srt_uri"] = "";
	document["codec"] = "hevc";
	EXPECT_EQ(parseMessage(document), "srt_uri is empty");

	for (const char *codec : { "h264", "libx264", "h264_nvenc", "h264_qsv", "h264_vaapi", "libx264rgb" }) {
		document = validDocument();
		document["codec"] = codec;
		EXPECT_EQ(parseMessage(document), "(valid)") << codec;
	}
	for (const char *codec : { "hevc", "H.264", "", "libx265", "LIBX264", "h264 " }) {
		document = validDocument();
		document["codec"] = codec;
		EXPECT_EQ(parseMessage(document), "Worker currently supports only H.264 encoders") << codec;
	}
}

TEST(ParseWorkerConfig, AbsentPreviewPathDisablesThePreview)
{
	json document = validDocument();
	document.erase("preview_path");
	const WorkerConfig config = parsed(document);
	EXPECT_EQ(config.preview_path, "");
}

// Two channel numbers from 1 to 16, left then right; without them the
// master's first two channels go out, as before.
TEST(ParseWorkerConfig, AudioChannelsChooseTheMastersPair)
{
	json document = validDocument();
	EXPECT_EQ(parsed(document).audio_channels, (tiloran::AudioChannelPair{ 1, 2 }));
	document["audio_channels"] = { 6, 5 };
	EXPECT_EQ(parsed(document).audio_channels, (tiloran::AudioChannelPair{ 6, 5 }));
	EXPECT_EQ(parsed(document).audio_channels.channelsNeeded(), 8);
	document["audio_channels"] = { 16, 1 };
	EXPECT_EQ(parsed(document).audio_channels.channelsNeeded(), 16);
	for (const json &refused : { json(nullptr), json({ 5 }), json({ 0, 1 }), json({ 1, 17 }), json({ 1.0, 2 }),
				     json({ "1", 2 }), json({ 1, 2, 3 }) }) {
		document["audio_channels"] = refused;
		EXPECT_EQ(parseMessage(document), "audio_channels must be two channel numbers from 1 to 16") << refused;
	}
}

// Values of the wrong JSON type are refused with the library's message
// rather than ending the worker with an uncaught exception.
TEST(ParseWorkerConfig, WrongTypesGiveTheLibraryMessage)
{
	const std::string notNumber = "[json.exception.type_error.302] type must be number, but is ";
	const std::string notString = "[json.exception.type_error.302] type must be string, but is ";
	struct Case {
		const char *what;
		std::function<void(json &)> change;
		std::string message;
	};
	const std::vector<Case> cases = {
		{ "id", [](json &d) { d["quadrants"][0]["id"] = "1"; }, notNumber + "string" },
		{ "name", [](json &d) { d["quadrants"][1]["name"] = 2; }, notString + "number" },
		{ "source_id", [](json &d) { d["quadrants"][0]["source_id"] = nullptr; }, notString + "null" },
		{ "source_name", [](json &d) { d["quadrants"][0]["source_name"] = json::array(); }, notString + "array" },
		{ "codec", [](json &d) { d["codec"] = 264; }, notString + "number" },
		{ "video_bitrate", [](json &d) { d["video_bitrate"] = "8 Mbps"; }, notNumber + "string" },
		{ "audio_bitrate", [](json &d) { d["audio_bitrate"] = json::object(); }, notNumber + "object" },
		{ "srt_uri", [](json &d) { d["srt_uri"] = false; }, notString + "boolean" },
		{ "preview_path", [](json &d) { d["preview_path"] = 1; }, notString + "number" },
	};
	for (const Case &testCase : cases) {
		json document = validDocument();
		testCase.change(document);
		EXPECT_EQ(parseMessage(document), testCase.message) << testCase.what;
	}

	// A parse that the semantic check alone would refuse reports the missing field.
	json document = validDocument();
	document.erase("codec");
	EXPECT_EQ(parseMessage(document), "[json.exception.out_of_range.403] key 'codec' not found");
}
