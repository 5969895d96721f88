#include "config/ConfigManager.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <string_view>
#include <utility>

#include "common/AudioChannels.h"
#include "common/ConsoleLine.h"
#include "common/H264EncoderName.h"
#include "common/RecordingName.h"
#include "common/platform/DeckLinkDiscovery.h"
#include "config/platform/FileReplacement.h"
#include "config/platform/UserDirectories.h"
#include "config/ProductInfo.h"

namespace tiloran {

namespace {

constexpr std::int32_t kDefaultSrtLatency = 120;

} // namespace

std::filesystem::path resolveWorkerConfigPath(bool portable)
{
	if (portable)
		return std::filesystem::current_path() / "worker_config.json";

	std::filesystem::path base;
	if (std::optional<std::filesystem::path> userBase = userConfigurationBaseDirectory())
		base = std::move(*userBase);
	else
		base = std::filesystem::current_path();
	return base / "KV_TILORAN" / "Encoder" / "worker_config.json";
}

namespace {

std::filesystem::path resolvePreviewPath(bool portable)
{
	if (portable)
		return std::filesystem::current_path() / "preview";
	return temporaryDirectory() / "KV_TILORAN" / "Encoder" / "preview";
}

bool requireField(const nlohmann::json &request, const char *key, std::string &message)
{
	if (request.is_object() && request.contains(key))
		return true;
	message = std::string("Missing required field: ") + key;
	return false;
}

bool isNonEmptyString(const nlohmann::json &value)
{
	return value.is_string() && !value.get_ref<const std::string &>().empty();
}

// SRT carries the latency in 16 bits of its handshake: anything above would
// reach the receiver wrapped.
constexpr std::int64_t kMaximumSrtLatency = 65535;
// SRT's own limit for the stream id, in bytes.
constexpr std::size_t kMaximumStreamIdBytes = 512;
// A host name of at most 253 characters, a colon and a port of five digits,
// with room for an IPv6 address's brackets.
constexpr std::size_t kMaximumHostPortLength = 261;
constexpr std::size_t kMaximumHostNameLength = 253;
constexpr std::size_t kMaximumQuadrantNameLength = 64;

// The latency in milliseconds: a whole number SRT can carry, or none.
std::optional<std::int32_t> readLatency(const nlohmann::json &request)
{
	const auto latency = request.find("srtLatency");
	if (latency == request.end())
		return kDefaultSrtLatency;
	if (latency->is_number_unsigned())
		return latency->get<std::uint64_t>() <= static_cast<std::uint64_t>(kMaximumSrtLatency)
			       ? std::optional<std::int32_t>(latency->get<std::int32_t>())
			       : std::nullopt;
	if (latency->is_number_integer())
		return latency->get<std::int64_t>() >= 0 && latency->get<std::int64_t>() <= kMaximumSrtLatency
			       ? std::optional<std::int32_t>(latency->get<std::int32_t>())
			       : std::nullopt;
	if (latency->is_number_float()) {
		const double value = latency->get<double>();
		if (value >= 0 && value <= kMaximumSrtLatency && value == std::trunc(value))
			return static_cast<std::int32_t>(value);
	}
	return std::nullopt;
}

// The number of characters of UTF-8 text (its bytes that start one).
std::size_t characterCount(const std::string &text)
{
	return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char byte) {
		return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
	}));
}

bool hasControlCharacter(const std::string &text)
{
	return std::any_of(text.begin(), text.end(), [](char byte) {
		return static_cast<unsigned char>(byte) < 0x20 || byte == 0x7F;
	});
}

// An optional string member: absent gives the empty string; any other type
// than a string is refused with the field's name.
bool readOptionalString(const nlohmann::json &request, const char *key, std::string &value, std::string &message)
{
	const auto found = request.find(key);
	if (found == request.end()) {
		value.clear();
		return true;
	}
	if (!found->is_string()) {
		message = std::string("Field ") + key + " must be a string";
		return false;
	}
	value = found->get<std::string>();
	return true;
}

