#include "report/StatisticsReporter.h"

#include <algorithm>
#include <cmath>

namespace tiloran {

namespace {

using Clock = std::chrono::steady_clock;

// An input whose pace is this far from its own rate, two reports in a row,
// is off pace.
constexpr double paceTolerance = 0.1;
constexpr int offPaceReportsBeforeEvent = 2;

double rounded(double value, double step)
{
	return std::round(value / step) * step;
}

double rateOf(AVRational rate)
{
	return rate.num > 0 && rate.den > 0 ? double(rate.num) / rate.den : 0.0;
}

nlohmann::json percentile(std::vector<double> values, double fraction)
{
	if (values.empty())
		return nullptr;
	std::sort(values.begin(), values.end());
	const std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(std::ceil(fraction * values.size())) - 1);
	return rounded(values[index], 0.1);
}

nlohmann::json linkRecord(const std::optional<SrtLinkStatistics> &link)
{
	if (!link)
		return nullptr;
	// Before the first connection SRT has given no figures of the link.
	const bool known = link->state == "connected" || link->packetsSent > 0;
	const auto figure = [known](double value, double step) -> nlohmann::json {
		return known ? nlohmann::json(rounded(value, step)) : nlohmann::json(nullptr);
	};
	nlohmann::json record = { { "mode", link->mode },
		 { "state", link->state },
		 { "peer", link->peer },
		 { "rttMs", figure(link->rttMs, 0.001) },
		 { "sendRateMbps", figure(link->sendRateMbps, 0.001) },
		 { "bandwidthMbps", figure(link->bandwidthMbps, 0.001) },
		 { "packetsSent", link->packetsSent },
		 { "packetsLost", link->packetsLost },
		 { "packetsRetransmitted", link->packetsRetransmitted },
		 { "packetsDropped", link->packetsDropped },
		 { "sendBufferMs", figure(link->sendBufferMs, 1) },
		 { "latencyMs", known ? nlohmann::json(link->latencyMs) : nlohmann::json(nullptr) },
		 { "reconnects", link->reconnects },
		 { "outages", link->outages },
		 { "failedCalls", link->failedCalls },
		 { "failedAttempts", link->failedAttempts },
		 { "failure", !link->failureCode ? nlohmann::json(nullptr)
						  : nlohmann::json{ { "code", std::string(eventCodeText(*link->failureCode)) },
									  { "reason", link->failureReason } } },
		 { "connectedSeconds", rounded(link->connectedSeconds, 0.1) } };
	if (link->mode != "listener")
		return record;
	// A listener's receivers, each with figures of its own.
	nlohmann::json callers = nlohmann::json::array();
	for (const SrtCallerStatistics &caller : link->callers)
		callers.push_back({ { "slot", caller.slot },
				    { "address", caller.address },
				    { "streamId", caller.streamId },
				    { "waiting", caller.waiting },
				    { "connectedSeconds", rounded(caller.connectedSeconds, 0.1) },
				    { "rttMs", rounded(caller.rttMs, 0.001) },
				    { "sendRateMbps", rounded(caller.sendRateMbps, 0.001) },
				    { "sendBufferMs", rounded(caller.sendBufferMs, 1) },
				    { "packetsLost", caller.packetsLost },
				    { "packetsDropped", caller.packetsDropped } });
	record["callers"] = std::move(callers);
	record["maxCallers"] = link->maxCallers;
	record["callersJoined"] = link->callersJoined;
	record["callersRefused"] = link->callersRefused;
	record["callersDropped"] = link->callersDropped;
	return record;
}

std::string inputLabel(const StatisticsReporter::Input &input)
{
	return "quadrant " + std::to_string(input.quadrant) + " (" + input.name + ")";
}

} // namespace

StatisticsReporter::StatisticsReporter(Subjects subjects, ServerChannel &channel, std::chrono::milliseconds interval)
	: subjects_(std::move(subjects)), channel_(channel), interval_(interval), lastReport_(Clock::now()),
	  histories_(subjects_.inputs.size())
{
	thread_ = std::thread([this] { run(); });
}

StatisticsReporter::~StatisticsReporter()
{
	{
		std::lock_guard lock(mutex_);
		stopping_ = true;
	}
	condition_.notify_all();
	thread_.join();
}

void StatisticsReporter::reportNow()
{
	report();
}

void StatisticsReporter::run()
{
	std::unique_lock lock(mutex_);
	for (;;) {
		if (condition_.wait_for(lock, interval_, [this] { return stopping_; }))
			return;
		lock.unlock();
		report();
		lock.lock();
	}
}

void StatisticsReporter::report()
{
	std::lock_guard lock(recordMutex_);
	const Clock::time_point now = Clock::now();
	// Rates over a moment that is too short to measure say nothing.
	const double seconds = std::max(std::chrono::duration<double>(now - lastReport_).count(), 0.001);
	lastReport_ = now;
	channel_.send({ { "type", "statistics" }, { "record", record(seconds) } });
}

