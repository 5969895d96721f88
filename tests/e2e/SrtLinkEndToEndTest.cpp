// The real server and worker with test inputs, and real SRT listeners on
// loopback (srt-live-transmit, or libsrt in the test where what the listener
// got must be seen): the stream id and passphrase as given, and, with
// "srtReconnect", a link that survives a listener that goes away, freezes or
// comes late, and a receiver that can decode from the first second after;
// the link's end in order when the server dies or a stop comes while it
// connects.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e/EndToEndSupport.h"
#include "support/SrtListener.h"

using namespace std::chrono_literals;
using namespace tiloran::test;

namespace {

nlohmann::json reconnectingRequest(const std::string &hostPort)
{
	nlohmann::json request = startRequest(hostPort, { { 1, 1 }, { 2, 2 } });
	request["srtReconnect"] = true;
	return request;
}

// How often text appears in output.
std::size_t occurrences(const std::string &output, const std::string &text)
{
	std::size_t count = 0;
	for (std::size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + 1))
		++count;
	return count;
}

bool waitForOccurrences(ServerSession &server, const std::string &text, std::size_t count)
{
	return waitUntil([&] { return occurrences(server.errors() + server.output(), text) >= count; },
			 kGenerousTimeout);
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct ProcessFigures {
	int threads = 0;
	// Sockets, pipes and the kernel's other objects (epoll, eventfd): what a
	// connection can hold. Not files, which a sanitizer's runtime opens for
	// its reports.
	int descriptors = 0;
	long residentKiB = 0;
};

ProcessFigures processFigures(int pid)
{
	ProcessFigures figures;
	const std::filesystem::path directory = "/proc/" + std::to_string(pid);
	const std::string status = readFile(directory / "status");
	std::smatch match;
	if (std::regex_search(status, match, std::regex("Threads:\\s+(\\d+)")))
		figures.threads = std::stoi(match[1]);
	if (std::regex_search(status, match, std::regex("VmRSS:\\s+(\\d+)")))
		figures.residentKiB = std::stol(match[1]);
	std::error_code error;
	for (const auto &entry : std::filesystem::directory_iterator(directory / "fd")) {
		const std::filesystem::path target = std::filesystem::read_symlink(entry.path(), error);
		if (!error && !target.is_absolute())
			++figures.descriptors;
	}
	return figures;
}

// Over its first seconds: how the stream ended is another matter.
std::string decodeErrors(const std::filesystem::path &file, double seconds)
{
	return runCommand("ffmpeg -nostdin -v error -i '" + file.string() + "' -t " + std::to_string(seconds) +
			  " -f null - 2>&1");
}

} // namespace

TEST(SrtLinkEndToEnd, StreamIdAndPassphraseReachTheListenerAsGiven)
{
	ServerSession server({ "--test-inputs=2:320x180p25" });
	const std::string streamId = "#!::r=live/feed,m=publish,u=ops&t=a b";
	const std::string passphrase(79, 'k');
	for (const bool matching : { true, false }) {
		SCOPED_TRACE(matching ? "the listener's passphrase" : "another passphrase");
		const int port = freeUdpPort();
		SrtListener listener(port, { .latencyMilliseconds = 20,
					     .passphrase = matching ? passphrase : std::string(10, 'x') });
		nlohmann::json request = startRequest("127.0.0.1:" + std::to_string(port), { { 1, 1 }, { 2, 2 } });
		request["srtStreamId"] = streamId;
		request["srtPassphrase"] = passphrase;
		std::string answer;
		ASSERT_TRUE(server.startStream(request, answer)) << answer;
		if (matching) {
			ASSERT_TRUE(listener.waitForBytes(100 * 188, kGenerousTimeout)) << server.errors();
			EXPECT_EQ(listener.streamId(), streamId);
			ASSERT_TRUE(server.stopStream(answer)) << answer;
			continue;
		}
		// Refused by the listener: the stream ends as a failed open does.
		ASSERT_TRUE(waitUntil([&] { return stats(server)["state"] == "failed"; }, kGenerousTimeout))
			<< server.errors();
		const std::string message = stats(server)["lastExit"]["message"];
		// libsrt tells a passphrase that differs from other refusals.
		EXPECT_EQ(stats(server)["lastExit"]["failureCode"], "srt.rejected.passphrase") << stats(server).dump(2);
		EXPECT_EQ(message.rfind("Failed to open SRT output 'srt://127.0.0.1:", 0), 0u) << message;
		EXPECT_NE(message.find("passphrase=***"), std::string::npos) << message;
		EXPECT_EQ(message.find(passphrase), std::string::npos) << message;
		// The listener's refusal as SRT told it.
		EXPECT_EQ(message.find("Input/output error"), std::string::npos) << message;
	}
	EXPECT_EQ((server.output() + server.errors()).find(passphrase), std::string::npos);
}