// A bitrate as the worker reads it: a whole number, from 1 up to what its
// 32-bit field holds.
bool checkBitrate(const nlohmann::json &request, const char *key, std::string &message)
{
	const nlohmann::json &value = request[key];
	const std::string field = std::string("Field ") + key + " must be ";
	const bool positive = (value.is_number_unsigned() && value.get<std::uint64_t>() > 0) ||
			      (value.is_number_integer() && value.get<std::int64_t>() > 0) ||
			      (value.is_number_float() && value.get<double>() > 0);
	if (!positive) {
		message = field + "a number greater than zero";
		return false;
	}
	constexpr auto largest = std::numeric_limits<std::int32_t>::max();
	const bool whole = value.is_number_float()
				   ? value.get<double>() >= 1 && value.get<double>() <= largest &&
					     value.get<double>() == std::trunc(value.get<double>())
				   : value.get<std::uint64_t>() <= static_cast<std::uint64_t>(largest);
	if (!whole) {
		message = field + "a whole number from 1 to " + std::to_string(largest);
		return false;
	}
	return true;
}

// The worker reads a video bitrate of 1 to 999 as Mbit/s and any other as
// bit/s, so a value meant as kbit/s (4000 for 4 Mbit/s) would go out at a
// few kbit/s: what lies between the two readings is no usable video rate.
constexpr std::int64_t largestVideoMbps = 999;
constexpr std::int64_t smallestVideoBitsPerSecond = 100000;

std::int64_t wholeValue(const nlohmann::json &value)
{
	return value.is_number_float() ? static_cast<std::int64_t>(value.get<double>()) : value.get<std::int64_t>();
}

bool checkVideoBitrateUnit(const nlohmann::json &request, const char *key, std::string &message)
{
	const std::int64_t rate = wholeValue(request[key]);
	if (rate > largestVideoMbps && rate < smallestVideoBitsPerSecond) {
		message = std::string("Field ") + key + " must be from 1 to " + std::to_string(largestVideoMbps) +
			  " (Mbit/s) or from " + std::to_string(smallestVideoBitsPerSecond) + " to " +
			  std::to_string(std::numeric_limits<std::int32_t>::max()) + " (bit/s)";
		return false;
	}
	return true;
}

// A video bitrate as the worker reads it.
std::int64_t videoBitsPerSecond(const nlohmann::json &value)
{
	const std::int64_t rate = wholeValue(value);
	return rate <= largestVideoMbps ? rate * 1000000 : rate;
}

// The floor of an adaptive bitrate when the request names none: a quarter of
// the video bitrate in its own unit, at least 1 Mbit/s, never above it.
nlohmann::json defaultMinimumVideoBitrate(const nlohmann::json &videoBitrate)
{
	const std::int64_t rate = wholeValue(videoBitrate);
	if (rate <= largestVideoMbps)
		return std::max<std::int64_t>(1, rate / 4);
	return std::min<std::int64_t>(rate, std::max<std::int64_t>(1000000, rate / 4));
}

// Adaptive bitrate: a switch, and the floor in the unit and bounds of
// videoBitrate, not above it.
bool checkAdaptiveBitrate(const nlohmann::json &request, std::string &message)
{
	if (request.contains("adaptiveBitrate") && !request["adaptiveBitrate"].is_boolean()) {
		message = "Field adaptiveBitrate must be true or false";
		return false;
	}
	if (!request.contains("minVideoBitrate"))
		return true;
	if (!checkBitrate(request, "minVideoBitrate", message) ||
	    !checkVideoBitrateUnit(request, "minVideoBitrate", message))
		return false;
	if (videoBitsPerSecond(request["minVideoBitrate"]) > videoBitsPerSecond(request["videoBitrate"])) {
		message = "Field minVideoBitrate must not be above videoBitrate";
		return false;
	}
	return true;
}

