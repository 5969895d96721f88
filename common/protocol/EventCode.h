#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace tiloran {

// What happened, as the worker, the server and the page name it: every event
// the server shows and every reason a run ended has one of these codes beside
// its English message. The message is for people and their log filters; a
// program (the page) acts on the code alone. The list is closed: the page
// explains each code (WEB/js/codes.mjs lists the same strings, and a test
// holds both lists equal), and a code the server does not know is not passed
// on. A code's string never changes once given out.
enum class EventCode {
	// The worker's events.
	StreamStarted,
	OutputLive,
	InputSignalLost,
	InputSignalRestored,
	InputFormatMismatch,
	InputPaceOff,
	InputPaceRestored,
	BitrateLowered,
	BitrateRestored,
	RecordingUnavailable,
	RecordingEnded,
	SrtConnected,
	SrtRestored,
	// The SRT link's failures: a call, or the link in place. Also the end of
	// a run when the link was its cause.
	SrtRejected,
	SrtRejectedPassphrase,
	SrtHostUnresolved,
	SrtPeerSilent,
	SrtFailed,
	SrtLost,
	// The SRT listener and the receivers that call it.
	SrtListening,
	SrtCallerJoined,
	SrtCallerLeft,
	SrtCallerDropped,
	SrtCallerRefused,
	SrtCallerRefusedPassphrase,
	// The server's events.
	WorkerStarted,
	StopRequested,
	StreamStopped,
	WorkerTerminated,
	StreamEnded,
	StreamOnAir,
	WorkerUnresponsive,
	WorkerResponsive,
	WorkerRestarted,
	AccessLogin,
	AccessLoginFailed,
	AccessLogout,
	AccessChanged,
	AccessRefused,
	// Why a run ended, besides the link's failures and those above.
	WorkerConfigUnavailable,
	WorkerConfigInvalid,
	InputUnavailable,
	InputFormatChanged,
	InputFailed,
	EncoderUnavailable,
	OutputFailed,
	StreamFailed,
	WorkerExited,
};

struct EventCodeEntry {
	EventCode code;
	// Dotted, from the general to the particular: "srt.rejected.passphrase".
	std::string_view text;
	// What it means in a sentence, for a message that has nothing more to say.
	std::string_view defaultMessage;
};

