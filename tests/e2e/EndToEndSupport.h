#pragma once

// What the end-to-end tests share: the real server with test-pattern inputs,
// a real SRT listener recording what it receives, and the analysis of a
// recording with the FFmpeg command-line tools.

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace tiloran::test {

// The real tiloran_server on port 3000, started in portable mode inside a
// temporary directory, so that its worker configuration file and preview
// directory are the test's own. Tests using it are registered with SERVER_PORT.
class ServerSession
{
public:
	explicit ServerSession(const std::vector<std::string> &extraArguments);
	// User mode instead: the worker configuration file below configHome
	// (XDG_CONFIG_HOME), the preview directory below the session's own
	// directory (TMPDIR).
	struct UserMode {
		std::filesystem::path configHome;
	};
	ServerSession(const std::vector<std::string> &extraArguments, const UserMode &userMode);
	~ServerSession();
	ServerSession(const ServerSession &) = delete;
	ServerSession &operator=(const ServerSession &) = delete;

	// Sends "Authorization: Bearer TOKEN" on the session's own requests
	// from now on (a server with access on).
	void useToken(const std::string &token) { client_.set_bearer_token_auth(token); }

	httplib::Result get(const std::string &path);
	httplib::Result post(const std::string &path, const std::string &body);

	// POST /api/stream/start; true on 200.
	bool startStream(const nlohmann::json &request, std::string &answer);
	// POST /api/stream/stop; true on 200 with {"status":"stopped"}.
	bool stopStream(std::string &answer);
	// GET /api/stream/status until "running" has the given value.
	bool waitForRunning(bool running, std::chrono::milliseconds timeout);

	const std::filesystem::path &directory() const { return directory_.path(); }
	// Where the server keeps worker_config.json and looks for preview.jpg.
	std::filesystem::path workerConfigPath() const;
	std::filesystem::path previewDirectory() const;
	// The process id of the last worker started, from the supervisor's
	// start line; empty before the first.
	std::string workerPid() const;
	ChildProcess &process() { return *process_; }
	std::string output() const { return process_->standardOutput(); }
	std::string errors() const { return process_->standardError(); }

private:
	void launch(const std::vector<std::string> &arguments, ChildProcess::Options options);

	TemporaryDirectory directory_;
	std::optional<UserMode> userMode_;
	std::unique_ptr<ChildProcess> process_;
	httplib::Client client_;
};

// An HTTP server on a free loopback port standing in for tiloran_server: it
// answers GET /api/worker/config with a fixed status and body.
class ConfigurationServer
{
public:
	ConfigurationServer(int status, std::string body, std::string contentType = "application/json");
	~ConfigurationServer();
	ConfigurationServer(const ConfigurationServer &) = delete;
	ConfigurationServer &operator=(const ConfigurationServer &) = delete;

	int port() const { return port_; }

private:
	httplib::Server server_;
	int port_ = 0;
	std::thread thread_;
};

// srt-live-transmit listening on a free loopback UDP port, writing every byte
// it receives to a file. It can be frozen, and started again on the same port
// with a recording of its own.
class SrtRecorder
{
public:
	SrtRecorder();
	~SrtRecorder();
	SrtRecorder(const SrtRecorder &) = delete;
	SrtRecorder &operator=(const SrtRecorder &) = delete;

	int port() const { return port_; }
	std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
	const std::filesystem::path &recording() const { return recording_; }
	uintmax_t recordedBytes() const;
	bool waitForBytes(uintmax_t bytes, std::chrono::milliseconds timeout) const;
	// Ends the listener in an orderly way, so that it writes out what it holds.
	void stop();
	// Ends the listener at once (SIGKILL) and waits for it.
	void kill();
	// Freezes the listener (SIGSTOP) and lets it go on (SIGCONT). A frozen
	// listener still ends with stop(), kill() or the destructor.
	void pause();
	void resume();
	// A new listener on the same port after the last one ended; from then on
	// recording() is the new one's.
	void restart();

private:
	void launch();

	TemporaryDirectory directory_;
	int lives_ = 0;
	int port_ = 0;
	std::filesystem::path recording_;
	std::unique_ptr<ChildProcess> process_;
};

// GET /api/stream/stats; null when the server gave no document.
nlohmann::json stats(ServerSession &server);

// What decoding a recording's video complains of; empty for a clean decode.
std::string videoDecodeErrors(const std::filesystem::path &file);
// The first video frame of a recording as decoded, "1,I" for a key frame.
std::string firstVideoFrame(const std::filesystem::path &file);

// Waits for the supervisor's line of the worker's orderly end after a stop
// (exit code 0). A worker several times slower than real time may need
// longer than the supervisor's grace and is then terminated, which is right
// for it and is accepted there.
bool waitForStoppedWorker(ServerSession &server, const std::string &pid);

// Stops the stream through the API and expects the supervisor's orderly end
// (exit code 0) and the status to turn false; then stops the recorder.
void stopAndExpectOrderlyEnd(ServerSession &server, SrtRecorder &recorder);

// A stream start request for the test inputs: quadrant items with ids and
// test input numbers, in the order given.
struct QuadrantChoice {
	int id;
	int input;
};
nlohmann::json startRequest(const std::string &srtHostPort, const std::vector<QuadrantChoice> &quadrants);

// ffprobe's view of a file's streams (the "streams" array of its JSON output).
nlohmann::json probeStreams(const std::filesystem::path &file);

struct PacketTimes {
	std::vector<int64_t> videoPts;
	std::vector<int64_t> audioPts;
};
PacketTimes probePacketTimes(const std::filesystem::path &file);
// How many video packets a recording holds so far (it may still grow).
int countVideoPackets(const std::filesystem::path &file);

// One decoded picture of a recording in NV12, taken the given number of
// seconds after its start.
struct Nv12Picture {
	int width = 0;
	int height = 0;
	std::vector<uint8_t> data;

	// Mean Y, U and V over a rectangle of the picture (even coordinates).
	std::array<double, 3> meanColour(int left, int top, int width, int height) const;
};
std::optional<Nv12Picture> decodePicture(const std::filesystem::path &file, int width, int height,
					 double secondsIn);

// The strongest frequency (in steps of 10 Hz, 100 to 10000 Hz) in a channel
// (0 the first) of a file's audio over the given stretch.
int dominantFrequency(const std::filesystem::path &file, double secondsIn, double seconds, int channel = 0);

// The size of a JPEG picture as ffprobe reports it; nothing when it is none.
std::optional<std::pair<int, int>> jpegSize(const std::string &bytes);

} // namespace tiloran::test