// "record": a switch; "recordSegmentMinutes": the longest file, in minutes
// (a fraction allowed, so that a short test can cut too).
bool checkRecording(const nlohmann::json &request, std::string &message)
{
	if (request.contains("record") && !request["record"].is_boolean()) {
		message = "Field record must be true or false";
		return false;
	}
	if (request.contains("recordSegmentMinutes")) {
		const nlohmann::json &minutes = request["recordSegmentMinutes"];
		if (!minutes.is_number() || !(minutes.get<double>() >= kShortestRecordSegmentMinutes &&
					      minutes.get<double>() <= kLongestRecordSegmentMinutes)) {
			message = std::string("Field recordSegmentMinutes must be a number from ") +
				  kShortestRecordSegmentText + " to " + kLongestRecordSegmentText;
			return false;
		}
	}
	return true;
}

// The stream's name in its recordings' file names: the stream id with every
// character a file name cannot safely hold made '_', "stream" without one.
std::string recordingNameOf(const std::string &streamId)
{
	std::string name;
	for (const char c : streamId) {
		if (name.size() == kLongestRecordingName)
			break;
		const std::string_view one(&c, 1);
		name += isRecordingName(one) ? c : '_';
	}
	return name.empty() ? "stream" : name;
}

// "host:port" as an SRT caller needs it: a host name, an IPv4 address or an
// IPv6 address in brackets, and a port from 1 to 65535. Nothing else may
// reach the URI, whose parameters follow the port.
bool isHostAndPort(const std::string &hostPort)
{
	const std::size_t colon = hostPort.rfind(':');
	if (colon == std::string::npos || colon == 0)
		return false;
	const std::string_view host = std::string_view(hostPort).substr(0, colon);
	const std::string_view port = std::string_view(hostPort).substr(colon + 1);
	if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos)
		return false;
	const int portNumber = std::stoi(std::string(port));
	if (portNumber < 1 || portNumber > 65535)
		return false;
	if (host.front() == '[')
		return host.size() > 2 && host.back() == ']' &&
		       host.substr(1, host.size() - 2).find_first_not_of("0123456789abcdefABCDEF:.") ==
			       std::string_view::npos;
	return host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_") ==
	       std::string_view::npos;
}

// What the worker would refuse of a request that passed the checks above, so
// that it is refused here, with a reason, before a worker starts.
bool checkWhatTheWorkerNeeds(const nlohmann::json &request, const nlohmann::json &quadrants, std::string &message)
{
	const std::string &hostPort = request["srtHostPort"].get_ref<const std::string &>();
	if (characterCount(hostPort) > kMaximumHostPortLength) {
		message = "Field srtHostPort must be at most " + std::to_string(kMaximumHostPortLength) +
			  " characters long";
		return false;
	}
	if (hostPort.front() != '[' && hostPort.find(':') != std::string::npos &&
	    hostPort.rfind(':') > kMaximumHostNameLength) {
		message = "Field srtHostPort must have a host name of at most " +
			  std::to_string(kMaximumHostNameLength) + " characters";
		return false;
	}
	if (!isHostAndPort(hostPort)) {
		message = "Field srtHostPort must be host:port with a port from 1 to 65535";
		return false;
	}
	if (!checkBitrate(request, "videoBitrate", message) || !checkVideoBitrateUnit(request, "videoBitrate", message) ||
	    !checkBitrate(request, "audioBitrate", message) || !checkAdaptiveBitrate(request, message))
		return false;
	if (!isH264EncoderName(request["codec"].get_ref<const std::string &>())) {
		message = "Field codec must be the name of an H.264 encoder, such as libx264";
		return false;
	}
	// SRT's own limits; a NUL would cut the stream id short on its way.
	const std::string &streamId = request.contains("srtStreamId")
					      ? request["srtStreamId"].get_ref<const std::string &>()
					      : std::string();
	if (streamId.size() > kMaximumStreamIdBytes) {
		message = "Field srtStreamId must be at most " + std::to_string(kMaximumStreamIdBytes) + " bytes long";
		return false;
	}
	if (hasControlCharacter(streamId)) {
		message = "Field srtStreamId must not contain control characters";
		return false;
	}
	const std::size_t passphraseLength =
		request.contains("srtPassphrase") ? request["srtPassphrase"].get_ref<const std::string &>().size() : 0;
	if (passphraseLength != 0 && (passphraseLength < 10 || passphraseLength > 79)) {
		message = "Field srtPassphrase must be empty or 10 to 79 characters long";
		return false;
	}

	if (quadrants.size() > 4) {
		message = std::string("Field ") + (request.contains("quadrants") ? "quadrants" : "devices") +
			  " must have at most 4 items";
		return false;
	}
	std::set<std::int64_t> seenIds;
	for (const nlohmann::json &quadrant : quadrants) {
		const nlohmann::json &id = quadrant["id"];
		// A parsed 0 is unsigned, a built one signed: both are refused.
		const bool inRange = id.is_number_unsigned()
					     ? id.get<std::uint64_t>() >= 1 && id.get<std::uint64_t>() <= 4
					     : id.get<std::int64_t>() >= 1 && id.get<std::int64_t>() <= 4;
		if (!inRange) {
			message = "Each quadrants item id must be from 1 to 4";
			return false;
		}
		if (!seenIds.insert(id.get<std::int64_t>()).second) {
			message = "Duplicate quadrants item id: " + std::to_string(id.get<std::int64_t>());
			return false;
		}
		if (characterCount(quadrant["name"].get_ref<const std::string &>()) > kMaximumQuadrantNameLength) {
			message = "Each quadrants item name must be at most " + std::to_string(kMaximumQuadrantNameLength) +
				  " characters long";
			return false;
		}
	}
	return true;
}

