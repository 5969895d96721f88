#include "http/GuardedHttpServer.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "http/platform/ConnectionSocket.h"

namespace tiloran {

namespace {

using Clock = std::chrono::steady_clock;

// One whole request for the library to read, and where its answer goes: the
// connection's socket, or a text.
class RequestStream final : public httplib::Stream
{
public:
	RequestStream(std::string_view request, platform::ConnectionSocket &socket, Clock::time_point deadline)
		: request_(request), socket_(&socket), deadline_(deadline)
	{
	}

	RequestStream(std::string_view request, std::string &answer, std::string remoteAddress)
		: request_(request), answer_(&answer), remoteAddress_(std::move(remoteAddress))
	{
	}

	bool is_readable() const override { return position_ < request_.size(); }
	bool is_writable() const override { return socket_ == nullptr || socket_->waitWritable(deadline_); }

	ssize_t read(char *bytes, size_t size) override
	{
		// The request ends here: a POST without Content-Length (curl -X
		// POST) has no body, as HTTP/1.1 says, rather than one that never
		// comes.
		if (position_ >= request_.size())
			return 0;
		const std::size_t count = std::min(size, request_.size() - position_);
		std::memcpy(bytes, request_.data() + position_, count);
		position_ += count;
		return static_cast<ssize_t>(count);
	}

	ssize_t write(const char *bytes, size_t size) override
	{
		if (socket_ == nullptr) {
			answer_->append(bytes, size);
			return static_cast<ssize_t>(size);
		}
		return socket_->sendAll(std::string_view(bytes, size), deadline_) ? static_cast<ssize_t>(size) : -1;
	}

	void get_remote_ip_and_port(std::string &address, int &port) const override
	{
		if (socket_ != nullptr) {
			socket_->peerAddress(address, port);
			return;
		}
		address = remoteAddress_;
		port = 0;
	}

	void get_local_ip_and_port(std::string &address, int &port) const override
	{
		if (socket_ != nullptr) {
			socket_->localAddress(address, port);
			return;
		}
		address.clear();
		port = 0;
	}

	socket_t socket() const override { return socket_ != nullptr ? socket_->handle() : INVALID_SOCKET; }

private:
	std::string_view request_;
	std::size_t position_ = 0;
	platform::ConnectionSocket *socket_ = nullptr;
	Clock::time_point deadline_;
	std::string *answer_ = nullptr;
	std::string remoteAddress_;
};

const char *reasonPhrase(int status)
{
	switch (status) {
	case 408:
		return "Request Timeout";
	case 413:
		return "Payload Too Large";
	case 431:
		return "Request Header Fields Too Large";
	default:
		return "Bad Request";
	}
}

} // namespace

GuardedHttpServer::GuardedHttpServer() : GuardedHttpServer(Settings{})
{
}

GuardedHttpServer::GuardedHttpServer(const Settings &settings)
	: settings_(settings),
	  gate_(
		  settings.gate,
		  [this](WholeRequest request) {
			  requestThreads_.enqueue([this, shared = std::make_shared<WholeRequest>(std::move(request))] {
				  answerWholeRequest(std::move(*shared));
			  });
		  },
		  [this](int status, const std::string &message) { return refusalAnswer(status, message); }),
	  requestThreads_(settings.requestThreads)
{
	// The gate refuses larger bodies before they are read; the library's
	// own limit only backs it up.
	set_payload_max_length(settings.gate.limits.maxBodyBytes);
}

GuardedHttpServer::~GuardedHttpServer()
{
	finish();
}

void GuardedHttpServer::setRefusalHandler(RefusalHandler handler)
{
	refusalHandler_ = std::move(handler);
}

bool GuardedHttpServer::bind(const std::string &host, int port)
{
	if (!bind_to_port(host, port))
		return false;
	platform::widenListenBacklog(svr_sock_);
	return true;
}

int GuardedHttpServer::bindAnyPort(const std::string &host)
{
	const int port = bind_to_any_port(host);
	if (port < 0)
		return -1;
	platform::widenListenBacklog(svr_sock_);
	return port;
}

void GuardedHttpServer::serve()
{
	listen_after_bind();
	finish();
}

void GuardedHttpServer::finish()
{
	std::lock_guard lock(finishMutex_);
	if (finished_)
		return;
	finished_ = true;
	gate_.close();
	requestThreads_.shutdown();
}

bool GuardedHttpServer::process_and_close_socket(socket_t socket)
{
	gate_.admit(socket);
	return true;
}

void GuardedHttpServer::answerWholeRequest(WholeRequest request)
{
	GatedConnection &connection = request.connection;
	RequestStream stream(std::string_view(connection.bytes).substr(0, request.length), connection.socket,
			     Clock::now() + settings_.answerTime);
	const bool lastRequest = connection.answered + 1 >= keep_alive_max_count_;
	bool connectionClosed = false;
	const bool answered = process_request(stream, lastRequest, connectionClosed, nullptr);
	if (!answered || connectionClosed || lastRequest) {
		connection.socket.shutdownSending();
		return;
	}
	connection.bytes.erase(0, request.length);
	++connection.answered;
	gate_.resume(std::move(connection));
}

std::string GuardedHttpServer::answer(std::string_view bytes, const std::string &remoteAddress)
{
	const RequestFraming framing = frameRequest(bytes, settings_.gate.limits);
	if (framing.status != FramingStatus::Complete) {
		const int status = framing.status == FramingStatus::Incomplete ? 408
										: RequestGate::refusalStatus(framing.status);
		return refusalAnswer(status, gate_.refusalMessage(status));
	}

	const WholeRequest request = RequestGate::wholeRequest(GatedConnection{ {}, std::string(bytes), 0 }, framing);
	std::string answerText;
	RequestStream stream(std::string_view(request.connection.bytes).substr(0, request.length), answerText,
			     remoteAddress);
	bool connectionClosed = false;
	process_request(stream, true, connectionClosed, nullptr);
	return answerText;
}

std::string GuardedHttpServer::refusalAnswer(int status, const std::string &message) const
{
	httplib::Response response;
	response.status = status;
	if (refusalHandler_)
		refusalHandler_(message, response);
	else
		response.set_content(message, "text/plain");

	std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n";
	for (const auto &[name, value] : response.headers)
		text += name + ": " + value + "\r\n";
	text += "Content-Length: " + std::to_string(response.body.size()) + "\r\nConnection: close\r\n\r\n";
	return text + response.body;
}

} // namespace tiloran
