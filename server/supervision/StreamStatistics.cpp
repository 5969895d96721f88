#include "supervision/StreamStatistics.h"

#include <cstdio>
#include <utility>

#include "common/Redaction.h"
#include "supervision/PrometheusText.h"

namespace tiloran {

namespace {

using SystemClock = std::chrono::system_clock;
using SteadyClock = std::chrono::steady_clock;

const char *stateName(StreamStatistics::State state)
{
	switch (state) {
	case StreamStatistics::State::Starting:
		return "starting";
	case StreamStatistics::State::Live:
		return "live";
	case StreamStatistics::State::Unresponsive:
		return "unresponsive";
	case StreamStatistics::State::Failed:
		return "failed";
	case StreamStatistics::State::Stopped:
		return "stopped";
	default:
		return "idle";
	}
}

// A member of a record the worker sent, or null; the worker is our own, but
// a record is still only read as far as it has the expected shape.
const nlohmann::json &member(const nlohmann::json &object, const char *key)
{
	static const nlohmann::json none;
	if (!object.is_object())
		return none;
	const auto found = object.find(key);
	return found == object.end() ? none : *found;
}

// A run that ended by its link's failure has the link's own reason for it,
// more telling than the system's generic text for a failed output that ends
// the failure's message: the reason takes the place of the text after the
// message's last ": ".
std::string mostSpecificCause(const std::string &failure, std::optional<EventCode> failureCode,
			      std::optional<EventCode> linkCode, const std::string &linkReason)
{
	const std::size_t cut = failure.rfind(": ");
	if (!failureCode || failureCode != linkCode || linkReason.empty() || cut == std::string::npos)
		return failure;
	return failure.substr(0, cut + 2) + linkReason;
}

// A code as the documents give it: its string, or null for none.
nlohmann::json codeJson(std::optional<EventCode> code)
{
	return code ? nlohmann::json(std::string(eventCodeText(*code))) : nlohmann::json(nullptr);
}

void sampleIfNumber(PrometheusText &text, const nlohmann::json &value, const PrometheusText::Labels &labels = {})
{
	if (value.is_number())
		text.sample(value.get<double>(), labels);
}

} // namespace

std::string isoUtcTime(std::chrono::system_clock::time_point time)
{
	using namespace std::chrono;
	const auto milliseconds = floor<std::chrono::milliseconds>(time.time_since_epoch()).count();
	const sys_days day = floor<days>(time);
	const year_month_day date(day);
	const hh_mm_ss clock(floor<std::chrono::milliseconds>(time - day));
	char text[32];
	std::snprintf(text, sizeof(text), "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
		      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
		      static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
		      static_cast<int>(clock.seconds().count()), static_cast<int>(milliseconds % 1000));
	return text;
}

StreamStatistics::StreamStatistics() : since_(SystemClock::now())
{
}

void StreamStatistics::changeState(State state)
{
	state_ = state;
	since_ = SystemClock::now();
}

void StreamStatistics::addEvent(std::optional<EventCode> code, std::string level, std::string message)
{
	events_.push_back({ SystemClock::now(), code, std::move(level), std::move(message) });
	while (events_.size() > keptEvents)
		events_.pop_front();
}

void StreamStatistics::workerStarted(std::uint32_t processId, nlohmann::json settings)
{
	hideSrtPassphrase(settings);
	std::lock_guard lock(mutex_);
	runSettings_ = std::move(settings);
	changeState(State::Starting);
	startedAt_ = SteadyClock::now();
	stopRequested_ = false;
	failureMessage_.clear();
	failureCode_.reset();
	linkFailureCode_.reset();
	linkFailureReason_.clear();
	latest_ = nullptr;
	link_ = nullptr;
	onAirSaid_ = false;
	lastRecordAt_.reset();
	++starts_;
	addEvent(EventCode::WorkerStarted, "info", "Worker started (PID " + std::to_string(processId) + ")");
}

void StreamStatistics::stopRequested()
{
	std::lock_guard lock(mutex_);
	stopRequested_ = true;
	addEvent(EventCode::StopRequested, "info", "Stop requested");
}

void StreamStatistics::workerEnded(std::uint32_t exitCode, Ending ending)
{
	std::lock_guard lock(mutex_);
	Exit exit;
	exit.code = exitCode;
	exit.at = SystemClock::now();
	exit.output = member(latest_, "output");
	if (ending == Ending::Unresponsive) {
		changeState(State::Failed);
		++failures_;
		exit.message = unresponsiveReason;
		exit.failure = EventCode::WorkerUnresponsive;
		addEvent(EventCode::StreamEnded, "error", "Stream ended: " + exit.message);
	} else if (stopRequested_) {
		changeState(State::Stopped);
		if (ending == Ending::TerminatedAfterStop) {
			exit.message = terminatedReason;
			exit.failure = EventCode::WorkerTerminated;
			addEvent(EventCode::WorkerTerminated, "warning", "Worker did not stop within 2 s and was terminated");
		} else {
			addEvent(EventCode::StreamStopped, "info", "Worker stopped (exit code " + std::to_string(exitCode) + ")");
		}
	} else {
		changeState(State::Failed);
		++failures_;
		exit.message = failureMessage_.empty() ? "Worker exited with code " + std::to_string(exitCode)
						       : mostSpecificCause(failureMessage_, failureCode_, linkFailureCode_,
										   linkFailureReason_);
		// A worker that said why it failed, but not with a code, is an
		// older one: its message stands alone.
		exit.failure = failureMessage_.empty() ? std::optional(EventCode::WorkerExited) : failureCode_;
		addEvent(EventCode::StreamEnded, "error", "Stream ended: " + exit.message);
	}
	lastExit_ = std::move(exit);
	latest_ = nullptr;
	link_ = nullptr;
}

void StreamStatistics::statisticsReceived(const nlohmann::json &record)
{
	std::lock_guard lock(mutex_);
	if (state_ != State::Starting && state_ != State::Live && state_ != State::Unresponsive)
		return;
	latest_ = record;
	lastRecordAt_ = SteadyClock::now();
	if (state_ == State::Unresponsive) {
		changeState(stateBeforeSilence_);
		addEvent(EventCode::WorkerResponsive, "info", "Worker responds again");
	}
}

void StreamStatistics::workerUnresponsive(std::chrono::steady_clock::duration silence)
{
	std::lock_guard lock(mutex_);
	if (state_ != State::Starting && state_ != State::Live)
		return;
	stateBeforeSilence_ = state_;
	changeState(State::Unresponsive);
	addEvent(EventCode::WorkerUnresponsive, "warning",
		 "Worker sent no statistics for " +
			 std::to_string(std::chrono::duration_cast<std::chrono::seconds>(silence).count()) +
			 " s: it does not respond");
}

void StreamStatistics::workerRestarted()
{
	std::lock_guard lock(mutex_);
	++restarts_;
	addEvent(EventCode::WorkerRestarted, "warning",
		 "Worker started again in place of the one that stopped responding (restart " + std::to_string(restarts_) +
			 ")");
}

std::optional<std::chrono::steady_clock::duration> StreamStatistics::recordSilence() const
{
	std::lock_guard lock(mutex_);
	if (!lastRecordAt_)
		return std::nullopt;
	return SteadyClock::now() - *lastRecordAt_;
}

void StreamStatistics::eventReceived(std::optional<EventCode> code, const std::string &level,
				     const std::string &message)
{
	std::lock_guard lock(mutex_);
	const bool known = level == "info" || level == "warning" || level == "error";
	addEvent(code, known ? level : "info", message);
}

void StreamStatistics::linkReceived(std::optional<EventCode> code, const std::string &level,
				    const std::string &message, const nlohmann::json &link)
{
	std::lock_guard lock(mutex_);
	const bool known = level == "info" || level == "warning" || level == "error";
	addEvent(code, known ? level : "info", message);
	if (!link.is_object())
		return;
	// A link that ended the run says why in its own failure.
	if (level == "error") {
		const nlohmann::json &failure = member(link, "failure");
		const nlohmann::json &failureCode = member(failure, "code");
		const nlohmann::json &reason = member(failure, "reason");
		if (failureCode.is_string() && reason.is_string()) {
			linkFailureCode_ = eventCodeNamed(failureCode.get_ref<const std::string &>());
			linkFailureReason_ = reason.get<std::string>();
		}
	}
	if (state_ != State::Starting && state_ != State::Live)
		return;
	link_ = link;
	sayOnAirOnceLinkIsUp();
}

void StreamStatistics::liveReceived()
{
	std::lock_guard lock(mutex_);
	if (state_ == State::Unresponsive) {
		stateBeforeSilence_ = State::Live;
		return;
	}
	if (state_ != State::Starting)
		return;
	changeState(State::Live);
	sayOnAirOnceLinkIsUp();
}

void StreamStatistics::sayOnAirOnceLinkIsUp()
{
	// An output without a link reports no link changes; a listener is on air
	// as it listens, with or without receivers.
	const bool linkUp = !link_.is_object() || member(link_, "state") == "connected" ||
			    member(link_, "state") == "listening";
	if (onAirSaid_ || state_ != State::Live || !linkUp)
		return;
	onAirSaid_ = true;
	addEvent(EventCode::StreamOnAir, "info", "On air: pictures are handed to the output");
}

void StreamStatistics::failureReceived(std::optional<EventCode> code, const std::string &message)
{
	std::lock_guard lock(mutex_);
	// A failure without words says what its code means.
	failureMessage_ = message.empty() && code ? std::string(eventCodeMessage(*code)) : message;
	failureCode_ = code;
}

StreamStatistics::State StreamStatistics::state() const
{
	std::lock_guard lock(mutex_);
	return state_;
}

nlohmann::json StreamStatistics::document(bool running) const
{
	std::lock_guard lock(mutex_);
	nlohmann::json document = nlohmann::json::object();
	document["running"] = running;
	document["state"] = stateName(state_);
	document["since"] = isoUtcTime(since_);
	document["uptimeSeconds"] = nullptr;
	const bool runs = state_ == State::Starting || state_ == State::Live || state_ == State::Unresponsive;
	document["statisticsAgeSeconds"] = nullptr;
	if (running && runs && lastRecordAt_)
		document["statisticsAgeSeconds"] =
			std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - *lastRecordAt_).count() /
			1000.0;
	document["workerRestarts"] = restarts_;
	if (running && runs)
		document["uptimeSeconds"] =
			std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - startedAt_).count() /
			1000.0;
	// The run on air, or the last: a start and a stop between two reads
	// show as a new number.
	document["run"] = nullptr;
	if (starts_ > 0)
		document["run"] = { { "id", starts_ }, { "settings", runSettings_ } };
	document["lastExit"] = nullptr;
	if (lastExit_) {
		document["lastExit"] = {
			{ "code", lastExit_->code },
			{ "message", lastExit_->message.empty() ? nlohmann::json() : nlohmann::json(lastExit_->message) },
			{ "failureCode", codeJson(lastExit_->failure) },
			{ "at", isoUtcTime(lastExit_->at) },
			{ "picturesEncoded", member(lastExit_->output, "picturesEncoded") },
			{ "picturesDropped", member(lastExit_->output, "picturesDropped") },
		};
	}
	for (const char *part : { "output", "inputs", "audio", "srt", "outputs" })
		document[part] = member(latest_, part);
	if (link_.is_object()) {
		if (!document["srt"].is_object())
			document["srt"] = nlohmann::json::object();
		document["srt"].update(link_);
	}

	nlohmann::json events = nlohmann::json::array();
	const std::size_t first = events_.size() > shownEvents ? events_.size() - shownEvents : 0;
	for (std::size_t index = first; index < events_.size(); ++index) {
		const Event &event = events_[index];
		events.push_back({ { "at", isoUtcTime(event.at) },
				   { "code", codeJson(event.code) },
				   { "level", event.level },
				   { "message", event.message } });
	}
	document["events"] = std::move(events);
	return document;
}