/*
 * "audioChannels": the two embedded channels of the master input, left then
 * right, that become the stream's stereo. The master is the first quadrant
 * whose input has a name, as the worker takes it; a document without one is
 * refused by the worker anyway.
 */
bool checkAudioChannels(const nlohmann::json &request, const nlohmann::json &quadrants,
			const std::vector<DeviceInfo> &devices, std::string &message)
{
	const auto found = request.find("audioChannels");
	if (found == request.end())
		return true;
	const auto isChannel = [](const nlohmann::json &value) {
		return value.is_number_integer() && value.get<std::int64_t>() >= 1 &&
		       value.get<std::int64_t>() <= kMaximumAudioChannels;
	};
	if (!found->is_array() || found->size() != 2 || !isChannel((*found)[0]) || !isChannel((*found)[1])) {
		message = "Field audioChannels must be two channel numbers from 1 to " + std::to_string(kMaximumAudioChannels);
		return false;
	}

	const auto master = std::find_if(quadrants.begin(), quadrants.end(), [](const nlohmann::json &quadrant) {
		return !quadrant["source_name"].get_ref<const std::string &>().empty();
	});
	if (master == quadrants.end())
		return true;
	const std::string &sourceId = (*master)["source_id"].get_ref<const std::string &>();
	const auto device = std::find_if(devices.begin(), devices.end(),
					 [&](const DeviceInfo &candidate) { return candidate.id == sourceId; });
	const std::int64_t highest = std::max((*found)[0].get<std::int64_t>(), (*found)[1].get<std::int64_t>());
	if (device != devices.end() && highest > device->audioChannels) {
		message = "Field audioChannels must be from 1 to " + std::to_string(device->audioChannels) +
			  ": the master input '" + device->name + "' has " + std::to_string(device->audioChannels) +
			  " audio channels";
		return false;
	}
	return true;
}

nlohmann::json quadrantObject(const nlohmann::json &id, const nlohmann::json &name, const DeviceInfo &device)
{
	return {
		{ "id", id },
		{ "name", name },
		{ "source_id", device.id },
		{ "source_name", device.name },
	};
}

nlohmann::json optionArray(const std::vector<BitrateOption> &options)
{
	nlohmann::json array = nlohmann::json::array();
	for (const BitrateOption &option : options)
		array.push_back({ { "title", option.title }, { "value", option.value } });
	return array;
}

