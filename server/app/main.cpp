#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "api/ApiServer.h"
#include "app/AccessCommands.h"
#include "app/EncoderProbe.h"
#include "app/ServerOptions.h"
#include "app/UpdateNotice.h"
#include "app/platform/ServiceHost.h"
#include "common/ConsoleLine.h"
#include "common/platform/ShutdownSignals.h"
#include "config/ConfigManager.h"
#include "config/ProductInfo.h"
#include "config/ServerSettings.h"
#include "config/TestInputs.h"
#include "supervision/WorkerSupervisor.h"

namespace {

constexpr const char *listenHost = "0.0.0.0";
constexpr int listenPort = 3000;

// The one ApiServer, reachable from the shutdown handler. main destroys it
// after a normal stop; otherwise it goes with the other static objects, after
// the shutdown handler (declared below it) has been torn down.
std::mutex activeServerMutex;
std::unique_ptr<tiloran::ApiServer> activeServer;
std::unique_ptr<tiloran::platform::ShutdownSignals> shutdownSignals;

void stopActiveServer()
{
	std::lock_guard lock(activeServerMutex);
	if (activeServer)
		activeServer->stop();
}

void onSignal(int signal)
{
	tiloran::printLine("\n[Server] Received signal " + std::to_string(signal) + ", shutting down...");
	stopActiveServer();
}

bool requested(int argc, char *argv[], std::string_view option, std::string_view alias = {})
{
	for (int index = 1; index < argc; ++index) {
		std::string_view argument = argv[index];
		if (argument == option || (!alias.empty() && argument == alias))
			return true;
	}
	return false;
}

int serve(int argc, char *argv[])
{
	try {
		bool portable = requested(argc, argv, "portable", "--portable");

		std::string message;
		tiloran::ServerOptions options;
		if (!tiloran::parseServerOptions(argc, argv, options, message)) {
			tiloran::printErrorLine("[Error] Fatal error: " + message);
			return 1;
		}
		// Beside the worker configuration file, in either mode.
		const std::filesystem::path settingsPath =
			tiloran::serverSettingsPath(tiloran::resolveWorkerConfigPath(portable));
		if (!options.addUser.empty())
			return tiloran::addUser(settingsPath, options.addUser, options.role);
		if (!options.addToken.empty())
			return tiloran::addToken(settingsPath, options.addToken, options.role);

		tiloran::startUpdateNotice();

		tiloran::TestInputs testInputs;
		if (!tiloran::parseTestInputsArguments(argc, argv, testInputs, message)) {
			tiloran::printErrorLine("[Error] Fatal error: " + message);
			return 1;
		}
		tiloran::ServerSettings serverSettings;
		if (!tiloran::loadServerSettings(settingsPath, serverSettings, message)) {
			tiloran::printErrorLine("[Error] Fatal error: " + message);
			return 1;
		}

		tiloran::printLine("========================================");
		tiloran::printLine(std::string("  ") + tiloran::productTitle);
		tiloran::printLine(std::string("  Server v") + tiloran::productVersion + " - HTTP API");
		tiloran::printLine(std::string("  Config mode: ") + (portable ? "portable" : "user"));
		tiloran::printLine("========================================");

		std::shared_ptr<const tiloran::platform::TlsContext> tls;
		const bool tlsOnCommandLine = !options.tlsCertificate.empty();
		const std::string certificate = tlsOnCommandLine ? options.tlsCertificate : serverSettings.tlsCertificate;
		const std::string key = tlsOnCommandLine ? options.tlsKey : serverSettings.tlsKey;
		if (!certificate.empty()) {
			tls = tiloran::platform::TlsContext::load(certificate, key, message);
			if (!tls) {
				tiloran::printErrorLine("[Error] Fatal error: " + message);
				return 1;
			}
			tiloran::printLine("[Server] HTTPS with the certificate " + certificate);
		}

		auto config = std::make_shared<tiloran::ConfigManager>(portable, testInputs);
		auto supervisor = std::make_shared<tiloran::WorkerSupervisor>();

		{
			std::lock_guard lock(activeServerMutex);
			tiloran::ApiServer::Settings settings;
			settings.origins.allowedHosts = serverSettings.allowedHosts;
			settings.origins.allowedHosts.insert(settings.origins.allowedHosts.end(), options.allowedHosts.begin(),
							     options.allowedHosts.end());
			settings.origins.allowedOrigins = serverSettings.allowedOrigins;
			settings.origins.allowedOrigins.insert(settings.origins.allowedOrigins.end(),
							       options.allowedOrigins.begin(), options.allowedOrigins.end());
			// The file decides; where it does not, the command line; a run
			// from the source tree has access off.
			settings.access.enabled = serverSettings.access.value_or(options.accessDefault.value_or(false));
			settings.access.users = std::move(serverSettings.users);
			settings.access.tokens = std::move(serverSettings.tokens);
			settings.settingsPath = settingsPath.string();
			settings.tls = tls;
			activeServer = std::make_unique<tiloran::ApiServer>(config, supervisor, std::move(settings));
		}

		std::unique_ptr<tiloran::EncoderProbe> encoderProbe;
		const bool served = activeServer->run(listenHost, listenPort, [&] {
			encoderProbe = std::make_unique<tiloran::EncoderProbe>(supervisor, config);
		});
		encoderProbe.reset();
		if (served)
			tiloran::printLine("[Server] Shutdown complete.");
		else
			tiloran::printErrorLine("[Server] Failed to listen on " + std::string(listenHost) + ":" +
						std::to_string(listenPort));
		// Torn down here rather than among the static objects: it stops the
		// worker and joins threads that end only now, which Windows does not
		// let finish once the process has begun to exit.
		std::lock_guard lock(activeServerMutex);
		activeServer.reset();
		return served ? 0 : 1;
	} catch (const std::exception &error) {
		tiloran::printErrorLine(std::string("[Error] Fatal error: ") + error.what());
		return 1;
	}
}

} // namespace

int main(int argc, char *argv[])
{
	shutdownSignals = std::make_unique<tiloran::platform::ShutdownSignals>(onSignal);
	if (!requested(argc, argv, "--service"))
		return serve(argc, argv);

	// Under the service manager, which asks for the stop instead of a signal.
	int exitCode = 1;
	std::string message;
	const bool served = tiloran::platform::runAsService(
		[&] { return serve(argc, argv); },
		[] {
			tiloran::printLine("[Server] The service manager asked to stop, shutting down...");
			stopActiveServer();
		},
		exitCode, message);
	if (!served) {
		tiloran::printErrorLine("[Error] Fatal error: " + message);
		return 1;
	}
	return exitCode;
}