TEST(SrtLinkEndToEnd, AListenerThatComesBackGetsTheStreamAgain)
{
	ServerSession server({ "--test-inputs=2:320x180p25" });
	SrtRecorder listener;
	std::string answer;
	ASSERT_TRUE(server.startStream(reconnectingRequest(listener.hostPort()), answer)) << answer;
	// A whole picture recorded before the outage: the first bytes can end
	// inside the first key picture, and the kill ends the recording there.
	ASSERT_TRUE(waitUntil([&] { return !probePacketTimes(listener.recording()).videoPts.empty(); },
			      kGenerousTimeout))
		<< server.errors();

	const std::filesystem::path beforeOutage = listener.recording();
	const auto killed = std::chrono::steady_clock::now();
	listener.kill();
	ASSERT_TRUE(waitForOccurrences(server, "[CompositeOutput] SRT connection lost: ", 1)) << server.errors();
	const double noticed = secondsSince(killed);
	// The listener is away for three seconds; the stream goes on meanwhile.
	std::this_thread::sleep_for(3s);
	EXPECT_EQ(stats(server)["srt"]["state"], "reconnecting");
	EXPECT_EQ(stats(server)["state"], "live");

	const auto returned = std::chrono::steady_clock::now();
	listener.restart();
	ASSERT_TRUE(listener.waitForBytes(1, kGenerousTimeout)) << server.errors();
	const double back = secondsSince(returned);
	ASSERT_TRUE(waitForOccurrences(server, "[CompositeOutput] SRT connection restored after ", 1)) << server.errors();
	// Two seconds of the stream after the return.
	ASSERT_TRUE(listener.waitForBytes(1000 * 1000, kGenerousTimeout)) << server.errors();

	// Statistics come once a second.
	ASSERT_TRUE(waitUntil([&] { return stats(server)["srt"]["reconnects"] == 1; }, kGenerousTimeout))
		<< stats(server).dump(2);
	const nlohmann::json document = stats(server);
	EXPECT_EQ(document["srt"]["state"], "connected");
	std::string events;
	for (const nlohmann::json &event : document["events"])
		events += event["level"].get<std::string>() + " " + event["message"].get<std::string>() + "\n";
	EXPECT_TRUE(std::regex_search(events, std::regex("warning SRT connection lost: [^\n]+; reconnecting\n")))
		<< events;
	EXPECT_TRUE(std::regex_search(events, std::regex("info SRT connection restored after [0-9.]+ s \\(attempt [0-9]+\\)\n")))
		<< events;
	ASSERT_TRUE(server.stopStream(answer)) << answer;
	listener.stop();

	// The recording after the return decodes from its first picture on.
	EXPECT_EQ(firstVideoFrame(listener.recording()), "1,I\n");
	EXPECT_EQ(decodeErrors(listener.recording(), 1.5), "");
	// Audio and video go on from the stream's clock, in step, never back.
	const PacketTimes times = probePacketTimes(listener.recording());
	ASSERT_FALSE(times.videoPts.empty());
	ASSERT_FALSE(times.audioPts.empty());
	EXPECT_LT(std::llabs(times.videoPts.front() - times.audioPts.front()), 90000);
	EXPECT_TRUE(std::is_sorted(times.videoPts.begin(), times.videoPts.end()));
	EXPECT_TRUE(std::is_sorted(times.audioPts.begin(), times.audioPts.end()));
	const PacketTimes earlier = probePacketTimes(beforeOutage);
	ASSERT_FALSE(earlier.videoPts.empty());
	// Three seconds away and more, the stream's own clock ran on.
	EXPECT_GT(times.videoPts.front() - earlier.videoPts.back(), 3 * 90000);
	std::printf("[ measure  ] listener killed: loss noticed after %.2f s; back 3 s later: stream again after %.2f s\n",
		    noticed, back);
}