namespace {

// A listener's receivers, one series each by slot (1 to 16, so that the
// series stay few); the address only in the info series.
void sampleCallers(PrometheusText &text, const nlohmann::json &callers)
{
	const nlohmann::json none = nlohmann::json::array();
	const nlohmann::json &list = callers.is_array() ? callers : none;
	text.family("tiloran_srt_callers", "Receivers connected to the SRT listener now.", "gauge");
	if (callers.is_array())
		text.sample(static_cast<double>(list.size()));
	const auto slotOf = [](const nlohmann::json &caller) {
		const nlohmann::json &slot = member(caller, "slot");
		return slot.is_number_integer() ? std::to_string(slot.get<int>()) : std::string();
	};
	text.family("tiloran_srt_caller_info", "A receiver connected to the SRT listener, by slot: its address and stream id.",
		    "gauge");
	for (const nlohmann::json &caller : list) {
		const nlohmann::json &address = member(caller, "address");
		const nlohmann::json &streamId = member(caller, "streamId");
		if (!slotOf(caller).empty() && address.is_string() && streamId.is_string())
			text.sample(1, { { "slot", slotOf(caller) },
					 { "address", address.get<std::string>() },
					 { "stream_id", streamId.get<std::string>() } });
	}
	const auto callerFamily = [&](const char *name, const char *help, const char *type, const char *key, double scale) {
		text.family(name, help, type);
		for (const nlohmann::json &caller : list)
			if (!slotOf(caller).empty() && member(caller, key).is_number())
				text.sample(member(caller, key).get<double>() * scale, { { "slot", slotOf(caller) } });
	};
	callerFamily("tiloran_srt_caller_connected_seconds", "Seconds since each receiver called the SRT listener.", "gauge",
		     "connectedSeconds", 1);
	callerFamily("tiloran_srt_caller_rtt_seconds", "Round-trip time to each receiver of the SRT listener.", "gauge",
		     "rttMs", 0.001);
	callerFamily("tiloran_srt_caller_send_rate_mbps", "Megabits per second sent to each receiver of the SRT listener.",
		     "gauge", "sendRateMbps", 1);
	callerFamily("tiloran_srt_caller_packets_lost_total", "Packets each receiver of the SRT listener reported lost.",
		     "counter", "packetsLost", 1);
	callerFamily("tiloran_srt_caller_packets_dropped_total",
		     "Packets dropped as too late to send to each receiver of the SRT listener.", "counter", "packetsDropped", 1);
}

} // namespace