nlohmann::json StatisticsReporter::record(double seconds)
{
	const Clock::time_point now = Clock::now();
	const CompositeOutput::Statistics output = subjects_.output->statistics();
	if (!live_ && output.picturesEncoded > 0) {
		live_ = true;
		channel_.send({ { "type", "live" } });
		channel_.sendEvent(EventCode::OutputLive, "info", "First pictures handed to the output");
	}

	const double fps = (output.picturesEncoded - lastPicturesEncoded_) / seconds;
	const double kbps = (output.bytesWritten - lastBytesWritten_) * 8.0 / 1000.0 / seconds;
	lastPicturesEncoded_ = output.picturesEncoded;
	lastBytesWritten_ = output.bytesWritten;

	nlohmann::json inputs = nlohmann::json::array();
	for (std::size_t index = 0; index < subjects_.inputs.size(); ++index)
		inputs.push_back(inputRecord(subjects_.inputs[index], histories_[index], seconds, now));

	nlohmann::json audio = nullptr;
	const AudioLevelMeter::Levels levels = subjects_.meter->take();
	if (levels.measured) {
		audio = { { "channels", AudioLevelMeter::channels },
			  { "sourceChannels", { subjects_.audioChannels.left, subjects_.audioChannels.right } },
			  { "peakDbfs", nlohmann::json::array() },
			  { "rmsDbfs", nlohmann::json::array() } };
		for (int channel = 0; channel < AudioLevelMeter::channels; ++channel) {
			audio["peakDbfs"].push_back(rounded(levels.peakDbfs[channel], 0.1));
			audio["rmsDbfs"].push_back(rounded(levels.rmsDbfs[channel], 0.1));
		}
	}

	nlohmann::json outputRecord = { { "width", 2 * subjects_.width },
		    { "height", 2 * subjects_.height },
		    { "frameRate", rationalText(subjects_.frameRate) },
		    { "codec", output.encoder },
		    { "videoBitrateKbps", subjects_.videoBitrate / 1000 },
		    { "measuredBitrateKbps", rounded(kbps, 1) },
		    { "picturesEncoded", output.picturesEncoded },
		    { "picturesDropped", subjects_.picturesDropped->load() },
		    { "fps", rounded(fps, 0.01) },
		    { "latencyMs",
		      { { "p50", percentile(output.latenciesMs, 0.5) },
			{ "p99", percentile(output.latenciesMs, 0.99) },
			{ "count", output.latencyCount },
			{ "sum", rounded(output.latencySumMs, 0.1) } } },
		    { "encodingMs",
		      { { "p50", percentile(output.encodingMs, 0.5) }, { "p99", percentile(output.encodingMs, 0.99) } } } };
	// Only with adaptive bitrate, so that a fixed rate's record stays as it was.
	if (output.adaptive) {
		outputRecord["targetBitrateKbps"] = output.adaptive->targetBitsPerSecond / 1000;
		outputRecord["bitrateControl"] = output.adaptive->state;
	}
	nlohmann::json outputs = nlohmann::json::array();
	for (const SrtLinkStatistics &link : output.outputs)
		outputs.push_back(linkRecord(link));
	return {
		{ "output", std::move(outputRecord) },
		{ "inputs", std::move(inputs) },
		{ "audio", std::move(audio) },
		{ "srt", linkRecord(output.link) },
		{ "outputs", std::move(outputs) },
	};
}

nlohmann::json StatisticsReporter::inputRecord(const Input &input, InputHistory &history, double seconds,
					       Clock::time_point now)
{
	const SourceCapture::Statistics statistics = input.source->statistics();
	const double fps = (statistics.pictures - history.pictures) / seconds;
	history.pictures = statistics.pictures;
	const double nominal = rateOf(input.frameRate);

	nlohmann::json age = nullptr;
	if (statistics.pictures > 0)
		age = std::llround(std::chrono::duration<double, std::milli>(now - statistics.lastArrival).count());
	const std::string signal = statistics.signal == InputSignal::Ok	    ? "ok"
				   : statistics.signal == InputSignal::None ? "none"
									    : "unknown";

	// Pace is judged only while there is a signal.
	const bool offPace = signal == "ok" && nominal > 0 && std::fabs(fps - nominal) > paceTolerance * nominal;
	history.offPaceReports = offPace ? history.offPaceReports + 1 : 0;
	char text[128];
	if (!history.offPace && history.offPaceReports >= offPaceReportsBeforeEvent) {
		history.offPace = true;
		std::snprintf(text, sizeof(text), "%.1f pictures/s instead of %.3g", fps, nominal);
		channel_.sendEvent(EventCode::InputPaceOff, "warning", "Input on " + inputLabel(input) + " runs at " + text);
	} else if (history.offPace && !offPace && signal == "ok") {
		history.offPace = false;
		std::snprintf(text, sizeof(text), "%.3g pictures/s", nominal);
		channel_.sendEvent(EventCode::InputPaceRestored, "info", "Input on " + inputLabel(input) + " runs at " + text + " again");
	}

	return { { "quadrant", input.quadrant },
		 { "name", input.name },
		 { "source", input.sourceName },
		 { "fps", rounded(fps, 0.01) },
		 { "lastPictureAgeMs", age },
		 { "signal", signal } };
}

} // namespace tiloran