TEST(SrtLinkEndToEnd, AFrozenListenerIsGivenUpAndTakenBack)
{
	ServerSession server({ "--test-inputs=2:320x180p25" });
	SrtRecorder listener;
	std::string answer;
	ASSERT_TRUE(server.startStream(reconnectingRequest(listener.hostPort()), answer)) << answer;
	ASSERT_TRUE(listener.waitForBytes(100 * 188, kGenerousTimeout)) << server.errors();

	const auto frozen = std::chrono::steady_clock::now();
	listener.pause();
	ASSERT_TRUE(waitForOccurrences(server, "[CompositeOutput] SRT connection lost: ", 1)) << server.errors();
	const double noticed = secondsSince(frozen);
	EXPECT_NE(server.errors().find("the receiver stopped reading"), std::string::npos) << server.errors();
	// Frozen for ten seconds in all.
	std::this_thread::sleep_for(std::chrono::milliseconds(10000) - (std::chrono::steady_clock::now() - frozen));
	const uintmax_t before = listener.recordedBytes();
	listener.resume();
	ASSERT_TRUE(waitForOccurrences(server, "[CompositeOutput] SRT connection restored after ", 1)) << server.errors();
	ASSERT_TRUE(listener.waitForBytes(before + 500 * 1000, kGenerousTimeout)) << server.errors();
	EXPECT_TRUE(waitUntil([&] { return stats(server)["srt"]["reconnects"] == 1; }, kGenerousTimeout))
		<< stats(server).dump(2);
	ASSERT_TRUE(server.stopStream(answer)) << answer;
	std::printf("[ measure  ] listener frozen: given up after %.2f s (latency 120 ms)\n", noticed);
}

TEST(SrtLinkEndToEnd, AListenerThatComesLateGetsTheStream)
{
	ServerSession server({ "--test-inputs=2:320x180p25" });
	const int port = freeUdpPort();
	std::string answer;
	ASSERT_TRUE(server.startStream(reconnectingRequest("127.0.0.1:" + std::to_string(port)), answer)) << answer;
	// Nobody listens: the run goes on and tries again (the first call was
	// attempt 1).
	ASSERT_TRUE(waitForOccurrences(server, "[CompositeOutput] SRT connection attempt 2 to ", 1)) << server.errors();
	EXPECT_EQ(stats(server)["state"], "live");
	const nlohmann::json waiting = stats(server)["srt"];
	EXPECT_EQ(waiting["state"], "connecting") << waiting.dump();
	EXPECT_TRUE(waiting["rttMs"].is_null()) << waiting.dump();
	EXPECT_TRUE(waiting["latencyMs"].is_null()) << waiting.dump();

	SrtListener listener(port, { .latencyMilliseconds = 20, .passphrase = "" });
	ASSERT_TRUE(listener.waitForBytes(100 * 188, kGenerousTimeout)) << server.errors();
	// The stream starts with its tables (the SDT or the PAT), not with the
	// middle of a packet the muxer had begun before.
	const std::string received = listener.received();
	ASSERT_GE(received.size(), 188u);
	EXPECT_EQ(received[0], 0x47);
	const int pid = (static_cast<uint8_t>(received[1]) & 0x1f) << 8 | static_cast<uint8_t>(received[2]);
	EXPECT_TRUE(pid == 0x00 || pid == 0x11) << pid;
	ASSERT_TRUE(server.stopStream(answer)) << answer;
	EXPECT_TRUE(listener.waitForDisconnect(kGenerousTimeout));
}

