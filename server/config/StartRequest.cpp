#include "config/StartRequest.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <set>
#include <vector>

#include "common/AudioChannels.h"
#include "common/H264EncoderName.h"
#include "common/RecordingName.h"
#include "common/protocol/StreamSettings.h"

namespace tiloran {

namespace {

constexpr std::int32_t kDefaultSrtLatency = 120;
constexpr std::size_t kMaximumQuadrantNameLength = 64;

// Says why a request is refused; false, for the check to return.
bool refuse(StartRefusal &refusal, StartRefusalCode code, std::string field, std::string message)
{
	refusal = { code, std::move(field), std::move(message) };
	return false;
}

bool requireField(const nlohmann::json &request, const char *key, StartRefusal &refusal)
{
	if (request.is_object() && request.contains(key))
		return true;
	return refuse(refusal, StartRefusalCode::RequestFieldMissing, key, std::string("Missing required field: ") + key);
}

bool isNonEmptyString(const nlohmann::json &value)
{
	return value.is_string() && !value.get_ref<const std::string &>().empty();
}

// The latency in milliseconds: a whole number SRT can carry, or none.
std::optional<std::int32_t> readLatency(const nlohmann::json &destination)
{
	const auto latency = destination.find("srtLatency");
	if (latency == destination.end())
		return kDefaultSrtLatency;
	if (latency->is_number_unsigned())
		return latency->get<std::uint64_t>() <= static_cast<std::uint64_t>(kSrtLatencyMaxMs)
			       ? std::optional<std::int32_t>(latency->get<std::int32_t>())
			       : std::nullopt;
	if (latency->is_number_integer())
		return latency->get<std::int64_t>() >= 0 && latency->get<std::int64_t>() <= kSrtLatencyMaxMs
			       ? std::optional<std::int32_t>(latency->get<std::int32_t>())
			       : std::nullopt;
	if (latency->is_number_float()) {
		const double value = latency->get<double>();
		if (value >= 0 && value <= kSrtLatencyMaxMs && value == std::trunc(value))
			return static_cast<std::int32_t>(value);
	}
	return std::nullopt;
}

std::int64_t wholeValue(const nlohmann::json &value)
{
	return value.is_number_float() ? static_cast<std::int64_t>(value.get<double>()) : value.get<std::int64_t>();
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
// than a string is refused with the field's name (prefix, then key).
bool readOptionalString(const nlohmann::json &request, const std::string &prefix, const char *key,
			std::string &value, StartRefusal &refusal)
{
	const auto found = request.find(key);
	if (found == request.end()) {
		value.clear();
		return true;
	}
	if (!found->is_string()) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, prefix + key,
			      "Field " + prefix + key + " must be a string");
	}
	value = found->get<std::string>();
	return true;
}

bool isWholeNumberIn(const nlohmann::json &value, std::int64_t lowest, std::int64_t highest)
{
	if (value.is_number_unsigned())
		return value.get<std::uint64_t>() >= static_cast<std::uint64_t>(lowest) &&
		       value.get<std::uint64_t>() <= static_cast<std::uint64_t>(highest);
	if (value.is_number_integer())
		return value.get<std::int64_t>() >= lowest && value.get<std::int64_t>() <= highest;
	return value.is_number_float() && value.get<double>() >= lowest && value.get<double>() <= highest &&
	       value.get<double>() == std::trunc(value.get<double>());
}

// "srtMode" and the listener's own members, which only a listener may have.
bool readSrtMode(const nlohmann::json &object, const std::string &prefix, SrtDestination &checked,
		 StartRefusal &refusal)
{
	const auto mode = object.find("srtMode");
	if (mode != object.end() && !(mode->is_string() && (*mode == "caller" || *mode == "listener"))) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, prefix + "srtMode",
			      "Field " + prefix + "srtMode must be \"caller\" or \"listener\"");
	}
	checked.listener = mode != object.end() && *mode == "listener";
	for (const char *key : { "srtMaxCallers", "srtAllowedStreamIds" }) {
		if (!checked.listener && object.contains(key)) {
			return refuse(refusal, StartRefusalCode::RequestFieldInvalid, prefix + key,
				      "Field " + prefix + key + " must be left out unless srtMode is \"listener\"");
		}
	}
	if (!checked.listener)
		return true;
	checked.maxCallers = kSrtDefaultMaxCallers;
	if (object.contains("srtMaxCallers")) {
		if (!isWholeNumberIn(object["srtMaxCallers"], 1, kSrtMaxCallersLimit)) {
			return refuse(refusal, StartRefusalCode::RequestFieldInvalid, prefix + "srtMaxCallers",
				      "Field " + prefix + "srtMaxCallers must be a whole number from 1 to " +
					      std::to_string(kSrtMaxCallersLimit));
		}
		checked.maxCallers = static_cast<std::int32_t>(wholeValue(object["srtMaxCallers"]));
	}
	const auto ids = object.find("srtAllowedStreamIds");
	if (ids == object.end())
		return true;
	if (!ids->is_array() || ids->empty() || ids->size() > kSrtAllowedStreamIdsMax ||
	    !std::all_of(ids->begin(), ids->end(), [](const nlohmann::json &id) { return isNonEmptyString(id); })) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, prefix + "srtAllowedStreamIds",
			      "Field " + prefix + "srtAllowedStreamIds must be an array of 1 to " +
				      std::to_string(kSrtAllowedStreamIdsMax) + " non-empty strings");
	}
	for (const nlohmann::json &id : *ids) {
		const std::string &text = id.get_ref<const std::string &>();
		if (text.size() > kSrtStreamIdMaxBytes || hasControlCharacter(text)) {
			return refuse(refusal, StartRefusalCode::RequestFieldInvalid, prefix + "srtAllowedStreamIds",
				      "Field " + prefix + "srtAllowedStreamIds must hold stream ids of at most " +
					      std::to_string(kSrtStreamIdMaxBytes) + " bytes without control characters");
		}
		checked.allowedStreamIds.push_back(text);
	}
	return true;
}

