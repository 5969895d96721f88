#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace tiloran::test {

// A real SRT listener on the loopback interface, in the test process, built on
// the same SRT library as FFmpeg's srt protocol. It accepts callers one after
// the other, keeps what the current one sends, and reports what SRT negotiated
// with it (the stream id it asked for and the receiver latency).
//
// Threading: the test thread calls everything; one accept-and-read thread
// runs inside. close() (or the destructor) closes every socket, which ends
// the thread, and joins it.
class SrtListener
{
public:
	struct Options {
		// The listener's own latency; SRT settles on the larger of both sides'.
		int latencyMilliseconds = 20;
		// Empty: no encryption. SRT wants 10 to 79 characters.
		std::string passphrase;
	};

	// Listens on 127.0.0.1:port; throws std::runtime_error when it cannot.
	SrtListener(int port, const Options &options);
	~SrtListener();

	SrtListener(const SrtListener &) = delete;
	SrtListener &operator=(const SrtListener &) = delete;

	// The listener goes away: every socket closed, the caller left alone.
	void close();

	bool waitForConnection(std::chrono::milliseconds timeout);
	bool waitForBytes(size_t count, std::chrono::milliseconds timeout);
	// Until the current caller has disconnected.
	bool waitForDisconnect(std::chrono::milliseconds timeout);

	int acceptedConnections() const;
	// Of the last accepted caller.
	std::string streamId() const;
	int negotiatedLatencyMilliseconds() const;
	std::string received() const;
	// Messages of the current caller that were not whole TS packets of up
	// to 1316 bytes in all, the seven that fit one SRT packet.
	int oddMessages() const;

private:
	void run();

	int listeningSocket_ = -1;
	int connectedSocket_ = -1;
	bool connected_ = false;
	bool closed_ = false;
	int acceptedConnections_ = 0;
	std::string streamId_;
	int negotiatedLatency_ = -1;
	std::string received_;
	int oddMessages_ = 0;
	mutable std::mutex mutex_;
	std::condition_variable condition_;
	std::thread thread_;
};

} // namespace tiloran::test
