#include "http/platform/TlsSession.h"

namespace tiloran::platform {

// This build has no TLS library: no context loads, so no session is made.

struct TlsContext::Handle {
};

struct TlsSession::Handle {
};

TlsContext::TlsContext(std::unique_ptr<Handle> handle) : handle_(std::move(handle))
{
}

TlsContext::~TlsContext() = default;

std::shared_ptr<const TlsContext> TlsContext::load(const std::string &, const std::string &, std::string &message)
{
	message = "This build of the server has no TLS: serve it behind a TLS proxy instead";
	return nullptr;
}

TlsSession::TlsSession(const TlsContext &, socket_t socket) : socket_(socket)
{
}

TlsSession::~TlsSession() = default;

TlsSession::Step TlsSession::handshake()
{
	return Step::Failed;
}

TlsSession::ReceiveStatus TlsSession::receive(std::string &, std::size_t)
{
	return ReceiveStatus::Failed;
}

bool TlsSession::hasBufferedBytes() const
{
	return false;
}

bool TlsSession::sendAll(std::string_view, std::chrono::steady_clock::time_point)
{
	return false;
}

void TlsSession::shutdown()
{
}

} // namespace tiloran::platform