// "available" where the worker has said whether this machine can open the encoder.
nlohmann::json optionArray(const std::vector<CodecOption> &options, const std::map<std::string, bool> &available)
{
	nlohmann::json array = nlohmann::json::array();
	for (const CodecOption &option : options) {
		nlohmann::json entry{ { "title", option.title }, { "value", option.value } };
		if (const auto found = available.find(option.value); found != available.end())
			entry["available"] = found->second;
		array.push_back(std::move(entry));
	}
	return array;
}

} // namespace

ConfigManager::ConfigManager(bool portable, TestInputs testInputs)
	: workerConfigPath_(resolveWorkerConfigPath(portable).string()),
	  previewPath_(resolvePreviewPath(portable).string()),
	  recordingsPath_((resolvePreviewPath(portable).parent_path() / "recordings").string()),
	  testInputs_(std::move(testInputs))
{
	printLine(std::string("[ConfigManager] Config mode: ") + (portable ? "portable" : "user"));
	printLine("[ConfigManager] Worker config path: " + workerConfigPath_);
	printLine("[ConfigManager] Preview path: " + previewPath_);
	printLine("[ConfigManager] Recordings path: " + recordingsPath_);

	refreshDevices();
}

void ConfigManager::loadEncodingOptions()
{
	// Thin links need 1 to 6 Mbit/s; the values offered before stay.
	videoBitrates_ = {
		{ "1 Mbps", 1 }, { "2 Mbps", 2 }, { "3 Mbps", 3 }, { "4 Mbps", 4 }, { "5 Mbps", 5 }, { "6 Mbps", 6 },
		{ "8 Mbps", 8 }, { "12 Mbps", 12 }, { "16 Mbps", 16 }, { "20 Mbps", 20 },
		{ "25 Mbps", 25 }, { "30 Mbps", 30 }, { "40 Mbps", 40 }, { "50 Mbps", 50 },
	};
	audioBitrates_ = {
		{ "128 kbps", 128 }, { "192 kbps", 192 }, { "256 kbps", 256 }, { "320 kbps", 320 },
	};
	// The software encoder lets every machine stream, with or without a
	// hardware encoder.
	codecs_ = {
		{ "Intel H264", "h264_qsv" },
		{ "NVidia H264", "h264_nvenc" },
		{ "Software H264", "libx264" },
	};
}

void ConfigManager::refreshDevices()
{
	loadEncodingOptions();

	devices_.clear();
	{
		DeckLinkDiscovery discovery;
		if (!discovery.isAvailable()) {
			printLine("[ConfigManager] DeckLink SDK runtime is not available");
		} else {
			const std::vector<DeckLinkCaptureDevice> found = discovery.listCaptureDevices();
			if (found.empty()) {
				printLine("[ConfigManager] No DeckLink capture devices found");
			} else {
				printLine("[ConfigManager] Found " + std::to_string(found.size()) +
					  " DeckLink capture device(s)");
				for (const DeckLinkCaptureDevice &device : found)
					devices_.push_back({ deckLinkDeviceId(device), device.displayName, "decklink", "available",
							     deckLinkCaptureChannels(device) });
			}
		}
	}

	if (testInputs_.count > 0) {
		for (DeviceInfo &device : testInputDevices(testInputs_))
			devices_.push_back(std::move(device));
		printLine("[ConfigManager] Test inputs: " + std::to_string(testInputs_.count) + " (" +
			  testInputs_.mode + ")");
	}
}

nlohmann::json ConfigManager::getClientConfig() const
{
	nlohmann::json document = nlohmann::json::object();
	document["project"] = { { "title", std::string(productTitle) + "(" + productVersion + ")" } };

	nlohmann::json devices = nlohmann::json::array();
	for (const DeviceInfo &device : devices_) {
		devices.push_back({
			{ "id", device.id },
			{ "name", device.name },
			{ "type", device.type },
			{ "status", device.status },
			{ "audioChannels", device.audioChannels },
		});
	}
	document["devices"] = std::move(devices);

	document["encoding"] = {
		{ "videoBitrates", optionArray(videoBitrates_) },
		{ "audioBitrates", optionArray(audioBitrates_) },
		{ "codecs", optionArray(codecs_, codecAvailability()) },
	};
	return document;
}