// Every code, in the order of the enum.
inline constexpr std::array<EventCodeEntry, 48> eventCodes{ {
	{ EventCode::StreamStarted, "stream.started", "The stream started" },
	{ EventCode::OutputLive, "output.live", "First pictures handed to the output" },
	{ EventCode::InputSignalLost, "input.signal.lost", "An input lost its signal" },
	{ EventCode::InputSignalRestored, "input.signal.restored", "An input has its signal again" },
	{ EventCode::InputFormatMismatch, "input.format.mismatch", "An input's format does not match the master" },
	{ EventCode::InputPaceOff, "input.pace.off", "An input runs off its own rate" },
	{ EventCode::InputPaceRestored, "input.pace.restored", "An input runs at its own rate again" },
	{ EventCode::BitrateLowered, "bitrate.lowered", "Video bitrate lowered: the link is congested" },
	{ EventCode::BitrateRestored, "bitrate.restored", "Video bitrate back at its setting" },
	{ EventCode::RecordingUnavailable, "recording.unavailable", "Recording not started; the stream goes on" },
	{ EventCode::RecordingEnded, "recording.ended", "Recording ended; the stream goes on" },
	{ EventCode::SrtConnected, "srt.connected", "SRT connected" },
	{ EventCode::SrtRestored, "srt.restored", "SRT connection restored" },
	{ EventCode::SrtRejected, "srt.rejected", "The SRT receiver rejected the connection" },
	{ EventCode::SrtRejectedPassphrase, "srt.rejected.passphrase",
	  "The SRT receiver rejected the connection: the passphrase does not match" },
	{ EventCode::SrtHostUnresolved, "srt.host.unresolved", "The SRT receiver's host name was not found" },
	{ EventCode::SrtPeerSilent, "srt.peer.silent", "The SRT receiver does not answer" },
	{ EventCode::SrtFailed, "srt.failed", "SRT connection failed" },
	{ EventCode::SrtLost, "srt.lost", "SRT connection lost" },
	{ EventCode::SrtListening, "srt.listening", "Listening for SRT receivers" },
	{ EventCode::SrtCallerJoined, "srt.caller.joined", "An SRT receiver called in and takes the stream" },
	{ EventCode::SrtCallerLeft, "srt.caller.left", "An SRT receiver left" },
	{ EventCode::SrtCallerDropped, "srt.caller.dropped", "An SRT receiver stopped reading and was dropped" },
	{ EventCode::SrtCallerRefused, "srt.caller.refused", "An SRT receiver's call was refused" },
	{ EventCode::SrtCallerRefusedPassphrase, "srt.caller.refused.passphrase",
	  "An SRT receiver's call failed: its passphrase does not match" },
	{ EventCode::WorkerStarted, "worker.started", "Worker started" },
	{ EventCode::StopRequested, "stream.stop.requested", "Stop requested" },
	{ EventCode::StreamStopped, "stream.stopped", "Worker stopped" },
	{ EventCode::WorkerTerminated, "worker.terminated", "Worker did not stop in time and was terminated" },
	{ EventCode::StreamEnded, "stream.ended", "Stream ended" },
	{ EventCode::StreamOnAir, "stream.on.air", "On air: pictures are handed to the output" },
	{ EventCode::WorkerUnresponsive, "worker.unresponsive", "Worker stopped responding" },
	{ EventCode::WorkerResponsive, "worker.responsive", "Worker responds again" },
	{ EventCode::WorkerRestarted, "worker.restarted", "Worker started again in place of the one that stopped responding" },
	{ EventCode::AccessLogin, "access.login", "Login" },
	{ EventCode::AccessLoginFailed, "access.login.failed", "Failed login" },
	{ EventCode::AccessLogout, "access.logout", "Logout" },
	{ EventCode::AccessChanged, "access.changed", "Access changed" },
	{ EventCode::AccessRefused, "access.refused", "Access change refused" },
	{ EventCode::WorkerConfigUnavailable, "worker.config.unavailable", "The worker could not read its settings from the server" },
	{ EventCode::WorkerConfigInvalid, "worker.config.invalid", "The worker's settings are not valid" },
	{ EventCode::InputUnavailable, "input.unavailable", "An input could not be opened" },
	{ EventCode::InputFormatChanged, "input.format.changed", "The master input's format changed" },
	{ EventCode::InputFailed, "input.failed", "An input failed" },
	{ EventCode::EncoderUnavailable, "encoder.unavailable", "The video encoder cannot run on this machine" },
	{ EventCode::OutputFailed, "output.failed", "The output failed" },
	{ EventCode::StreamFailed, "stream.failed", "The stream failed" },
	{ EventCode::WorkerExited, "worker.exited", "Worker exited by itself" },
} };

constexpr const EventCodeEntry &eventCodeEntry(EventCode code)
{
	return eventCodes[static_cast<std::size_t>(code)];
}

constexpr std::string_view eventCodeText(EventCode code)
{
	return eventCodeEntry(code).text;
}

constexpr std::string_view eventCodeMessage(EventCode code)
{
	return eventCodeEntry(code).defaultMessage;
}

// The code of a string; none for one that is not in the list.
constexpr std::optional<EventCode> eventCodeNamed(std::string_view text)
{
	for (const EventCodeEntry &entry : eventCodes) {
		if (entry.text == text)
			return entry.code;
	}
	return std::nullopt;
}

// The table is in the order of the enum, so that an entry is found by index.
static_assert([] {
	for (std::size_t index = 0; index < eventCodes.size(); ++index) {
		if (static_cast<std::size_t>(eventCodes[index].code) != index)
			return false;
	}
	return eventCodeEntry(EventCode::WorkerExited).code == EventCode::WorkerExited;
}());

} // namespace tiloran
