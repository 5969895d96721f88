#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "config/WorkerConfig.h"

namespace tiloran {

// The worker's control path: fetch the configuration document from the
// server, check it, and hand it to the media pipeline. Everything here runs
// on the worker's main thread.

// Fetches the document from http://127.0.0.1:<port>/api/worker/config, checks
// its structure, prints it and runs the pipeline with it. Returns the process
// exit code: 1 on every failure (the pipeline itself returns only on failure),
// 0 if the pipeline ever reports success.
int runWorker(int port);

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