TEST(SrtLinkEndToEnd, ThirtyOutagesLeaveNothingBehind)
{
	ServerSession server({ "--test-inputs=2:320x180p25" });
	SrtRecorder listener;
	std::string answer;
	ASSERT_TRUE(server.startStream(reconnectingRequest(listener.hostPort()), answer)) << answer;
	ASSERT_TRUE(listener.waitForBytes(100 * 188, kGenerousTimeout)) << server.errors();
	ASSERT_FALSE(server.workerPid().empty());
	const int pid = std::stoi(server.workerPid());

	// A listener that ends in order and is back at once: the next send
	// fails, and the link is up again a moment later.
	const ProcessFigures before = processFigures(pid);
	ProcessFigures tenth;
	ProcessFigures twentieth;
	for (std::size_t outage = 1; outage <= 30; ++outage) {
		SCOPED_TRACE("outage " + std::to_string(outage));
		listener.stop();
		listener.restart();
		ASSERT_TRUE(waitForOccurrences(server, "[CompositeOutput] SRT connection restored after ", outage))
			<< server.errors();
		ASSERT_TRUE(listener.waitForBytes(100 * 188, kGenerousTimeout)) << server.errors();
		if (outage == 10)
			tenth = processFigures(pid);
		if (outage == 20)
			twentieth = processFigures(pid);
	}
	/*
	 * libsrt closes a connection's socket and ends its threads in its
	 * collector, once a second for what was closed more than a second
	 * before (srt_close only hands a socket to it): then the worker holds
	 * what it held before, whatever the number of outages.
	 */
	ProcessFigures after;
	EXPECT_TRUE(waitUntil(
		[&] {
			after = processFigures(pid);
			return after.threads <= before.threads && after.descriptors <= before.descriptors;
		},
		kGenerousTimeout));
	/*
	 * Allocators keep what they took over the first outages, and a loaded
	 * machine has the output use more of its picture pool now and then,
	 * which grows the memory once: what grows with every outage grows over
	 * each of the last two tens.
	 */
	if (residentMemoryIsTheProgramsOwn) {
		EXPECT_LT(std::min(twentieth.residentKiB - tenth.residentKiB, after.residentKiB - twentieth.residentKiB), 1024);
	}
	EXPECT_TRUE(waitUntil([&] { return stats(server)["srt"]["reconnects"] == 30; }, kGenerousTimeout))
		<< stats(server).dump(2);
	ASSERT_TRUE(server.stopStream(answer)) << answer;
	std::printf("[ measure  ] before and after 30 outages: %d / %d threads, %d / %d descriptors but files; "
		    "%ld KiB resident before, %ld after 10, %ld after 20, %ld after 30\n",
		    before.threads, after.threads, before.descriptors, after.descriptors, before.residentKiB,
		    tenth.residentKiB, twentieth.residentKiB, after.residentKiB);
}