// The SRT members of a destination and their types; prefix names the
// destination in messages ("" for the main one, "outputs[0]." for another).
bool readDestination(const nlohmann::json &object, const std::string &prefix, SrtDestination &checked,
		     StartRefusal &refusal)
{
	if (!isNonEmptyString(object["srtHostPort"])) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, prefix + "srtHostPort",
			      "Field " + prefix + "srtHostPort must be a non-empty string");
	}
	checked.hostPort = object["srtHostPort"].get<std::string>();
	if (!readOptionalString(object, prefix, "srtStreamId", checked.streamId, refusal) ||
	    !readOptionalString(object, prefix, "srtPassphrase", checked.passphrase, refusal))
		return false;
	const std::optional<std::int32_t> latency = readLatency(object);
	if (!latency) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, prefix + "srtLatency",
			      "Field " + prefix + "srtLatency must be a whole number from 0 to " +
				      std::to_string(kSrtLatencyMaxMs));
	}
	checked.latencyMs = *latency;
	if (object.contains("srtReconnect")) {
		if (!object["srtReconnect"].is_boolean()) {
			return refuse(refusal, StartRefusalCode::RequestFieldInvalid, prefix + "srtReconnect",
				      "Field " + prefix + "srtReconnect must be true or false");
		}
		checked.reconnect = object["srtReconnect"].get<bool>();
	}
	return readSrtMode(object, prefix, checked, refusal);
}

// The members every request needs, and the types of the SRT members.
bool readSrtMembers(const nlohmann::json &request, StartRequest &checked, StartRefusal &refusal)
{
	for (const char *key : { "srtHostPort", "videoBitrate", "audioBitrate", "codec" }) {
		if (!requireField(request, key, refusal))
			return false;
	}
	if (!isNonEmptyString(request["srtHostPort"])) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, "srtHostPort",
			      "Field srtHostPort must be a non-empty string");
	}
	if (!isNonEmptyString(request["codec"])) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, "codec",
			      "Field codec must be a non-empty string");
	}
	return readDestination(request, "", checked, refusal);
}

