#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "config/DeviceCatalogue.h"

namespace tiloran {

// What a checked stream start request (the body of POST /api/stream/start)
// holds for the worker document.
struct StartRequest {
	std::string hostPort;
	// Empty when the request gives none.
	std::string streamId;
	std::string passphrase;
	std::int32_t latencyMs = 0;
	// The worker document's quadrants: id, name and the chosen input's id
	// and name, in the order of the request.
	nlohmann::json quadrants;
};

// The checks of a start request: its members and their types, SRT's limits,
// what the worker would refuse (as far as it can be judged here) and the
// inputs the catalogue offers. Returns false with the first problem found,
// in the API's words, in message.
bool checkStartRequest(const nlohmann::json &request, const DeviceCatalogue &catalogue, StartRequest &checked,
		       std::string &message);

} // namespace tiloran