std::vector<std::string> ConfigManager::codecNames() const
{
	std::vector<std::string> names;
	for (const CodecOption &option : codecs_)
		names.push_back(option.value);
	return names;
}

void ConfigManager::setCodecAvailability(const std::map<std::string, bool> &available)
{
	std::lock_guard lock(codecAvailableMutex_);
	codecAvailable_ = available;
}

std::map<std::string, bool> ConfigManager::codecAvailability() const
{
	std::lock_guard lock(codecAvailableMutex_);
	return codecAvailable_;
}

std::optional<DeviceInfo> ConfigManager::findDevice(const std::string &id) const
{
	for (const DeviceInfo &device : devices_) {
		if (device.id == id)
			return device;
	}
	return std::nullopt;
}

bool ConfigManager::saveWorkerConfig(const nlohmann::json &request, std::string &message) const
{
	nlohmann::json document;
	return buildWorkerConfig(request, document, message) && writeWorkerConfig(document, message);
}

bool ConfigManager::buildWorkerConfig(const nlohmann::json &request, nlohmann::json &workerConfig,
				      std::string &message) const
{
	for (const char *key : { "srtHostPort", "videoBitrate", "audioBitrate", "codec" }) {
		if (!requireField(request, key, message))
			return false;
	}
	if (!isNonEmptyString(request["srtHostPort"])) {
		message = "Field srtHostPort must be a non-empty string";
		return false;
	}
	if (!isNonEmptyString(request["codec"])) {
		message = "Field codec must be a non-empty string";
		return false;
	}

	const std::string hostPort = request["srtHostPort"].get<std::string>();
	std::string streamId;
	std::string passphrase;
	if (!readOptionalString(request, "srtStreamId", streamId, message) ||
	    !readOptionalString(request, "srtPassphrase", passphrase, message))
		return false;
	const std::optional<std::int32_t> latency = readLatency(request);
	if (!latency) {
		message = "Field srtLatency must be a whole number from 0 to " + std::to_string(kMaximumSrtLatency);
		return false;
	}
	if (request.contains("srtReconnect") && !request["srtReconnect"].is_boolean()) {
		message = "Field srtReconnect must be true or false";
		return false;
	}
	if (!checkRecording(request, message))
		return false;

	nlohmann::json document = { { "quadrants", nlohmann::json::array() } };
	nlohmann::json &quadrants = document["quadrants"];

	if (request.contains("quadrants")) {
		const nlohmann::json &items = request["quadrants"];
		if (!items.is_array() || items.empty()) {
			message = "Field quadrants must be a non-empty array";
			return false;
		}
		for (const nlohmann::json &item : items) {
			if (!item.is_object() || !item.contains("id") || !item.contains("name") ||
			    !item.contains("source_id")) {
				message = "Each quadrants item must contain id, name and source_id";
				return false;
			}
			if (!item["id"].is_number_integer() || !item["name"].is_string() ||
			    !item["source_id"].is_string()) {
				message = "Invalid quadrants item field types";
				return false;
			}
			const std::string &sourceId = item["source_id"].get_ref<const std::string &>();
			const std::optional<DeviceInfo> device = findDevice(sourceId);
			if (!device) {
				message = "Unknown selected device id: " + sourceId;
				return false;
			}
			quadrants.push_back(quadrantObject(item["id"], item["name"], *device));
		}
	} else if (request.contains("devices")) {
		const nlohmann::json &items = request["devices"];
		if (!items.is_array() || items.empty()) {
			message = "Field devices must be a non-empty array";
			return false;
		}
		int counter = 1;
		for (const nlohmann::json &item : items) {
			if (!isNonEmptyString(item)) {
				message = "Each devices item must be a non-empty string";
				return false;
			}
			const std::string &deviceId = item.get_ref<const std::string &>();
			const std::optional<DeviceInfo> device = findDevice(deviceId);
			if (!device) {
				message = "Unknown selected device id: " + deviceId;
				return false;
			}
			quadrants.push_back(quadrantObject(counter, "Quadrant " + std::to_string(counter), *device));
			++counter;
		}
	} else {
		message = "Missing required field: quadrants";
		return false;
	}
	if (!checkWhatTheWorkerNeeds(request, quadrants, message) ||
	    !checkAudioChannels(request, quadrants, devices_, message))
		return false;

	document["codec"] = request["codec"];
	document["video_bitrate"] = request["videoBitrate"];
	document["audio_bitrate"] = request["audioBitrate"];
	document["srt"] = {
		{ "host_port", hostPort },
		{ "streamid", streamId },
		{ "latency", *latency },
		{ "passphrase", passphrase },
	};
	document["srt_uri"] = buildSrtUri(hostPort, streamId, *latency, passphrase);
	// Only when asked for, so that documents without them stay as they were.
	if (request.contains("srtReconnect"))
		document["srt_reconnect"] = request["srtReconnect"].get<bool>();
	if (request.contains("adaptiveBitrate")) {
		document["adaptive_bitrate"] = request["adaptiveBitrate"].get<bool>();
		if (request["adaptiveBitrate"].get<bool>())
			document["min_video_bitrate"] = request.contains("minVideoBitrate")
								? request["minVideoBitrate"]
								: defaultMinimumVideoBitrate(request["videoBitrate"]);
	}
	if (request.contains("audioChannels"))
		document["audio_channels"] = { request["audioChannels"][0].get<std::int32_t>(),
					       request["audioChannels"][1].get<std::int32_t>() };
	document["preview_path"] = previewPath_;
	if (request.value("record", false)) {
		document["record"] = true;
		document["recordings_path"] = recordingsPath_;
		document["record_name"] = recordingNameOf(streamId);
		document["record_segment_minutes"] = request.value("recordSegmentMinutes", 60.0);
	}
	workerConfig = std::move(document);
	return true;
}