std::string StreamStatistics::metrics(bool running) const
{
	std::lock_guard lock(mutex_);
	// A silent worker's last record is no measure of the stream now.
	static const nlohmann::json none;
	const nlohmann::json &latest = state_ == State::Unresponsive ? none : latest_;
	const nlohmann::json &output = member(latest, "output");
	PrometheusText text;

	text.family("tiloran_stream_running", "Whether a worker runs (1) or not (0).", "gauge");
	text.sample(running ? 1 : 0);
	text.family("tiloran_stream_live", "Whether pictures are being handed to the output (1) or not (0).", "gauge");
	text.sample(running && state_ == State::Live ? 1 : 0);
	text.family("tiloran_statistics_age_seconds",
		    "Seconds since the running worker's last statistics record; none before its first.", "gauge");
	if (running && lastRecordAt_ && state_ != State::Failed && state_ != State::Stopped)
		text.sample(std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - *lastRecordAt_).count() /
			    1000.0);
	text.family("tiloran_stream_uptime_seconds", "Seconds since the running worker started; 0 without one.", "gauge");
	text.sample(running ? std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - startedAt_).count() /
				      1000.0
			    : 0);

	text.family("tiloran_pictures_encoded_total", "Pictures encoded by the running worker.", "counter");
	sampleIfNumber(text, member(output, "picturesEncoded"));
	text.family("tiloran_pictures_dropped_total", "Master pictures the running worker skipped to stay live.", "counter");
	sampleIfNumber(text, member(output, "picturesDropped"));
	text.family("tiloran_output_fps", "Pictures encoded per second over the last second.", "gauge");
	sampleIfNumber(text, member(output, "fps"));
	text.family("tiloran_output_bitrate_kbps", "Kilobits per second handed to the output over the last second.", "gauge");
	sampleIfNumber(text, member(output, "measuredBitrateKbps"));
	// Only for a stream with adaptive bitrate; in bytes, the base unit that
	// Prometheus' own checks want.
	if (member(output, "targetBitrateKbps").is_number()) {
		text.family("tiloran_video_target_bitrate_bytes_per_second",
			    "Video bitrate the adaptive bitrate aims at now.", "gauge");
		text.sample(member(output, "targetBitrateKbps").get<double>() * 1000 / 8);
	}
	// Prometheus wants seconds, and quantiles in a summary with its sum and
	// count over the whole run.
	text.family("tiloran_latency_seconds",
		    "Time from a master picture's arrival to its last byte handed to the output; quantiles over the last 10 s.",
		    "summary");
	const nlohmann::json &latency = member(output, "latencyMs");
	for (const auto &[key, quantile] : { std::pair{ "p50", "0.5" }, std::pair{ "p99", "0.99" } }) {
		if (member(latency, key).is_number())
			text.sample(member(latency, key).get<double>() / 1000.0, { { "quantile", quantile } });
	}
	if (member(latency, "sum").is_number() && member(latency, "count").is_number()) {
		text.sample(member(latency, "sum").get<double>() / 1000.0, {}, "_sum");
		text.sample(member(latency, "count").get<double>(), {}, "_count");
	}

	const nlohmann::json &inputs = member(latest, "inputs");
	text.family("tiloran_input_fps", "Pictures per second each input delivered over the last second.", "gauge");
	for (const nlohmann::json &input : inputs.is_array() ? inputs : nlohmann::json::array()) {
		const nlohmann::json &quadrant = member(input, "quadrant");
		if (quadrant.is_number_integer())
			sampleIfNumber(text, member(input, "fps"), { { "quadrant", std::to_string(quadrant.get<int>()) } });
	}
	text.family("tiloran_input_signal", "Whether each input has a signal (1) or not (0).", "gauge");
	for (const nlohmann::json &input : inputs.is_array() ? inputs : nlohmann::json::array()) {
		const nlohmann::json &quadrant = member(input, "quadrant");
		const nlohmann::json &signal = member(input, "signal");
		if (quadrant.is_number_integer() && signal.is_string())
			text.sample(signal == "ok" ? 1 : 0, { { "quadrant", std::to_string(quadrant.get<int>()) } });
	}

	const nlohmann::json &peaks = member(member(latest, "audio"), "peakDbfs");
	text.family("tiloran_audio_peak_dbfs", "Peak level of each channel of the master's audio over the last second.",
		    "gauge");
	if (peaks.is_array()) {
		for (std::size_t channel = 0; channel < peaks.size(); ++channel)
			sampleIfNumber(text, peaks[channel], { { "channel", std::to_string(channel + 1) } });
	}

	// The SRT link, seconds where Prometheus wants them.
	const nlohmann::json &srt = member(latest, "srt");
	const auto srtFamily = [&](const char *name, const char *help, const char *type, const char *key, double scale) {
		text.family(name, help, type);
		if (member(srt, key).is_number())
			text.sample(member(srt, key).get<double>() * scale);
	};
	srtFamily("tiloran_srt_rtt_seconds", "Round-trip time of the SRT link.", "gauge", "rttMs", 0.001);
	srtFamily("tiloran_srt_send_rate_mbps", "Megabits per second the SRT link sends.", "gauge", "sendRateMbps", 1);
	srtFamily("tiloran_srt_packets_lost_total", "Packets the SRT receiver reported lost.", "counter", "packetsLost", 1);
	srtFamily("tiloran_srt_packets_retransmitted_total", "Packets the SRT link sent again.", "counter",
		  "packetsRetransmitted", 1);
	srtFamily("tiloran_srt_packets_dropped_total", "Packets the SRT link dropped as too late to send.", "counter",
		  "packetsDropped", 1);
	srtFamily("tiloran_srt_send_buffer_seconds", "What the SRT link holds unacknowledged, in time.", "gauge",
		  "sendBufferMs", 0.001);
	text.family("tiloran_srt_connected", "Whether the SRT link is connected (1) or not (0).", "gauge");
	if (member(srt, "state").is_string())
		text.sample(member(srt, "state") == "connected" ? 1 : 0);
	srtFamily("tiloran_srt_reconnects_total", "Times the SRT link was connected again after a loss.", "counter",
		  "reconnects", 1);
	sampleCallers(text, member(srt, "callers"));

	text.family("tiloran_worker_starts_total", "Workers started since the server started.", "counter");
	text.sample(static_cast<double>(starts_));
	text.family("tiloran_worker_failures_total", "Workers that ended without being asked to, since the server started.",
		    "counter");
	text.sample(static_cast<double>(failures_));
	text.family("tiloran_worker_restarts_total",
		    "Workers started again in place of one that stopped responding, since the server started.", "counter");
	text.sample(static_cast<double>(restarts_));
	return text.text();
}

} // namespace tiloran
