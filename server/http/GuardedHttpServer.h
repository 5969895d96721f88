#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include <httplib.h>

#include "http/RequestGate.h"

namespace tiloran {

// The HTTP library's server with a gate in front of its request processing:
// the library still accepts connections and still parses, routes and answers
// each request, but only once the request has arrived whole within its time
// and its limits (see RequestGate). So no client can hold one of the threads
// that answer by sending slowly or not at all, and an oversized request is
// refused before it is read.
//
// Threading: bind() and then serve() on the serving thread; serve() blocks
// until the library's stop() is called from any thread. The library's
// accepting threads only hand each new connection to the gate; whole requests
// are answered on the server's own pool of request threads. Route handlers
// therefore run on those threads. The destructor closes the gate and waits for
// the requests in progress.
class GuardedHttpServer : public httplib::Server
{
public:
	struct Settings {
		RequestGate::Settings gate;
		std::size_t requestThreads = 8;
		// From a whole request to the last byte of its answer.
		std::chrono::milliseconds answerTime{ 10000 };
	};
	// Fills the answer to a request refused before it arrived whole; the
	// status is set already.
	using RefusalHandler = std::function<void(const std::string &message, httplib::Response &response)>;

	GuardedHttpServer();
	explicit GuardedHttpServer(const Settings &settings);
	~GuardedHttpServer() override;

	GuardedHttpServer(const GuardedHttpServer &) = delete;
	GuardedHttpServer &operator=(const GuardedHttpServer &) = delete;

	// Before serving.
	void setRefusalHandler(RefusalHandler handler);

	bool bind(const std::string &host, int port);
	// On a port the system picks: that port, or -1.
	int bindAnyPort(const std::string &host);
	// Runs the accept loop until stop(), then closes the connections that
	// wait and lets the requests in progress finish. Once only.
	void serve();

	// The whole answer to a request given as bytes, as a connection from
	// remoteAddress that sent them and then stayed silent would get it;
	// nothing goes over the network. Any thread.
	std::string answer(std::string_view bytes, const std::string &remoteAddress);

private:
	bool process_and_close_socket(socket_t socket) override;
	void answerWholeRequest(WholeRequest request);
	std::string refusalAnswer(int status, const std::string &message) const;
	void finish();

	const Settings settings_;
	RefusalHandler refusalHandler_;
	RequestGate gate_;
	httplib::ThreadPool requestThreads_;
	std::mutex finishMutex_;
	bool finished_ = false;
};

} // namespace tiloran
