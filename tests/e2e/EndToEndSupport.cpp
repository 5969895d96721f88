#include "e2e/EndToEndSupport.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <csignal>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace tiloran::test {

namespace {

std::string quoted(const std::filesystem::path &path)
{
	return "'" + path.string() + "'";
}

// Whether something has bound the UDP port on the loopback or any address.
bool udpPortBound(int port)
{
	std::ifstream table("/proc/net/udp");
	std::string line;
	char suffix[8];
	std::snprintf(suffix, sizeof(suffix), ":%04X", port);
	while (std::getline(table, line)) {
		std::istringstream fields(line);
		std::string slot, local;
		fields >> slot >> local;
		if (local.size() > 5 && local.compare(local.size() - 5, 5, suffix) == 0)
			return true;
	}
	return false;
}

} // namespace

ServerSession::ServerSession(const std::vector<std::string> &extraArguments)
	: client_("127.0.0.1", 3000)
{
	std::vector<std::string> arguments{ "portable" };
	arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
	launch(arguments, {});
}

ServerSession::ServerSession(const std::vector<std::string> &extraArguments, const UserMode &userMode)
	: userMode_(userMode), client_("127.0.0.1", 3000)
{
	ChildProcess::Options options;
	// The first of these that is set decides where the configuration goes.
	options.unsetEnvironment = { "APPDATA", "USERPROFILE" };
	options.setEnvironment["XDG_CONFIG_HOME"] = userMode.configHome.string();
	options.setEnvironment["TMPDIR"] = directory_.path().string();
	launch(extraArguments, options);
}

void ServerSession::launch(const std::vector<std::string> &arguments, ChildProcess::Options options)
{
	options.workingDirectory = directory_.path();
	process_ = std::make_unique<ChildProcess>(serverProgram(), arguments, options);

	// Bounds for a server that never answers, not for a slow one.
	client_.set_connection_timeout(10, 0);
	client_.set_read_timeout(60, 0);
	const bool ready = waitUntil(
		[this] {
			if (!process_->running())
				return true;
			const httplib::Result result = client_.Get("/api/health");
			return result && result->status == 200;
		},
		kGenerousTimeout);
	if (!ready || !process_->running())
		throw std::runtime_error("the server did not come up:\n" + output() + errors());
}

ServerSession::~ServerSession()
{
	process_->signal(SIGTERM);
	process_->waitForExit(kGenerousTimeout);
}

std::filesystem::path ServerSession::workerConfigPath() const
{
	if (userMode_)
		return userMode_->configHome / "KV_TILORAN" / "Encoder" / "worker_config.json";
	return directory_.path() / "worker_config.json";
}

std::filesystem::path ServerSession::previewDirectory() const
{
	if (userMode_)
		return directory_.path() / "KV_TILORAN" / "Encoder" / "preview";
	return directory_.path() / "preview";
}

std::string ServerSession::workerPid() const
{
	static const std::string prefix = "[WorkerSupervisor] Worker PID: ";
	const std::string text = output();
	const size_t start = text.rfind(prefix);
	if (start == std::string::npos)
		return {};
	const size_t end = text.find('\n', start);
	if (end == std::string::npos)
		return {};
	return text.substr(start + prefix.size(), end - start - prefix.size());
}

httplib::Result ServerSession::get(const std::string &path)
{
	return client_.Get(path.c_str());
}

httplib::Result ServerSession::post(const std::string &path, const std::string &body)
{
	return client_.Post(path.c_str(), body, "application/json");
}

nlohmann::json stats(ServerSession &server)
{
	const httplib::Result result = server.get("/api/stream/stats");
	if (!result || result->status != 200)
		return nullptr;
	return nlohmann::json::parse(result->body, nullptr, false);
}

std::string videoDecodeErrors(const std::filesystem::path &file)
{
	return runCommand("ffmpeg -nostdin -v error -i '" + file.string() + "' -map 0:v -f null - 2>&1");
}

std::string firstVideoFrame(const std::filesystem::path &file)
{
	return runCommand("ffprobe -v error -select_streams v:0 -read_intervals %+#1 -show_entries frame=key_frame,pict_type "
			  "-of csv=p=0 '" +
			  file.string() + "' 2>&1");
}

bool ServerSession::startStream(const nlohmann::json &request, std::string &answer)
{
	const httplib::Result result = post("/api/stream/start", request.dump());
	answer = result ? std::to_string(result->status) + " " + result->body : "no answer";
	return result && result->status == 200;
}

bool ServerSession::stopStream(std::string &answer)
{
	const httplib::Result result = post("/api/stream/stop", "");
	answer = result ? std::to_string(result->status) + " " + result->body : "no answer";
	return result && result->status == 200 && result->body == R"({"status":"stopped"})";
}

