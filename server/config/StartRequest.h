#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/protocol/StartRefusalCode.h"
#include "config/DeviceCatalogue.h"

namespace tiloran {

// Where the stream goes over SRT: the request's main destination, or one of
// its further "outputs".
struct SrtDestination {
	std::string hostPort;
	// Empty when the request gives none.
	std::string streamId;
	std::string passphrase;
	std::int32_t latencyMs = 0;
	// None when the request does not say.
	std::optional<bool> reconnect;
	// As SRT listener ("srtMode": "listener"): hostPort is the address to
	// bind, receivers call in, at most maxCallers at once and, when the
	// list is given, only with one of allowedStreamIds.
	bool listener = false;
	std::int32_t maxCallers = 0;
	std::vector<std::string> allowedStreamIds;
};

// The further destinations a request may name beside the main one.
inline constexpr std::size_t kMaximumFurtherOutputs = 3;

// What a checked stream start request (the body of POST /api/stream/start)
// holds for the worker document.
struct StartRequest : SrtDestination {
	// "outputs": the same stream to each of these as well, in order.
	std::vector<SrtDestination> outputs;
	// The worker document's quadrants: id, name and the chosen input's id
	// and name, in the order of the request.
	nlohmann::json quadrants;
};

// Why a start request is refused: the code a program acts on, the request's
// member it concerns as a path ("srtLatency", "outputs[1].srtPassphrase",
// "quadrants[2].source_id"; empty for none) and the message in the API's words.
struct StartRefusal {
	StartRefusalCode code = StartRefusalCode::RequestFieldInvalid;
	std::string field;
	std::string message;
};

// The checks of a start request: its members and their types, SRT's limits,
// what the worker would refuse (as far as it can be judged here) and the
// inputs the catalogue offers. Returns false with the first problem found in
// refusal.
bool checkStartRequest(const nlohmann::json &request, const DeviceCatalogue &catalogue, StartRequest &checked,
		       StartRefusal &refusal);

} // namespace tiloran
