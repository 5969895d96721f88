#include "http/platform/TlsSession.h"

#include <algorithm>
#include <csignal>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>

namespace tiloran::platform {

namespace {

struct ContextFree {
	void operator()(SSL_CTX *context) const { SSL_CTX_free(context); }
};
struct SessionFree {
	void operator()(SSL *session) const { SSL_free(session); }
};

std::string lastTlsError()
{
	const unsigned long code = ERR_get_error();
	ERR_clear_error();
	if (code == 0)
		return "unknown error";
	char text[256];
	ERR_error_string_n(code, text, sizeof(text));
	return text;
}

// Waits for the socket to become readable or writable until the deadline.
bool waitFor(socket_t socket, short events, std::chrono::steady_clock::time_point deadline)
{
	for (;;) {
		const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
		pollfd item{ socket, events, 0 };
		const int result =
			poll(&item, 1, static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 60'000)));
		if (result < 0 && errno == EINTR)
			continue;
		return result > 0 && (item.revents & (POLLERR | POLLNVAL)) == 0;
	}
}

} // namespace

struct TlsContext::Handle {
	std::unique_ptr<SSL_CTX, ContextFree> context;
};

struct TlsSession::Handle {
	std::unique_ptr<SSL, SessionFree> session;
};

TlsContext::TlsContext(std::unique_ptr<Handle> handle) : handle_(std::move(handle))
{
}

TlsContext::~TlsContext() = default;

std::shared_ptr<const TlsContext> TlsContext::load(const std::string &certificatePath, const std::string &keyPath,
						   std::string &message)
{
	ERR_clear_error();
	std::unique_ptr<SSL_CTX, ContextFree> context(SSL_CTX_new(TLS_server_method()));
	if (!context) {
		message = "Cannot set up TLS: " + lastTlsError();
		return nullptr;
	}
	SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
	SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
	if (SSL_CTX_use_certificate_chain_file(context.get(), certificatePath.c_str()) != 1) {
		message = "Cannot read the TLS certificate " + certificatePath + ": " + lastTlsError();
		return nullptr;
	}
	if (SSL_CTX_use_PrivateKey_file(context.get(), keyPath.c_str(), SSL_FILETYPE_PEM) != 1) {
		message = "Cannot read the TLS key " + keyPath + ": " + lastTlsError();
		return nullptr;
	}
	if (SSL_CTX_check_private_key(context.get()) != 1) {
		message = "The TLS key " + keyPath + " does not belong to the certificate " + certificatePath;
		return nullptr;
	}
	// The library writes to the socket with write(), which raises SIGPIPE
	// when the peer has gone; the error is handled where it is returned.
	std::signal(SIGPIPE, SIG_IGN);
	return std::shared_ptr<const TlsContext>(new TlsContext(std::make_unique<Handle>(Handle{ std::move(context) })));
}

TlsSession::TlsSession(const TlsContext &context, socket_t socket)
	: handle_(std::make_unique<Handle>(Handle{ std::unique_ptr<SSL, SessionFree>(SSL_new(context.handle_->context.get())) })),
	  socket_(socket)
{
	if (handle_->session)
		SSL_set_fd(handle_->session.get(), socket);
}

TlsSession::~TlsSession() = default;

TlsSession::Step TlsSession::handshake()
{
	if (handshaken_)
		return Step::Done;
	if (!handle_->session)
		return Step::Failed;
	ERR_clear_error();
	const int result = SSL_accept(handle_->session.get());
	if (result == 1) {
		handshaken_ = true;
		return Step::Done;
	}
	const int error = SSL_get_error(handle_->session.get(), result);
	ERR_clear_error();
	return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? Step::Pending : Step::Failed;
}

TlsSession::ReceiveStatus TlsSession::receive(std::string &bytes, std::size_t maxBytes)
{
	char buffer[16384];
	std::size_t received = 0;
	while (received < maxBytes) {
		ERR_clear_error();
		const int count = SSL_read(handle_->session.get(), buffer,
					   static_cast<int>(std::min(sizeof(buffer), maxBytes - received)));
		if (count > 0) {
			bytes.append(buffer, static_cast<std::size_t>(count));
			received += static_cast<std::size_t>(count);
			continue;
		}
		const int error = SSL_get_error(handle_->session.get(), count);
		ERR_clear_error();
		if (received > 0)
			return ReceiveStatus::Received;
		if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
			return ReceiveStatus::NothingYet;
		return error == SSL_ERROR_ZERO_RETURN ? ReceiveStatus::Closed : ReceiveStatus::Failed;
	}
	return ReceiveStatus::Received;
}

bool TlsSession::hasBufferedBytes() const
{
	return handshaken_ && SSL_pending(handle_->session.get()) > 0;
}

bool TlsSession::sendAll(std::string_view bytes, std::chrono::steady_clock::time_point deadline)
{
	while (!bytes.empty()) {
		ERR_clear_error();
		const int count = SSL_write(handle_->session.get(), bytes.data(),
					    static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20)));
		if (count > 0) {
			bytes.remove_prefix(static_cast<std::size_t>(count));
			continue;
		}
		const int error = SSL_get_error(handle_->session.get(), count);
		ERR_clear_error();
		if (error == SSL_ERROR_WANT_WRITE && waitFor(socket_, POLLOUT, deadline))
			continue;
		if (error == SSL_ERROR_WANT_READ && waitFor(socket_, POLLIN, deadline))
			continue;
		return false;
	}
	return true;
}

void TlsSession::shutdown()
{
	if (shutDown_ || !handshaken_)
		return;
	shutDown_ = true;
	// One try: the alert is small; the peer need not answer it.
	ERR_clear_error();
	SSL_shutdown(handle_->session.get());
	ERR_clear_error();
}

} // namespace tiloran::platform