namespace {

bool processEnded(pid_t pid)
{
	siginfo_t information{};
	if (waitid(P_PID, static_cast<id_t>(pid), &information, WEXITED | WNOHANG) == 0 && information.si_pid == pid)
		return true;
	std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
	std::string text;
	if (!std::getline(stat, text))
		return true;
	const std::size_t nameEnd = text.rfind(')');
	return nameEnd != std::string::npos && text.size() > nameEnd + 2 && text[nameEnd + 2] == 'Z';
}

// A UDP port on loopback that takes the caller's handshakes and never
// answers: the caller is in its connection attempt once one arrives.
class SilentPeer
{
public:
	SilentPeer() : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
	{
		sockaddr_in address{};
		address.sin_family = AF_INET;
		address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		socklen_t length = sizeof(address);
		if (socket_ < 0 || ::bind(socket_, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0 ||
		    getsockname(socket_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
			throw std::runtime_error(std::string("silent peer: ") + std::strerror(errno));
		port_ = ntohs(address.sin_port);
	}
	~SilentPeer() { ::close(socket_); }
	SilentPeer(const SilentPeer &) = delete;
	SilentPeer &operator=(const SilentPeer &) = delete;

	std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
	// Handshakes of an attempt before are not this one's.
	void forgetHandshakes() const
	{
		char packet[1500];
		while (::recv(socket_, packet, sizeof(packet), MSG_DONTWAIT) > 0) {
		}
	}
	bool waitForHandshake(std::chrono::milliseconds timeout) const
	{
		pollfd readable{ socket_, POLLIN, 0 };
		if (::poll(&readable, 1, static_cast<int>(timeout.count())) != 1)
			return false;
		char packet[1500];
		return ::recv(socket_, packet, sizeof(packet), 0) > 0;
	}

private:
	int socket_;
	int port_ = 0;
};

} // namespace

// A server that dies without a word: its worker stops in order, so the
// receiver is told at once that the stream ended, not only when SRT gives up
// on a silent peer (5 s).
TEST(SrtLinkEndToEnd, AKilledServerEndsTheLinkInOrder)
{
	// The orphaned worker comes to this process, which sees its end.
	ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0) << std::strerror(errno);
	const int port = freeUdpPort();
	SrtListener listener(port, { .latencyMilliseconds = 20, .passphrase = "" });
	ServerSession server({ "--test-inputs=2:320x180p25" });
	std::string answer;
	ASSERT_TRUE(server.startStream(startRequest("127.0.0.1:" + std::to_string(port), { { 1, 1 }, { 2, 2 } }), answer))
		<< answer;
	ASSERT_TRUE(listener.waitForBytes(100 * 188, kGenerousTimeout)) << server.errors();
	ASSERT_FALSE(server.workerPid().empty());
	const pid_t worker = std::stoi(server.workerPid());

	const auto killed = std::chrono::steady_clock::now();
	server.process().signal(SIGKILL);
	// An orderly close takes well under a second; 3 s leaves room for a
	// loaded machine and still fails SRT's 5 s timeout for a silent peer.
	const bool told = listener.waitForDisconnect(3s);
	const double seconds = secondsSince(killed);
	EXPECT_TRUE(told) << "the receiver was not told within 3 s\n" << server.errors();
	std::cout << "[ measured ] server killed to receiver told: " << seconds << " s" << std::endl;
	EXPECT_TRUE(waitUntil([&] { return processEnded(worker); }, kGenerousTimeout));
	if (!processEnded(worker))
		::kill(worker, SIGKILL);
	EXPECT_TRUE(waitUntil([&] { return occurrences(server.output(), "[Worker] Stopped on request\n") == 1; },
			      kGenerousTimeout))
		<< server.output();
}

// A stop while the first connection attempt runs gives the attempt up: the
// worker ends by itself at once, not by force after the supervisor's grace,
// and a start right after it is taken.
TEST(SrtLinkEndToEnd, AStopWhileConnectingEndsTheWorkerAtOnce)
{
	ServerSession server({ "--test-inputs=2:320x180p25" });
	SilentPeer peer;
	std::string answer;
	for (std::size_t run = 1; run <= 2; ++run) {
		SCOPED_TRACE("run " + std::to_string(run));
		peer.forgetHandshakes();
		ASSERT_TRUE(server.startStream(startRequest(peer.hostPort(), { { 1, 1 }, { 2, 2 } }), answer)) << answer;
		ASSERT_TRUE(peer.waitForHandshake(kGenerousTimeout)) << server.errors();
		const auto asked = std::chrono::steady_clock::now();
		ASSERT_TRUE(server.stopStream(answer)) << answer;
		std::cout << "[ measured ] stop while connecting: " << secondsSince(asked) << " s" << std::endl;
		// The worker's own last line: one ended by force has none.
		EXPECT_TRUE(waitUntil([&] { return occurrences(server.output(), "[Worker] Stopped on request\n") == run; },
				      kGenerousTimeout))
			<< server.output();
		EXPECT_TRUE(server.waitForRunning(false, kGenerousTimeout));
	}
	EXPECT_EQ(server.errors().find("SRT connection to "), std::string::npos) << server.errors();
}
