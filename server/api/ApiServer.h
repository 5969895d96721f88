#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <httplib.h>

#include "access/AccessAdministration.h"
#include "access/AccessControl.h"
#include "access/LoginThrottle.h"
#include "access/SessionStore.h"
#include "common/protocol/EventCode.h"
#include "http/GuardedHttpServer.h"
#include "http/OriginPolicy.h"

namespace tiloran {

class ConfigManager;
class WorkerSupervisor;

// The server's HTTP side: the static-file mount of the control page (the
// directory "WEB" below the working directory at construction, if it exists
// then), the API routes and the preview download, on top of the HTTP
// library's server behind a gate that takes only whole requests within their
// limits. Every failure of an /api/ path is answered with the API's error
// object; an exception that escapes a route is logged and answered 500.
//
// Threading: run() blocks the calling thread (the main thread) in the accept
// loop; the routes run on the server's request threads; stop() may be called
// from any thread, also before run(), which then returns at once. Destruction
// tears down the HTTP server first, then drops the supervisor (which stops a
// running worker), then the configuration.
class ApiServer
{
public:
	struct Settings {
		// Further names and origins that may reach and control the
		// server (see OriginPolicy).
		OriginPolicy::Settings origins;
		// Who may use it; off by default.
		AccessControl::Settings access;
		// Named in the start lines, where access is turned on.
		std::string settingsPath;
		// A login's session ends after this long without a request.
		std::chrono::seconds sessionIdle{ 1800 };
		LoginThrottle::Settings logins;
		// Set: the server speaks only HTTPS on its port, and the worker
		// fetches its document from a plain listener on 127.0.0.1 alone.
		std::shared_ptr<const platform::TlsContext> tls;
	};

	ApiServer(std::shared_ptr<ConfigManager> config, std::shared_ptr<WorkerSupervisor> supervisor,
		  Settings settings);
	ApiServer(std::shared_ptr<ConfigManager> config, std::shared_ptr<WorkerSupervisor> supervisor);
	~ApiServer();

	ApiServer(const ApiServer &) = delete;
	ApiServer &operator=(const ApiServer &) = delete;

	// Serves on host:port until stop(); called once. Returns false at once,
	// after the start lines, when the address cannot be bound. whenListening
	// runs on the calling thread once the address is bound, before the
	// first request is taken.
	bool run(const std::string &host, int port, const std::function<void()> &whenListening = {});
	void stop();

	// The answer to one request given as bytes, as a client at
	// remoteAddress would get it (tests and fuzzing). Any thread.
	std::string answer(std::string_view request, const std::string &remoteAddress);

private:
	void configureStaticFiles();
	void registerRoutes();
	// Answers that no route gives: a path with control characters, a
	// Host not of this server, another site's page changing state, the
	// library's own failures, exceptions.
	void configureFailures();
	// The checks before any route: the path, the Host, the Origin, access.
	httplib::Server::HandlerResponse screen(const httplib::Request &request, httplib::Response &response);
	// The worker's plain listener beside an HTTPS port: its document only.
	void configureWorkerSide();
	// Which sites' pages may read the answers.
	void configureCrossOrigin();
	void handlePreview(httplib::Response &response);
	void handleRecordingDownload(const std::string &name, httplib::Response &response);
	void handleRecordingDelete(const httplib::Request &request, const std::string &name, httplib::Response &response);
	void handleStreamStart(const httplib::Request &request, httplib::Response &response);
	void handleStreamStop(const httplib::Request &request, httplib::Response &response);
	// Who sent a request: a token's owner, or a logged-in user of the page
	// (whose session's CSRF token its state-changing requests repeat).
	struct Caller {
		Identity identity;
		std::optional<std::string> csrfToken;
	};
	std::optional<Caller> caller(const httplib::Request &request);
	// Whether the request may go on to its route; fills the refusal when not.
	bool authorize(const httplib::Request &request, httplib::Response &response);
	// " by NAME" for a request with credentials, where access is on.
	std::string requester(const httplib::Request &request);
	void handleLogin(const httplib::Request &request, httplib::Response &response);
	void handleLogout(const httplib::Request &request, httplib::Response &response);
	void handleSession(const httplib::Request &request, httplib::Response &response);
	// An admin's management of the users and tokens.
	void registerAccessRoutes();
	// The answer to a change; record (with by, " by NAME") goes to the
	// console and the events when it is done.
	void handleAccessChange(httplib::Response &response, AccessAdministration::Outcome outcome,
				const std::string &message, const std::string &by, const std::string &record);
	// The line on the console and the event of an access's step.
	void recordAccess(EventCode code, const std::string &message);
	void printAccessLines() const;
	void handleWorkerConfig(const httplib::Request &request, httplib::Response &response);

	std::shared_ptr<ConfigManager> config_;
	std::shared_ptr<WorkerSupervisor> supervisor_;
	OriginPolicy origins_;
	AccessControl access_;
	std::string settingsPath_;
	SessionStore sessions_;
	AccessAdministration administration_;
	LoginThrottle logins_;
	std::atomic<int> waitingLogins_ = 0;
	// Cookies are marked Secure where the server speaks TLS.
	bool tls_ = false;
	GuardedHttpServer server_;
	int port_ = 0;
	// Under TLS: the worker's listener, served on its own thread from
	// run() until run() returns, and its port.
	std::unique_ptr<GuardedHttpServer> workerSide_;
	std::thread workerSideThread_;
	int workerPort_ = 0;
	// One start request at a time from its check of a running worker to the
	// launch, so that the file is replaced only for a worker that starts.
	std::mutex startMutex_;
	// Orders run()'s binding and the start of its accept loop with stop().
	std::mutex stopMutex_;
	bool stopRequested_ = false;
	bool listening_ = false;
};

} // namespace tiloran