// A bitrate as the worker reads it: a whole number, from 1 up to what its
// 32-bit field holds.
bool checkBitrate(const nlohmann::json &request, const char *key, StartRefusal &refusal)
{
	const nlohmann::json &value = request[key];
	const std::string mustBe = std::string("Field ") + key + " must be ";
	const bool positive = (value.is_number_unsigned() && value.get<std::uint64_t>() > 0) ||
			      (value.is_number_integer() && value.get<std::int64_t>() > 0) ||
			      (value.is_number_float() && value.get<double>() > 0);
	if (!positive) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, key,
			      mustBe + "a number greater than zero");
	}
	constexpr auto largest = std::numeric_limits<std::int32_t>::max();
	const bool whole = value.is_number_float()
				   ? value.get<double>() >= 1 && value.get<double>() <= largest &&
					     value.get<double>() == std::trunc(value.get<double>())
				   : value.get<std::uint64_t>() <= static_cast<std::uint64_t>(largest);
	if (!whole) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, key,
			      mustBe + "a whole number from 1 to " + std::to_string(largest));
	}
	return true;
}

// A whole bitrate (checkBitrate) in one of the units the worker reads.
bool checkVideoBitrateUnit(const nlohmann::json &request, const char *key, StartRefusal &refusal)
{
	if (!isUsableVideoBitrate(wholeValue(request[key]))) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, key,
			      std::string("Field ") + key + " must be " + videoBitrateRangeText());
	}
	return true;
}

// A video bitrate as the worker reads it.
std::int64_t videoBitsPerSecond(const nlohmann::json &value)
{
	return videoBitrateBitsPerSecond(wholeValue(value));
}

// Adaptive bitrate: a switch, and the floor in the unit and bounds of
// videoBitrate, not above it.
bool checkAdaptiveBitrate(const nlohmann::json &request, StartRefusal &refusal)
{
	if (request.contains("adaptiveBitrate") && !request["adaptiveBitrate"].is_boolean()) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, "adaptiveBitrate",
			      "Field adaptiveBitrate must be true or false");
	}
	if (!request.contains("minVideoBitrate"))
		return true;
	if (!checkBitrate(request, "minVideoBitrate", refusal) ||
	    !checkVideoBitrateUnit(request, "minVideoBitrate", refusal))
		return false;
	if (videoBitsPerSecond(request["minVideoBitrate"]) > videoBitsPerSecond(request["videoBitrate"])) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, "minVideoBitrate",
			      "Field minVideoBitrate must not be above videoBitrate");
	}
	return true;
}

