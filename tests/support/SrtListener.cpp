#include "support/SrtListener.h"

#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <srt/srt.h>

namespace tiloran::test {

namespace {

std::runtime_error srtFailure(const std::string &what)
{
	return std::runtime_error("SRT listener: " + what + ": " + srt_getlasterror_str());
}

} // namespace

SrtListener::SrtListener(int port, const Options &options)
{
	srt_startup();
	listeningSocket_ = srt_create_socket();
	if (listeningSocket_ == SRT_INVALID_SOCK)
		throw srtFailure("socket");

	const int latency = options.latencyMilliseconds;
	if (srt_setsockflag(listeningSocket_, SRTO_LATENCY, &latency, sizeof(latency)) != 0)
		throw srtFailure("latency");
	if (!options.passphrase.empty() &&
	    srt_setsockflag(listeningSocket_, SRTO_PASSPHRASE, options.passphrase.data(),
			    static_cast<int>(options.passphrase.size())) != 0)
		throw srtFailure("passphrase");

	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_port = htons(static_cast<uint16_t>(port));
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (srt_bind(listeningSocket_, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0)
		throw srtFailure("bind");
	if (srt_listen(listeningSocket_, 4) != 0)
		throw srtFailure("listen");

	thread_ = std::thread([this] { run(); });
}

SrtListener::~SrtListener()
{
	close();
	srt_cleanup();
}

void SrtListener::close()
{
	int listening;
	int connected;
	{
		std::lock_guard lock(mutex_);
		if (closed_)
			return;
		closed_ = true;
		listening = listeningSocket_;
		connected = connectedSocket_;
	}
	// Closing a socket wakes the thread blocked on it.
	srt_close(listening);
	if (connected != SRT_INVALID_SOCK && connected != -1)
		srt_close(connected);
	if (thread_.joinable())
		thread_.join();
	condition_.notify_all();
}

void SrtListener::run()
{
	for (;;) {
		sockaddr_storage peer{};
		int peerLength = sizeof(peer);
		const SRTSOCKET accepted = srt_accept(listeningSocket_, reinterpret_cast<sockaddr *>(&peer), &peerLength);
		if (accepted == SRT_INVALID_SOCK)
			return;

		char streamId[513] = {};
		int streamIdLength = sizeof(streamId) - 1;
		srt_getsockflag(accepted, SRTO_STREAMID, streamId, &streamIdLength);
		int latency = -1;
		int latencyLength = sizeof(latency);
		srt_getsockflag(accepted, SRTO_RCVLATENCY, &latency, &latencyLength);
		{
			std::lock_guard lock(mutex_);
			if (closed_) {
				srt_close(accepted);
				return;
			}
			connectedSocket_ = accepted;
			connected_ = true;
			++acceptedConnections_;
			streamId_.assign(streamId, static_cast<size_t>(streamIdLength));
			negotiatedLatency_ = latency;
			received_.clear();
			oddMessages_ = 0;
		}
		condition_.notify_all();

		char buffer[1500];
		for (;;) {
			const int length = srt_recvmsg(accepted, buffer, sizeof(buffer));
			if (length <= 0)
				break;
			{
				std::lock_guard lock(mutex_);
				received_.append(buffer, static_cast<size_t>(length));
				if (length % 188 != 0 || length > 7 * 188)
					++oddMessages_;
			}
			condition_.notify_all();
		}

		{
			std::lock_guard lock(mutex_);
			connected_ = false;
			if (closed_)
				return;
			connectedSocket_ = -1;
		}
		srt_close(accepted);
		condition_.notify_all();
	}
}

bool SrtListener::waitForConnection(std::chrono::milliseconds timeout)
{
	std::unique_lock lock(mutex_);
	return condition_.wait_for(lock, timeout, [this] { return acceptedConnections_ > 0; });
}

bool SrtListener::waitForBytes(size_t count, std::chrono::milliseconds timeout)
{
	std::unique_lock lock(mutex_);
	return condition_.wait_for(lock, timeout, [this, count] { return received_.size() >= count; });
}

bool SrtListener::waitForDisconnect(std::chrono::milliseconds timeout)
{
	std::unique_lock lock(mutex_);
	return condition_.wait_for(lock, timeout, [this] { return acceptedConnections_ > 0 && !connected_; });
}

int SrtListener::acceptedConnections() const
{
	std::lock_guard lock(mutex_);
	return acceptedConnections_;
}

std::string SrtListener::streamId() const
{
	std::lock_guard lock(mutex_);
	return streamId_;
}

int SrtListener::negotiatedLatencyMilliseconds() const
{
	std::lock_guard lock(mutex_);
	return negotiatedLatency_;
}

std::string SrtListener::received() const
{
	std::lock_guard lock(mutex_);
	return received_;
}

int SrtListener::oddMessages() const
{
	std::lock_guard lock(mutex_);
	return oddMessages_;
}

} // namespace tiloran::test
