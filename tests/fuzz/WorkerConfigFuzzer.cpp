// The worker's reading of its configuration document, in process, as runWorker
// does it after the fetch: parse the body strictly, check its structure, print
// it with the passphrase hidden and build the configuration record. Only the
// parser's own failures are caught here, as runWorker catches them; anything
// else that is thrown is a finding. A record that is accepted must be one the
// pipeline can run with.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include <nlohmann/json.hpp>

#include "common/Redaction.h"
#include "config/WorkerConfigDocument.h"

using nlohmann::json;
using tiloran::WorkerConfig;

namespace {

void check(bool condition)
{
	if (!condition)
		__builtin_trap();
}

// The number a document value stands for, as the worker reads numbers:
// booleans are 0 or 1, fractions are cut off toward zero.
double documentNumber(const json &value)
{
	check(value.is_number() || value.is_boolean());
	if (value.is_boolean())
		return value.get<bool>() ? 1 : 0;
	if (value.is_number_unsigned())
		return static_cast<double>(value.get<uint64_t>());
	if (value.is_number_integer())
		return static_cast<double>(value.get<int64_t>());
	return std::trunc(value.get<double>());
}

// A bitrate of 1 .. unitLimit is in units of unit bit/s, any other in bit/s;
// one beyond 32 bits is taken as the nearest 32-bit value.
void checkBitrate(const json &value, int64_t bitrate, double unitLimit, double unit)
{
	const double number = std::clamp(documentNumber(value), double(std::numeric_limits<int32_t>::min()),
					 double(std::numeric_limits<int32_t>::max()));
	check(static_cast<double>(bitrate) == (number >= 1 && number <= unitLimit ? number * unit : number));
}

// What the pipeline relies on in an accepted record, and the values it holds
// are the ones the document gives.
void checkRecord(const json &document, const WorkerConfig &config)
{
	int sources = 0;
	for (size_t slot = 0; slot < config.quadrants.size(); ++slot) {
		check(config.quadrants[slot].id == static_cast<int32_t>(slot + 1));
		check(config.quadrants[slot].empty == config.quadrants[slot].source_name.empty());
		if (!config.quadrants[slot].empty)
			++sources;
	}
	check(sources >= 1 && sources == config.real_source_count);
	check(config.master_index >= 0 && config.master_index < 4);
	check(!config.quadrants[config.master_index].empty);

	// The master is the first quadrant with a source in document order.
	for (const json &item : document.at("quadrants")) {
		const auto sourceName = item.find("source_name");
		if (sourceName != item.end() && sourceName->is_string() &&
		    !sourceName->get_ref<const std::string &>().empty()) {
			check(documentNumber(item.at("id")) == config.master_index + 1);
			break;
		}
	}

	for (const json &item : document.at("quadrants")) {
		const double id = documentNumber(item.at("id"));
		check(id >= 1 && id <= 4);
		check(config.quadrants[static_cast<size_t>(id) - 1].name == item.at("name"));
	}

	check(config.video_bitrate >= 1 && config.audio_bitrate >= 1);
	checkBitrate(document.at("video_bitrate"), config.video_bitrate, 999, 1e6);
	checkBitrate(document.at("audio_bitrate"), config.audio_bitrate, 9999, 1e3);
	check(!config.srt_uri.empty());
	check(config.codec.find("264") != std::string::npos);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	json document;
	try {
		document = json::parse(data, data + size);
	} catch (const json::exception &) {
		return 0;
	}

	std::string message;
	if (!tiloran::validateWorkerConfig(document, message)) {
		check(!message.empty());
		return 0;
	}
	// runWorker prints the accepted document, passphrase hidden, before it
	// builds the record.
	json shown = document;
	tiloran::hideSrtPassphrase(shown);
	check(!shown.dump(2).empty());
	const auto srt = document.find("srt");
	if (srt != document.end() && srt->is_object() && srt->contains("passphrase") &&
	    srt->at("passphrase") != "")
		check(shown.at("srt").at("passphrase") == tiloran::redactedSecret);

	WorkerConfig config;
	message.clear();
	if (!tiloran::parseWorkerConfig(document, config, message)) {
		check(!message.empty());
		return 0;
	}
	checkRecord(document, config);
	return 0;
}