bool ServerSession::waitForRunning(bool running, std::chrono::milliseconds timeout)
{
	return waitUntil(
		[&] {
			const httplib::Result result = get("/api/stream/status");
			if (!result || result->status != 200)
				return false;
			const nlohmann::json status = nlohmann::json::parse(result->body, nullptr, false);
			return status.is_object() && status.value("running", !running) == running;
		},
		timeout);
}

ConfigurationServer::ConfigurationServer(int status, std::string body, std::string contentType)
{
	server_.Get("/api/worker/config", [=](const httplib::Request &, httplib::Response &response) {
		response.status = status;
		response.set_content(body, contentType);
	});
	port_ = server_.bind_to_any_port("127.0.0.1");
	thread_ = std::thread([this] { server_.listen_after_bind(); });
	// stop() only works on a server that has entered its accept loop.
	while (!server_.is_running())
		std::this_thread::sleep_for(1ms);
}

ConfigurationServer::~ConfigurationServer()
{
	server_.stop();
	thread_.join();
}

SrtRecorder::SrtRecorder()
	: port_(freeUdpPort())
{
	launch();
}

void SrtRecorder::launch()
{
	++lives_;
	recording_ = directory_.path() / (lives_ == 1 ? "recording.ts" : "recording-" + std::to_string(lives_) + ".ts");
	const std::string command = "exec srt-live-transmit -q 'srt://127.0.0.1:" + std::to_string(port_) +
				    "?mode=listener' file://con > " + quoted(recording_);
	process_ = std::make_unique<ChildProcess>("/bin/sh", std::vector<std::string>{ "-c", command });
	if (!waitUntil([this] { return udpPortBound(port_) || !process_->running(); }, kGenerousTimeout) ||
	    !process_->running())
		throw std::runtime_error("srt-live-transmit did not start listening: " + process_->standardError());
}

SrtRecorder::~SrtRecorder()
{
	kill();
}

uintmax_t SrtRecorder::recordedBytes() const
{
	std::error_code error;
	const uintmax_t size = std::filesystem::file_size(recording_, error);
	return error ? 0 : size;
}

bool SrtRecorder::waitForBytes(uintmax_t bytes, std::chrono::milliseconds timeout) const
{
	return waitUntil([&] { return recordedBytes() >= bytes; }, timeout);
}

void SrtRecorder::stop()
{
	if (process_->running()) {
		process_->signal(SIGTERM);
		process_->signal(SIGCONT);
		if (!process_->waitForExit(kGenerousTimeout))
			kill();
	}
}

void SrtRecorder::kill()
{
	if (process_->running()) {
		process_->signal(SIGKILL);
		process_->waitForExit(kGenerousTimeout);
	}
}

void SrtRecorder::pause()
{
	process_->signal(SIGSTOP);
}

void SrtRecorder::resume()
{
	process_->signal(SIGCONT);
}

void SrtRecorder::restart()
{
	kill();
	launch();
}

bool waitForStoppedWorker(ServerSession &server, const std::string &pid)
{
	const std::string worker = "[WorkerSupervisor] Worker PID " + pid;
	return waitUntil(
		[&] {
			const std::string output = server.output();
			return output.find(worker + " exited with code 0\n") != std::string::npos ||
			       (!programsKeepRealTime &&
				output.find(worker + " terminated: did not stop within 2 s") != std::string::npos);
		},
		kGenerousTimeout);
}

void stopAndExpectOrderlyEnd(ServerSession &server, SrtRecorder &recorder)
{
	std::string answer;
	ASSERT_TRUE(server.stopStream(answer)) << answer;
	const std::string pid = server.workerPid();
	EXPECT_TRUE(waitForStoppedWorker(server, pid)) << server.output();
	EXPECT_TRUE(server.waitForRunning(false, kGenerousTimeout));
	recorder.stop();
}

nlohmann::json startRequest(const std::string &srtHostPort, const std::vector<QuadrantChoice> &quadrants)
{
	nlohmann::json items = nlohmann::json::array();
	for (const QuadrantChoice &choice : quadrants) {
		items.push_back({ { "id", choice.id },
				  { "name", "Camera " + std::to_string(choice.input) },
				  { "source_id", "test-" + std::to_string(choice.input) } });
	}
	return { { "srtHostPort", srtHostPort }, { "videoBitrate", 4 }, { "audioBitrate", 128 },
		 { "codec", "libx264" },	 { "srtLatency", 120 },	  { "quadrants", items } };
}

nlohmann::json probeStreams(const std::filesystem::path &file)
{
	const std::string output = runCommand("ffprobe -v error -show_streams -of json " + quoted(file));
	const nlohmann::json probe = nlohmann::json::parse(output, nullptr, false);
	return probe.is_object() && probe.contains("streams") ? probe["streams"] : nlohmann::json::array();
}

