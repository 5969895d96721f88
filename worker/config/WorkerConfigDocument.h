#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "config/WorkerConfig.h"

namespace tiloran {

// The worker configuration document the server hands out, checked and read
// into the worker's configuration record. Both are pure functions, called on
// the worker's main thread.

// Structural check of the document: the required keys exist and every
// quadrant is an object with "id" and "name". Types of the other values are
// left to parseWorkerConfig.
bool validateWorkerConfig(const nlohmann::json &document, std::string &message);

// Builds the worker's configuration record from the document and applies the
// semantic rules (quadrant ids, master quadrant, bitrate units, SRT URI,
// codec). Starts from a default-constructed record; on failure the record may
// be partly filled. A value of the wrong JSON type is reported with the JSON
// library's own message.
bool parseWorkerConfig(const nlohmann::json &document, WorkerConfig &config, std::string &message);

} // namespace tiloran