// "record": a switch; "recordSegmentMinutes": the longest file, in minutes
// (a fraction allowed, so that a short test can cut too).
bool checkRecording(const nlohmann::json &request, StartRefusal &refusal)
{
	if (request.contains("record") && !request["record"].is_boolean()) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, "record",
			      "Field record must be true or false");
	}
	if (request.contains("recordSegmentMinutes")) {
		const nlohmann::json &minutes = request["recordSegmentMinutes"];
		if (!minutes.is_number() || !(minutes.get<double>() >= kShortestRecordSegmentMinutes &&
					      minutes.get<double>() <= kLongestRecordSegmentMinutes)) {
			return refuse(refusal, StartRefusalCode::RequestFieldInvalid, "recordSegmentMinutes",
				      std::string("Field recordSegmentMinutes must be a number from ") +
					      kShortestRecordSegmentText + " to " + kLongestRecordSegmentText);
		}
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

// "quadrants": objects with an id, a name and an input of the catalogue.
bool readQuadrantItems(const nlohmann::json &items, const DeviceCatalogue &catalogue, nlohmann::json &quadrants,
		       StartRefusal &refusal)
{
	if (!items.is_array() || items.empty()) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, "quadrants",
			      "Field quadrants must be a non-empty array");
	}
	for (std::size_t index = 0; index < items.size(); ++index) {
		const nlohmann::json &item = items[index];
		const std::string name = "quadrants[" + std::to_string(index) + "]";
		if (!item.is_object())
			return refuse(refusal, StartRefusalCode::RequestFieldInvalid, name,
				      "Each quadrants item must contain id, name and source_id");
		for (const char *key : { "id", "name", "source_id" }) {
			if (!item.contains(key))
				return refuse(refusal, StartRefusalCode::RequestFieldMissing, name + "." + key,
					      "Each quadrants item must contain id, name and source_id");
		}
		const char *const mistyped = !item["id"].is_number_integer() ? "id"
					     : !item["name"].is_string()     ? "name"
					     : !item["source_id"].is_string() ? "source_id"
									      : nullptr;
		if (mistyped)
			return refuse(refusal, StartRefusalCode::RequestFieldInvalid, name + "." + mistyped,
				      "Invalid quadrants item field types");
		const std::string &sourceId = item["source_id"].get_ref<const std::string &>();
		const std::optional<DeviceInfo> device = catalogue.find(sourceId);
		if (!device)
			return refuse(refusal, StartRefusalCode::RequestInputUnknown, name + ".source_id",
				      "Unknown selected device id: " + sourceId);
		quadrants.push_back(quadrantObject(item["id"], item["name"], *device));
	}
	return true;
}

// "devices", the older form: input ids only, one quadrant each, numbered in order.
bool readDeviceList(const nlohmann::json &items, const DeviceCatalogue &catalogue, nlohmann::json &quadrants,
		    StartRefusal &refusal)
{
	if (!items.is_array() || items.empty()) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, "devices",
			      "Field devices must be a non-empty array");
	}
	int counter = 1;
	for (const nlohmann::json &item : items) {
		const std::string name = "devices[" + std::to_string(counter - 1) + "]";
		if (!isNonEmptyString(item))
			return refuse(refusal, StartRefusalCode::RequestFieldInvalid, name,
				      "Each devices item must be a non-empty string");
		const std::string &deviceId = item.get_ref<const std::string &>();
		const std::optional<DeviceInfo> device = catalogue.find(deviceId);
		if (!device)
			return refuse(refusal, StartRefusalCode::RequestInputUnknown, name,
				      "Unknown selected device id: " + deviceId);
		quadrants.push_back(quadrantObject(counter, "Quadrant " + std::to_string(counter), *device));
		++counter;
	}
	return true;
}

bool readQuadrants(const nlohmann::json &request, const DeviceCatalogue &catalogue, nlohmann::json &quadrants,
		   StartRefusal &refusal)
{
	quadrants = nlohmann::json::array();
	if (request.contains("quadrants"))
		return readQuadrantItems(request["quadrants"], catalogue, quadrants, refusal);
	if (request.contains("devices"))
		return readDeviceList(request["devices"], catalogue, quadrants, refusal);
	return refuse(refusal, StartRefusalCode::RequestFieldMissing, "quadrants",
		      "Missing required field: quadrants");
}

// field: how messages name the member ("srtHostPort", "outputs[0].srtHostPort").
bool checkHostPort(const std::string &hostPort, const std::string &field, StartRefusal &refusal)
{
	SrtTarget target;
	switch (checkSrtTarget(hostPort, target)) {
	case SrtTargetProblem::None:
		return true;
	case SrtTargetProblem::TooLong:
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, field,
			      "Field " + field + " must be at most " + std::to_string(kSrtHostPortMaxLength) +
				      " characters long");
	case SrtTargetProblem::HostNameTooLong:
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, field,
			      "Field " + field + " must have a host name of at most " +
				      std::to_string(kSrtHostNameMaxLength) + " characters");
	case SrtTargetProblem::NotHostAndPort:
		break;
	}
	return refuse(refusal, StartRefusalCode::RequestFieldInvalid, field,
		      "Field " + field + " must be host:port with a port from " + std::to_string(kSrtPortMin) + " to " +
			      std::to_string(kSrtPortMax));
}

