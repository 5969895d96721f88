#include "config/WorkerConfigDocument.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <set>

#include "common/H264EncoderName.h"
#include "common/RecordingName.h"
#include "common/protocol/StreamSettings.h"

namespace tiloran {

namespace {

/*
 * A number as a 32-bit int, the way the JSON library converts it (a boolean is
 * 0 or 1, a fraction is cut off toward zero), except beyond the 32-bit range:
 * there the library's plain cast wraps (4294967297 would be quadrant 1) or,
 * for a floating-point value, is undefined. Such a number becomes the nearest
 * 32-bit value instead: never a quadrant id, and a refused bitrate when it is
 * negative. A value that is no number keeps the library's type error.
 */
int32_t readInt32(const nlohmann::json &value)
{
	constexpr int32_t lowest = std::numeric_limits<int32_t>::min();
	constexpr int32_t highest = std::numeric_limits<int32_t>::max();
	if (value.is_number_unsigned())
		return static_cast<int32_t>(std::min<uint64_t>(value.get<uint64_t>(), highest));
	if (value.is_number_integer())
		return static_cast<int32_t>(std::clamp<int64_t>(value.get<int64_t>(), lowest, highest));
	if (value.is_number_float()) {
		const double number = value.get<double>();
		// Written so that a NaN, which a document built in code may hold, is the lowest.
		if (!(number > lowest - 1.0))
			return lowest;
		if (number >= highest + 1.0)
			return highest;
		return static_cast<int32_t>(number);
	}
	return value.get<int32_t>();
}

/*
 * "audio_channels": two whole numbers from 1 to 16, left then right. Absent,
 * the master's first two channels go out, as before the key existed.
 */
bool readAudioChannels(const nlohmann::json &document, AudioChannelPair &pair, std::string &message)
{
	const auto found = document.find("audio_channels");
	if (found == document.end())
		return true;
	const auto isChannel = [](const nlohmann::json &value) {
		return value.is_number_integer() && value.get<int64_t>() >= 1 && value.get<int64_t>() <= kMaximumAudioChannels;
	};
	if (!found->is_array() || found->size() != 2 || !isChannel((*found)[0]) || !isChannel((*found)[1])) {
		message = "audio_channels must be two channel numbers from 1 to " + std::to_string(kMaximumAudioChannels);
		return false;
	}
	pair.left = (*found)[0].get<int32_t>();
	pair.right = (*found)[1].get<int32_t>();
	return true;
}

} // namespace

bool validateWorkerConfig(const nlohmann::json &document, std::string &message)
{
	constexpr std::array<const char *, 5> requiredKeys = {
		"quadrants", "codec", "video_bitrate", "audio_bitrate", "srt_uri"
	};
	for (const char *key : requiredKeys) {
		if (!document.is_object() || !document.contains(key)) {
			message = std::string("Missing required field: ") + key;
			return false;
		}
	}

	const nlohmann::json &quadrants = document.at("quadrants");
	if (!quadrants.is_array() || quadrants.empty()) {
		message = "Field quadrants must be a non-empty array";
		return false;
	}

	for (const nlohmann::json &quadrant : quadrants) {
		if (!quadrant.is_object() || !quadrant.contains("id") || !quadrant.contains("name")) {
			message = "Each quadrant must contain id and name";
			return false;
		}
	}
	return true;
}

bool parseWorkerConfig(const nlohmann::json &document, WorkerConfig &config, std::string &message)
{
	/*
	 * The server copies bitrates and quadrant fields through unchecked, so a
	 * value of the wrong type reaches us here. Report it like any other bad
	 * document instead of letting the exception end the worker.
	 */
	try {
		if (!document.is_object() || !document.contains("quadrants") ||
		    !document.at("quadrants").is_array() || document.at("quadrants").empty()) {
			message = "Worker config must contain at least one quadrant";
			return false;
		}

		for (size_t slot = 0; slot < config.quadrants.size(); ++slot) {
			QuadrantConfig &quadrant = config.quadrants[slot];
			quadrant.id = static_cast<int32_t>(slot + 1);
			quadrant.name = "Quadrant " + std::to_string(slot + 1);
			quadrant.source_id.clear();
			quadrant.source_name.clear();
			quadrant.empty = true;
		}

		std::set<int32_t> seenIds;
		for (const nlohmann::json &item : document.at("quadrants")) {
			if (!item.is_object() || !item.contains("id") || !item.contains("name")) {
				message = "Each quadrant must contain id and name";
				return false;
			}

			const int32_t id = readInt32(item.at("id"));
			if (id < 1 || id > 4) {
				message = "quadrants[].id must be in range 1..4";
				return false;
			}
			if (!seenIds.insert(id).second) {
				message = "Duplicate quadrant id: " + std::to_string(id);
				return false;
			}

			QuadrantConfig quadrant;
			quadrant.id = id;
			quadrant.name = item.at("name").get<std::string>();
			quadrant.source_id = item.value("source_id", std::string());
			quadrant.source_name = item.value("source_name", std::string());
			const auto sourceName = item.find("source_name");
			quadrant.empty = sourceName == item.end() || !sourceName->is_string() ||
					 sourceName->get_ref<const std::string &>().empty();

			const bool empty = quadrant.empty;
			config.quadrants[id - 1] = std::move(quadrant);
			if (!empty) {
				config.real_source_count++;
				if (config.master_index == -1)
					config.master_index = id - 1;
			}
		}

		if (config.real_source_count == 0) {
			message = "Worker config must contain at least one real source";
			return false;
		}

		config.codec = document.at("codec").get<std::string>();

		// Read in the unit its size gives it, as the server checked it. A
		// figure between the units' ranges is neither: 4000 meant as kbit/s
		// would go out at 4 kbit/s.
		const int32_t video = readInt32(document.at("video_bitrate"));
		if (video >= 1 && !isUsableVideoBitrate(video)) {
			message = "video_bitrate must be " + videoBitrateRangeText();
			return false;
		}
		config.video_bitrate = videoBitrateBitsPerSecond(video);
		config.adaptive_bitrate = document.value("adaptive_bitrate", false);
		// A quarter of the video bitrate unless given, at least 1 Mbit/s.
		if (document.contains("min_video_bitrate")) {
			const int32_t floor = readInt32(document.at("min_video_bitrate"));
			if (floor >= 1 && !isUsableVideoBitrate(floor)) {
				message = "min_video_bitrate must be " + videoBitrateRangeText();
				return false;
			}
			config.min_video_bitrate = videoBitrateBitsPerSecond(floor);
		} else {
			config.min_video_bitrate =
				std::min(config.video_bitrate, std::max<int64_t>(1000000, config.video_bitrate / 4));
		}

		const int32_t audio = readInt32(document.at("audio_bitrate"));
		config.audio_bitrate = audio >= 1 && audio <= 9999 ? int64_t{ audio } * 1000 : audio;

		if (!readAudioChannels(document, config.audio_channels, message))
			return false;

		config.srt_uri = document.at("srt_uri").get<std::string>();
		if (isSrtUri(config.srt_uri) && !srtSettingsFromDocument(document, config.srt_uri, config.srt, message))
			return false;
		if (document.contains("outputs")) {
			const nlohmann::json &outputs = document.at("outputs");
			if (!outputs.is_array()) {
				message = "outputs must be an array";
				return false;
			}
			// Each entry holds its "srt" object and "srt_reconnect" as the
			// document holds the main destination's.
			for (std::size_t index = 0; index < outputs.size(); ++index) {
				const nlohmann::json &entry = outputs[index];
				SrtSettings settings;
				std::string reason = "srt must be an object";
				if (!entry.is_object() || !entry.contains("srt") || !entry.at("srt").is_object() ||
				    !srtSettingsFromDocument(entry, "", settings, reason)) {
					message = "outputs[" + std::to_string(index) + "]: " + reason;
					return false;
				}
				config.outputs.push_back(std::move(settings));
			}
		}
		config.preview_path = document.value("preview_path", std::string());
		config.record = document.value("record", false);
		if (config.record) {
			config.recordings_path = document.value("recordings_path", std::string());
			config.record_name = document.value("record_name", std::string("stream"));
			config.record_segment_minutes = document.value("record_segment_minutes", 60.0);
		}
	} catch (const nlohmann::json::exception &error) {
		message = error.what();
		return false;
	}

	if (config.video_bitrate < 1) {
		message = "video_bitrate must be greater than zero";
		return false;
	}
	if (config.adaptive_bitrate && (config.min_video_bitrate < 1 || config.min_video_bitrate > config.video_bitrate)) {
		message = "min_video_bitrate must be from 1 to video_bitrate";
		return false;
	}
	if (config.audio_bitrate < 1) {
		message = "audio_bitrate must be greater than zero";
		return false;
	}
	if (config.record && (config.recordings_path.empty() || !isRecordingName(config.record_name) ||
			      !(config.record_segment_minutes >= kShortestRecordSegmentMinutes &&
				config.record_segment_minutes <= kLongestRecordSegmentMinutes))) {
		message = "record needs recordings_path, a record_name of letters, digits, '-' and '_', and "
			  "record_segment_minutes from " + std::string(kShortestRecordSegmentText) + " to " +
			  std::string(kLongestRecordSegmentText);
		return false;
	}
	if (config.srt_uri.empty()) {
		message = "srt_uri is empty";
		return false;
	}
	if (!isH264EncoderName(config.codec)) {
		message = "Worker currently supports only H.264 encoders";
		return false;
	}
	return true;
}

} // namespace tiloran