bool ConfigManager::writeWorkerConfig(const nlohmann::json &document, std::string &message) const
{
	const std::string contents = document.dump(2) + "\n";
	const std::filesystem::path path(workerConfigPath_);

	std::lock_guard<std::mutex> lock(workerConfigFileMutex_);

	if (path.has_parent_path()) {
		try {
			std::filesystem::create_directories(path.parent_path());
		} catch (const std::filesystem::filesystem_error &error) {
			message = std::string("Failed to create worker config directory: ") + error.what();
			return false;
		}
	}

	switch (replaceFileContents(path, contents)) {
	case FileReplaceResult::Replaced:
		break;
	case FileReplaceResult::OpenFailed:
		message = "Failed to open worker config file for writing: " + workerConfigPath_;
		return false;
	case FileReplaceResult::WriteFailed:
		message = "Failed to write worker config file: " + workerConfigPath_;
		return false;
	}

	printLine("[ConfigManager] Worker config saved to " + workerConfigPath_);
	return true;
}

bool ConfigManager::loadWorkerConfig(nlohmann::json &document, std::string &message) const
{
	std::lock_guard<std::mutex> lock(workerConfigFileMutex_);

	std::ifstream file{ std::filesystem::path(workerConfigPath_) };
	if (!file.is_open()) {
		message = "Worker config file not found: " + workerConfigPath_;
		return false;
	}

	try {
		nlohmann::json parsed;
		file >> parsed;
		document = std::move(parsed);
	} catch (const nlohmann::json::parse_error &error) {
		// The library's text quotes what it read, which may be the passphrase.
		message = "Failed to parse worker config file: not JSON at byte " + std::to_string(error.byte);
		return false;
	} catch (const nlohmann::json::out_of_range &) {
		message = "Failed to parse worker config file: a number is out of range";
		return false;
	}
	return true;
}

std::string buildSrtUri(const std::string &hostPort, const std::string &streamId, std::int32_t latency,
			const std::string &passphrase)
{
	std::string uri = "srt://" + hostPort + "?mode=caller";
	if (!streamId.empty())
		uri += "&streamid=" + streamId;
	uri += "&latency=" + std::to_string(latency);
	if (!passphrase.empty())
		uri += "&passphrase=" + passphrase;
	return uri;
}

} // namespace tiloran