// SRT's own limits; a NUL would cut the stream id short on its way. prefix
// names the destination in messages ("" or "outputs[0].").
bool checkStreamIdAndPassphrase(const SrtDestination &checked, const std::string &prefix, StartRefusal &refusal)
{
	if (checked.streamId.size() > kSrtStreamIdMaxBytes) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, prefix + "srtStreamId",
			      "Field " + prefix + "srtStreamId must be at most " + std::to_string(kSrtStreamIdMaxBytes) +
				      " bytes long");
	}
	if (hasControlCharacter(checked.streamId)) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, prefix + "srtStreamId",
			      "Field " + prefix + "srtStreamId must not contain control characters");
	}
	const std::size_t passphraseLength = checked.passphrase.size();
	if (passphraseLength != 0 &&
	    (passphraseLength < kSrtPassphraseMinLength || passphraseLength > kSrtPassphraseMaxLength)) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, prefix + "srtPassphrase",
			      "Field " + prefix + "srtPassphrase must be empty or " +
				      std::to_string(kSrtPassphraseMinLength) + " to " +
				      std::to_string(kSrtPassphraseMaxLength) + " characters long");
	}
	return true;
}

bool checkQuadrantLimits(const nlohmann::json &request, const nlohmann::json &quadrants, StartRefusal &refusal)
{
	const std::string key = request.contains("quadrants") ? "quadrants" : "devices";
	if (quadrants.size() > 4)
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, key,
			      "Field " + key + " must have at most 4 items");
	std::set<std::int64_t> seenIds;
	for (std::size_t index = 0; index < quadrants.size(); ++index) {
		const nlohmann::json &quadrant = quadrants[index];
		// Only the "quadrants" form gives ids and names of its own.
		const std::string name = key + "[" + std::to_string(index) + "]";
		const nlohmann::json &id = quadrant["id"];
		// A parsed 0 is unsigned, a built one signed: both are refused.
		const bool inRange = id.is_number_unsigned()
					     ? id.get<std::uint64_t>() >= 1 && id.get<std::uint64_t>() <= 4
					     : id.get<std::int64_t>() >= 1 && id.get<std::int64_t>() <= 4;
		if (!inRange)
			return refuse(refusal, StartRefusalCode::RequestFieldInvalid, name + ".id",
				      "Each quadrants item id must be from 1 to 4");
		if (!seenIds.insert(id.get<std::int64_t>()).second)
			return refuse(refusal, StartRefusalCode::RequestFieldInvalid, name + ".id",
				      "Duplicate quadrants item id: " + std::to_string(id.get<std::int64_t>()));
		if (characterCount(quadrant["name"].get_ref<const std::string &>()) > kMaximumQuadrantNameLength)
			return refuse(refusal, StartRefusalCode::RequestFieldInvalid, name + ".name",
				      "Each quadrants item name must be at most " +
					      std::to_string(kMaximumQuadrantNameLength) + " characters long");
	}
	return true;
}

// What the worker would refuse of a request that passed the checks above, so
// that it is refused here, with a reason, before a worker starts.
bool checkWhatTheWorkerNeeds(const nlohmann::json &request, const StartRequest &checked, StartRefusal &refusal)
{
	if (!checkHostPort(checked.hostPort, "srtHostPort", refusal))
		return false;
	if (!checkBitrate(request, "videoBitrate", refusal) || !checkVideoBitrateUnit(request, "videoBitrate", refusal) ||
	    !checkBitrate(request, "audioBitrate", refusal) || !checkAdaptiveBitrate(request, refusal))
		return false;
	if (!isH264EncoderName(request["codec"].get_ref<const std::string &>())) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, "codec",
			      "Field codec must be the name of an H.264 encoder, such as libx264");
	}
	return checkStreamIdAndPassphrase(checked, "", refusal) && checkQuadrantLimits(request, checked.quadrants, refusal);
}

