#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "config/ConfigLocations.h"
#include "config/StartRequest.h"

namespace tiloran {

// The worker configuration document of a start request that passed
// checkStartRequest: what the worker fetches and runs.
nlohmann::json workerDocumentOf(const nlohmann::json &request, const StartRequest &checked,
				const ConfigLocations &locations);

// The SRT URI of a stream start request: caller mode unless listener, always
// a latency, the stream id and passphrase only when given. Values are
// inserted unescaped.
std::string buildSrtUri(const std::string &hostPort, const std::string &streamId, std::int32_t latency,
			const std::string &passphrase, bool listener = false);

} // namespace tiloran