PacketTimes probePacketTimes(const std::filesystem::path &file)
{
	const std::string output =
		runCommand("ffprobe -v error -show_entries packet=stream_index,pts -of csv=p=0 " + quoted(file));
	PacketTimes times;
	std::istringstream lines(output);
	std::string line;
	while (std::getline(lines, line)) {
		const size_t comma = line.find(',');
		if (comma == std::string::npos || line.compare(comma + 1, 3, "N/A") == 0)
			continue;
		const int stream = std::stoi(line.substr(0, comma));
		const int64_t pts = std::stoll(line.substr(comma + 1));
		(stream == 0 ? times.videoPts : times.audioPts).push_back(pts);
	}
	return times;
}

int countVideoPackets(const std::filesystem::path &file)
{
	const std::string output = runCommand(
		"ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 " +
		quoted(file));
	int count = 0;
	return std::sscanf(output.c_str(), "%d", &count) == 1 ? count : 0;
}

std::array<double, 3> Nv12Picture::meanColour(int left, int top, int areaWidth, int areaHeight) const
{
	double y = 0, u = 0, v = 0;
	const uint8_t *chroma = data.data() + static_cast<size_t>(width) * height;
	for (int row = top; row < top + areaHeight; ++row) {
		for (int column = left; column < left + areaWidth; ++column) {
			y += data[static_cast<size_t>(row) * width + column];
			const size_t chromaIndex = static_cast<size_t>(row / 2) * width + (column / 2) * 2;
			u += chroma[chromaIndex];
			v += chroma[chromaIndex + 1];
		}
	}
	const double count = static_cast<double>(areaWidth) * areaHeight;
	return { y / count, u / count, v / count };
}

std::optional<Nv12Picture> decodePicture(const std::filesystem::path &file, int width, int height,
					 double secondsIn)
{
	Nv12Picture picture;
	picture.width = width;
	picture.height = height;
	// Seeking in a transport stream lands on a key picture near the time,
	// which may lie after it. Key pictures come at least every 2 s: reading
	// from 3 s earlier and dropping what comes before the time gives exactly
	// the picture at the time.
	const double early = std::max(0.0, secondsIn - 3.0);
	const std::string output = runCommand("ffmpeg -v error -ss " + std::to_string(early) + " -i " + quoted(file) +
					      " -ss " + std::to_string(secondsIn - early) +
					      " -frames:v 1 -f rawvideo -pix_fmt nv12 -");
	if (output.size() != static_cast<size_t>(width) * height * 3 / 2)
		return std::nullopt;
	picture.data.assign(output.begin(), output.end());
	return picture;
}

int dominantFrequency(const std::filesystem::path &file, double secondsIn, double seconds, int channel)
{
	constexpr int sampleRate = 48000;
	const std::string output = runCommand("ffmpeg -v error -ss " + std::to_string(secondsIn) + " -t " +
					      std::to_string(seconds) + " -i " + quoted(file) +
					      " -map 0:a:0 -af 'pan=mono|c0=c" + std::to_string(channel) +
					      "' -ar 48000 -f s16le -acodec pcm_s16le -");
	const size_t count = output.size() / 2;
	if (count < sampleRate / 10)
		return 0;
	std::vector<double> samples(count);
	for (size_t index = 0; index < count; ++index) {
		const auto low = static_cast<uint8_t>(output[2 * index]);
		const auto high = static_cast<uint8_t>(output[2 * index + 1]);
		samples[index] = static_cast<int16_t>(low | (high << 8));
	}

	// Goertzel power at each candidate frequency.
	int strongest = 0;
	double strongestPower = 0;
	for (int frequency = 100; frequency <= 10000; frequency += 10) {
		const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / sampleRate);
		double previous = 0, beforePrevious = 0;
		for (double sample : samples) {
			const double current = sample + coefficient * previous - beforePrevious;
			beforePrevious = previous;
			previous = current;
		}
		const double power = previous * previous + beforePrevious * beforePrevious -
				     coefficient * previous * beforePrevious;
		if (power > strongestPower) {
			strongestPower = power;
			strongest = frequency;
		}
	}
	return strongest;
}

std::optional<std::pair<int, int>> jpegSize(const std::string &bytes)
{
	if (bytes.size() < 4 || static_cast<uint8_t>(bytes[0]) != 0xff || static_cast<uint8_t>(bytes[1]) != 0xd8)
		return std::nullopt;
	TemporaryDirectory directory;
	const std::filesystem::path file = directory.path() / "preview.jpg";
	writeFile(file, bytes);
	const std::string output =
		runCommand("ffprobe -v error -show_entries stream=width,height -of csv=p=0:s=x " + quoted(file));
	int width = 0, height = 0;
	if (std::sscanf(output.c_str(), "%dx%d", &width, &height) != 2)
		return std::nullopt;
	return std::make_pair(width, height);
}

} // namespace tiloran::test