/*
 * "audioChannels": the two embedded channels of the master input, left then
 * right, that become the stream's stereo. The master is the first quadrant
 * whose input has a name, as the worker takes it; a document without one is
 * refused by the worker anyway.
 */
bool checkAudioChannels(const nlohmann::json &request, const nlohmann::json &quadrants,
			const std::vector<DeviceInfo> &devices, StartRefusal &refusal)
{
	const auto found = request.find("audioChannels");
	if (found == request.end())
		return true;
	const auto isChannel = [](const nlohmann::json &value) {
		return value.is_number_integer() && value.get<std::int64_t>() >= 1 &&
		       value.get<std::int64_t>() <= kMaximumAudioChannels;
	};
	if (!found->is_array() || found->size() != 2 || !isChannel((*found)[0]) || !isChannel((*found)[1])) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, "audioChannels",
			      "Field audioChannels must be two channel numbers from 1 to " +
				      std::to_string(kMaximumAudioChannels));
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
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, "audioChannels",
			      "Field audioChannels must be from 1 to " + std::to_string(device->audioChannels) +
				      ": the master input '" + device->name + "' has " +
				      std::to_string(device->audioChannels) + " audio channels");
	}
	return true;
}

// "outputs": at most kMaximumFurtherOutputs objects with the main
// destination's SRT members, checked as those are, and nothing else.
bool readFurtherOutputs(const nlohmann::json &request, StartRequest &checked, StartRefusal &refusal)
{
	const auto found = request.find("outputs");
	if (found == request.end())
		return true;
	if (!found->is_array()) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, "outputs",
			      "Field outputs must be an array");
	}
	if (found->size() > kMaximumFurtherOutputs) {
		return refuse(refusal, StartRefusalCode::RequestFieldInvalid, "outputs",
			      "Field outputs must have at most " + std::to_string(kMaximumFurtherOutputs) + " items");
	}
	for (std::size_t index = 0; index < found->size(); ++index) {
		const nlohmann::json &entry = (*found)[index];
		const std::string name = "outputs[" + std::to_string(index) + "]";
		if (!entry.is_object()) {
			return refuse(refusal, StartRefusalCode::RequestFieldInvalid, name,
				      "Field " + name + " must be an object");
		}
		for (const auto &member : entry.items()) {
			const std::string &key = member.key();
			if (key != "srtHostPort" && key != "srtStreamId" && key != "srtPassphrase" && key != "srtLatency" &&
			    key != "srtReconnect" && key != "srtMode" && key != "srtMaxCallers" &&
			    key != "srtAllowedStreamIds") {
				return refuse(refusal, StartRefusalCode::RequestFieldUnknown, name + "." + key,
					      "Unknown field: " + name + "." + key);
			}
		}
		if (!entry.contains("srtHostPort")) {
			return refuse(refusal, StartRefusalCode::RequestFieldMissing, name + ".srtHostPort",
				      "Missing required field: " + name + ".srtHostPort");
		}
		SrtDestination destination;
		if (!readDestination(entry, name + ".", destination, refusal) ||
		    !checkHostPort(destination.hostPort, name + ".srtHostPort", refusal) ||
		    !checkStreamIdAndPassphrase(destination, name + ".", refusal))
			return false;
		checked.outputs.push_back(std::move(destination));
	}
	return true;
}

} // namespace

bool checkStartRequest(const nlohmann::json &request, const DeviceCatalogue &catalogue, StartRequest &checked,
		       StartRefusal &refusal)
{
	return readSrtMembers(request, checked, refusal) && checkRecording(request, refusal) &&
	       readQuadrants(request, catalogue, checked.quadrants, refusal) &&
	       checkWhatTheWorkerNeeds(request, checked, refusal) &&
	       checkAudioChannels(request, checked.quadrants, catalogue.devices(), refusal) &&
	       readFurtherOutputs(request, checked, refusal);
}

} // namespace tiloran
