#include "ApiServer.h"

#include "common/ConsoleLine.h"
#include "platform/ListenSocket.h"

namespace tiloran {

ApiServer::ApiServer(std::shared_ptr<ConfigManager> config, std::shared_ptr<WorkerSupervisor> supervisor)
	: config_(std::move(config)), supervisor_(std::move(supervisor))
{
	platform::setExclusiveListenSocket(server_);
}

ApiServer::~ApiServer() = default;

bool ApiServer::run(const std::string &host, int port)
{
	port_ = port;
	printLine("[Server] Starting HTTP server on " + host + ":" + std::to_string(port));
	printLine("[Server] API endpoints:");
	printLine("  GET  /api/health");
	printLine("  GET  /api/config");
	printLine("  GET  /api/worker/config");
	printLine("  GET  /api/preview");
	printLine("  GET  /api/stream/status");
	printLine("  POST /api/stream/start");
	printLine("  POST /api/stream/stop");

	if (!server_.bind_to_port(host, port))
		return false;
	server_.listen_after_bind();
	return true;
}

void ApiServer::stop()
{
	server_.stop();
}

} // namespace tiloran
