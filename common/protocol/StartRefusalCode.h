#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace tiloran {

// Why the server refused to start a stream (POST /api/stream/start): every
// refusal has one of these codes beside its English "error", and with it the
// "field" of the request it concerns where there is one. The page explains a
// refusal by code and field alone. The list is closed: WEB/js/codes.mjs lists
// the same strings, and a test holds both lists equal. A code's string never
// changes once given out.
enum class StartRefusalCode {
	// The body is not JSON, nests too deep, or holds a number beyond a double.
	RequestJsonInvalid,
	// A member the request needs is not there.
	RequestFieldMissing,
	// A member the request may not have.
	RequestFieldUnknown,
	// A member of the wrong type or outside its bounds.
	RequestFieldInvalid,
	// An input the server does not offer (any more).
	RequestInputUnknown,
	StreamAlreadyRunning,
	// The worker program is not beside the server.
	WorkerMissing,
	WorkerStartFailed,
	// The worker's settings could not be written for it to fetch.
	WorkerConfigUnwritten,
};

struct StartRefusalCodeEntry {
	StartRefusalCode code;
	// Dotted, from the general to the particular: "request.field.invalid".
	std::string_view text;
};

// Every code, in the order of the enum.
inline constexpr std::array<StartRefusalCodeEntry, 9> startRefusalCodes{ {
	{ StartRefusalCode::RequestJsonInvalid, "request.json.invalid" },
	{ StartRefusalCode::RequestFieldMissing, "request.field.missing" },
	{ StartRefusalCode::RequestFieldUnknown, "request.field.unknown" },
	{ StartRefusalCode::RequestFieldInvalid, "request.field.invalid" },
	{ StartRefusalCode::RequestInputUnknown, "request.input.unknown" },
	{ StartRefusalCode::StreamAlreadyRunning, "stream.already.running" },
	{ StartRefusalCode::WorkerMissing, "worker.missing" },
	{ StartRefusalCode::WorkerStartFailed, "worker.start.failed" },
	{ StartRefusalCode::WorkerConfigUnwritten, "worker.config.unwritten" },
} };

constexpr std::string_view startRefusalCodeText(StartRefusalCode code)
{
	return startRefusalCodes[static_cast<std::size_t>(code)].text;
}

// The code of a string; none for one that is not in the list.
constexpr std::optional<StartRefusalCode> startRefusalCodeNamed(std::string_view text)
{
	for (const StartRefusalCodeEntry &entry : startRefusalCodes) {
		if (entry.text == text)
			return entry.code;
	}
	return std::nullopt;
}

// The table is in the order of the enum, so that an entry is found by index.
static_assert([] {
	for (std::size_t index = 0; index < startRefusalCodes.size(); ++index) {
		if (static_cast<std::size_t>(startRefusalCodes[index].code) != index)
			return false;
	}
	return startRefusalCodes.back().code == StartRefusalCode::WorkerConfigUnwritten;
}());

} // namespace tiloran
