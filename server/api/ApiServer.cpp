#include "api/ApiServer.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include <nlohmann/json.hpp>

#include "access/Credentials.h"
#include "common/ConsoleLine.h"
#include "common/PrintableText.h"
#include "common/Redaction.h"
#include "common/WorkerKey.h"
#include "common/protocol/StartRefusalCode.h"
#include "config/ConfigManager.h"
#include "config/StartRequest.h"
#include "http/platform/ConnectionSocket.h"
#include "http/platform/ListenSocket.h"
#include "http/RequestBodyText.h"
#include "recordings/RecordingFolder.h"
#include "supervision/platform/WorkerProcess.h"
#include "supervision/PrometheusText.h"
#include "supervision/WorkerSupervisor.h"

namespace tiloran {

namespace {

constexpr const char *jsonType = "application/json";
// Deeper documents are refused before they are parsed; a start request needs
// three levels.
constexpr std::size_t maxRequestDepth = 32;

// Set before any work, so that an answer made from an escaping exception
// carries them too; set_content later replaces the content type with the
// same value.
void setCommonHeaders(httplib::Response &response)
{
	response.set_header("Content-Type", jsonType);
	response.set_header("Access-Control-Allow-Origin", "*");
}

// Text that is not UTF-8 (a request's bytes quoted in a parse error, say) is
// sent with U+FFFD in its place rather than failing the answer.
void sendJson(httplib::Response &response, const nlohmann::json &document)
{
	response.set_content(document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace), jsonType);
}

void sendError(httplib::Response &response, int status, const std::string &message)
{
	response.status = status;
	sendJson(response, nlohmann::json{ { "error", message } });
}

// A refused start: the error as ever, with its code and, where it has one,
// the request's member it concerns.
void sendRefusal(httplib::Response &response, int status, const StartRefusal &refusal)
{
	response.status = status;
	nlohmann::json body = { { "error", refusal.message }, { "code", std::string(startRefusalCodeText(refusal.code)) } };
	if (!refusal.field.empty())
		body["field"] = refusal.field;
	sendJson(response, body);
}

StartRefusalCode refusalCodeOf(WorkerSupervisor::StartProblem problem)
{
	switch (problem) {
	case WorkerSupervisor::StartProblem::AlreadyRunning:
		return StartRefusalCode::StreamAlreadyRunning;
	case WorkerSupervisor::StartProblem::ProgramMissing:
		return StartRefusalCode::WorkerMissing;
	case WorkerSupervisor::StartProblem::LaunchFailed:
		break;
	}
	return StartRefusalCode::WorkerStartFailed;
}

bool isApiPath(const std::string &path)
{
	return path == "/api" || path.rfind("/api/", 0) == 0;
}

// Control characters have no place in a path, and a NUL would cut a file's
// name short where the system reads it.
bool hasControlCharacter(const std::string &text)
{
	return std::any_of(text.begin(), text.end(), [](char byte) {
		return static_cast<unsigned char>(byte) < 0x20 || byte == 0x7F;
	});
}

// The error object of an /api/ answer that no route filled.
std::string statusMessage(int status)
{
	switch (status) {
	case 400:
		return "Bad request";
	case 404:
		return "Not found";
	case 413:
		return "Request body is too large";
	case 414:
		return "Request target is too long";
	case 500:
		return "Internal server error";
	default:
		return "Request failed with status " + std::to_string(status);
	}
}

constexpr const char *sessionCookieName = "tiloran_session";
// Logins held back at one time; more are refused at once.
constexpr int maxWaitingLogins = 2;
constexpr const char *csrfHeader = "X-CSRF-Token";

// The value of the session cookie among a request's cookies; empty if none.
std::string sessionCookie(const httplib::Request &request)
{
	const std::string cookies = request.get_header_value("Cookie");
	const std::string prefix = std::string(sessionCookieName) + "=";
	for (std::size_t begin = 0; begin < cookies.size();) {
		std::size_t end = cookies.find(';', begin);
		if (end == std::string::npos)
			end = cookies.size();
		std::string_view cookie(cookies.data() + begin, end - begin);
		while (!cookie.empty() && cookie.front() == ' ')
			cookie.remove_prefix(1);
		if (cookie.substr(0, prefix.size()) == prefix)
			return std::string(cookie.substr(prefix.size()));
		begin = end + 1;
	}
	return {};
}

bool changesState(const std::string &method)
{
	return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

// What a request needs where access is on; nothing for the health check,
// pre-flights (browsers send no credentials with them) and the page's files.
std::optional<Role> requiredRole(const httplib::Request &request)
{
	if (request.method == "OPTIONS" || request.path == "/api/health" || request.path == "/api/session" ||
	    request.path == "/api/login" || request.path == "/api/logout")
		return std::nullopt;
	if (!isApiPath(request.path) && request.path != "/metrics")
		return std::nullopt;
	// The worker's document is the worker's; others see it without secrets.
	if (request.path == "/api/worker/config" || request.path.rfind("/api/access/", 0) == 0)
		return Role::Admin;
	if (changesState(request.method))
		return Role::Operator;
	return Role::Viewer;
}

GuardedHttpServer::Settings httpSettings(std::shared_ptr<const platform::TlsContext> tls)
{
	GuardedHttpServer::Settings settings;
	settings.gate.tls = std::move(tls);
	// Every waiting connection holds a descriptor; the rest of the server
	// (files, the worker's launch, the library) needs some too.
	const std::size_t descriptors = platform::raiseOpenFileLimit();
	settings.gate.maxConnections =
		std::min(settings.gate.maxConnections, descriptors > 256 ? descriptors - 128 : descriptors / 2);
	return settings;
}

} // namespace

ApiServer::ApiServer(std::shared_ptr<ConfigManager> config, std::shared_ptr<WorkerSupervisor> supervisor,
		     Settings settings)
	: config_(std::move(config)), supervisor_(std::move(supervisor)), origins_(std::move(settings.origins)),
	  access_(std::move(settings.access)), settingsPath_(std::move(settings.settingsPath)),
	  sessions_(settings.sessionIdle), administration_(settingsPath_, access_, sessions_), logins_(settings.logins), tls_(settings.tls != nullptr), server_(httpSettings(settings.tls))
{
	platform::setExclusiveListenSocket(server_);
	server_.setRefusalHandler([](const std::string &message, httplib::Response &response) {
		setCommonHeaders(response);
		sendError(response, response.status, message);
	});
	configureStaticFiles();
	registerRoutes();
	configureFailures();
	configureCrossOrigin();
	if (tls_)
		configureWorkerSide();
}

ApiServer::ApiServer(std::shared_ptr<ConfigManager> config, std::shared_ptr<WorkerSupervisor> supervisor)
	: ApiServer(std::move(config), std::move(supervisor), Settings())
{
}

ApiServer::~ApiServer() = default;

bool ApiServer::run(const std::string &host, int port, const std::function<void()> &whenListening)
{
	port_ = port;
	printLine(std::string("[Server] Starting ") + (tls_ ? "HTTPS" : "HTTP") + " server on " + host + ":" +
		  std::to_string(port));
	printLine("[Server] API endpoints:");
	printLine("  GET  /api/health");
	printLine("  GET  /api/session");
	printLine("  POST /api/login");
	printLine("  POST /api/logout");
	printLine("  GET  /api/config");
	printLine("  GET  /api/worker/config");
	printLine("  GET  /api/preview");
	printLine("  GET  /api/recordings");
	printLine("  GET  /api/recordings/<name>");
	printLine("  DELETE /api/recordings/<name>");
	printLine("  GET  /api/stream/status");
	printLine("  GET  /api/stream/stats");
	printLine("  GET  /metrics");
	printLine("  POST /api/stream/start");
	printLine("  POST /api/stream/stop");
	printLine("  GET  /api/access/users");
	printLine("  POST /api/access/users");
	printLine("  DELETE /api/access/users/NAME");
	printLine("  GET  /api/access/tokens");
	printLine("  POST /api/access/tokens");
	printLine("  DELETE /api/access/tokens/NAME");
	printAccessLines();

	{
		std::lock_guard lock(stopMutex_);
		if (stopRequested_)
			return true;
		if (!server_.bind(host, port))
			return false;
		workerPort_ = port;
		if (workerSide_) {
			workerPort_ = workerSide_->bindAnyPort("127.0.0.1");
			if (workerPort_ < 0)
				return false;
			workerSideThread_ = std::thread([this] { workerSide_->serve(); });
			// Its stop() is ignored until its accept loop runs.
			while (!workerSide_->is_running())
				std::this_thread::sleep_for(std::chrono::milliseconds(1));
			printLine("[Server] The worker fetches its configuration over HTTP on 127.0.0.1:" +
				  std::to_string(workerPort_));
		}
		listening_ = true;
	}
	if (whenListening)
		whenListening();
	server_.serve();
	if (workerSide_) {
		workerSide_->stop();
		workerSideThread_.join();
	}
	std::lock_guard lock(stopMutex_);
	listening_ = false;
	return true;
}

void ApiServer::stop()
{
	std::unique_lock lock(stopMutex_);
	stopRequested_ = true;
	// The library ignores a stop until its accept loop has started, just
	// after run() has bound the socket: wait for that loop or for run() to end.
	while (listening_ && !server_.is_running()) {
		lock.unlock();
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
		lock.lock();
	}
	if (listening_)
		server_.stop();
}

std::string ApiServer::answer(std::string_view request, const std::string &remoteAddress)
{
	return server_.answer(request, remoteAddress);
}

void ApiServer::printAccessLines() const
{
	if (!access_.enabled()) {
		const std::string rule(60, '#');
		printLine("[Access] " + rule);
		printLine("[Access] ACCESS CONTROL IS OFF: whoever reaches port " + std::to_string(port_) +
			  " can start and stop the stream.");
		printLine("[Access] Turn it on with \"access\": true in " + printableText(settingsPath_) +
			  " after adding a user (tiloran_server --add-user NAME --role admin).");
		printLine("[Access] " + rule);
		return;
	}
	printLine("[Access] Access control is on: " + std::to_string(access_.userCount()) +
		  (access_.userCount() == 1 ? " user, " : " users, ") + std::to_string(access_.tokenCount()) +
		  (access_.tokenCount() == 1 ? " token" : " tokens"));
	if (access_.userCount() == 0)
		printLine("[Access] No user can log in yet. Create the first one, as the user the server runs as, with: "
			  "tiloran_server --add-user NAME --role admin (it is saved in " +
			  printableText(settingsPath_) + "), then restart the server");
}

std::optional<ApiServer::Caller> ApiServer::caller(const httplib::Request &request)
{
	if (!access_.enabled())
		return std::nullopt;
	if (request.has_header("Authorization")) {
		if (auto identity = access_.tokenIdentity(request.get_header_value("Authorization")))
			return Caller{ std::move(*identity), std::nullopt };
		return std::nullopt;
	}
	if (auto session = sessions_.find(sessionCookie(request)))
		return Caller{ std::move(session->identity), std::move(session->csrfToken) };
	return std::nullopt;
}

bool ApiServer::authorize(const httplib::Request &request, httplib::Response &response)
{
	const std::optional<Role> required = requiredRole(request);
	// Without access control anybody could make themselves an admin for
	// the day it is turned on: the first users come from the terminal.
	if (!access_.enabled() && required && request.path.rfind("/api/access/", 0) == 0) {
		setCommonHeaders(response);
		sendError(response, 403, "Access control is off: users and tokens are added with tiloran_server --add-user "
					 "and --add-token");
		return false;
	}
	if (!access_.enabled() || !required)
		return true;
	if (request.path == "/api/worker/config" &&
	    equalInConstantTime(request.get_header_value(workerKeyHeader), supervisor_->workerKey()))
		return true;
	const std::optional<Caller> found = caller(request);
	setCommonHeaders(response);
	if (!found) {
		response.set_header("WWW-Authenticate", "Bearer realm=\"tiloran\"");
		sendError(response, 401, "Login required");
		return false;
	}
	// A browser sends the cookie with any request to this server; only the
	// page that logged in knows the session's CSRF token.
	if (found->csrfToken && changesState(request.method) &&
	    !equalInConstantTime(request.get_header_value(csrfHeader), *found->csrfToken)) {
		sendError(response, 403, "Missing or wrong CSRF token");
		return false;
	}
	if (!AccessControl::allows(found->identity.role, *required)) {
		sendError(response, 403, "The role " + std::string(roleName(found->identity.role)) + " may not do this");
		return false;
	}
	return true;
}

std::string ApiServer::requester(const httplib::Request &request)
{
	const std::optional<Caller> found = caller(request);
	return found ? " by " + found->identity.name : std::string();
}

void ApiServer::recordAccess(EventCode code, const std::string &message)
{
	printLine("[Access] " + message);
	supervisor_->statistics().eventReceived(code, "info", message);
}

void ApiServer::handleLogin(const httplib::Request &request, httplib::Response &response)
{
	setCommonHeaders(response);
	if (!access_.enabled()) {
		sendError(response, 404, "Access control is off: there is nothing to log in to");
		return;
	}
	const nlohmann::json body = jsonNestsDeeperThan(request.body, maxRequestDepth)
					    ? nlohmann::json()
					    : nlohmann::json::parse(request.body, nullptr, false, false);
	const auto text = [&body](const char *key) {
		const auto found = body.is_object() ? body.find(key) : body.end();
		return found != body.end() && found->is_string() ? found->get<std::string>() : std::string();
	};
	const std::string name = text("name");
	const std::string password = text("password");
	if (name.empty() || password.empty() || name.size() > 64 || password.size() > 1024) {
		sendError(response, 400, "A login needs a name and a password");
		return;
	}
	const std::string shownName = printableText(name);
	const std::string address = printableText(request.remote_addr);
	// Right or wrong, an attempt for a name or from an address that has
	// failed often waits, so that guessing stays slow; a few wait at a
	// time, so that a flood of them does not hold every request thread.
	const std::chrono::milliseconds delay = logins_.delayFor(request.remote_addr, name);
	if (delay.count() > 0) {
		if (waitingLogins_.fetch_add(1) >= maxWaitingLogins) {
			waitingLogins_.fetch_sub(1);
			logins_.failed(request.remote_addr, name);
			recordAccess(EventCode::AccessLoginFailed,
				     "Failed login as " + shownName + " from " + address + ": too many attempts");
			response.set_header("Retry-After", std::to_string((delay.count() + 999) / 1000));
			sendError(response, 429, "Too many login attempts: try again later");
			return;
		}
		std::this_thread::sleep_for(delay);
		waitingLogins_.fetch_sub(1);
	}
	const std::optional<Identity> identity = access_.userIdentity(name, password);
	if (!identity) {
		logins_.failed(request.remote_addr, name);
		recordAccess(EventCode::AccessLoginFailed, "Failed login as " + shownName + " from " + address);
		sendError(response, 401, "Wrong name or password");
		return;
	}
	logins_.succeeded(name);
	const SessionStore::Created session = sessions_.create(*identity);
	recordAccess(EventCode::AccessLogin,
		     "Login of " + shownName + " (" + std::string(roleName(identity->role)) + ") from " + address);
	response.set_header("Set-Cookie", std::string(sessionCookieName) + "=" + session.id +
						  "; Path=/; HttpOnly; SameSite=Strict" + (tls_ ? "; Secure" : ""));
	sendJson(response, { { "access", true },
			     { "user", { { "name", identity->name }, { "role", roleName(identity->role) } } },
			     { "csrfToken", session.csrfToken } });
}

void ApiServer::handleLogout(const httplib::Request &request, httplib::Response &response)
{
	setCommonHeaders(response);
	const std::string id = sessionCookie(request);
	if (const auto session = sessions_.find(id)) {
		if (!equalInConstantTime(request.get_header_value(csrfHeader), session->csrfToken)) {
			sendError(response, 403, "Missing or wrong CSRF token");
			return;
		}
		sessions_.remove(id);
		recordAccess(EventCode::AccessLogout, "Logout of " + printableText(session->identity.name));
	}
	response.set_header("Set-Cookie", std::string(sessionCookieName) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0" +
						  (tls_ ? "; Secure" : ""));
	response.set_content(R"({"status":"logged_out"})", jsonType);
}

void ApiServer::handleSession(const httplib::Request &request, httplib::Response &response)
{
	setCommonHeaders(response);
	nlohmann::json session = { { "access", access_.enabled() }, { "user", nullptr } };
	if (const std::optional<Caller> found = caller(request)) {
		session["user"] = { { "name", found->identity.name }, { "role", roleName(found->identity.role) } };
		if (found->csrfToken)
			session["csrfToken"] = *found->csrfToken;
	}
	sendJson(response, session);
}

void ApiServer::configureStaticFiles()
{
	// Accepted only if "WEB" is a directory now; without it the page is not
	// served for the whole run.
	server_.set_mount_point("/", "WEB");
	server_.set_file_request_handler([](const httplib::Request &, httplib::Response &response) {
		response.set_header("Access-Control-Allow-Origin", "*");
	});
}

httplib::Server::HandlerResponse ApiServer::screen(const httplib::Request &request, httplib::Response &response)
{
	if (hasControlCharacter(request.path)) {
		setCommonHeaders(response);
		sendError(response, 400, "Request path must not contain control characters");
		return httplib::Server::HandlerResponse::Handled;
	}
	// Before the static files too: a rebound name must not read the
	// page either.
	const std::string host = request.get_header_value("Host");
	if (!origins_.isOwnHost(host)) {
		printLine("[API] Refused " + printableText(request.method + " " + request.path) +
			  " for the foreign Host " + printableText(host));
		setCommonHeaders(response);
		sendError(response, 421, "Host is not a name of this server");
		return httplib::Server::HandlerResponse::Handled;
	}
	const std::string origin = request.get_header_value("Origin");
	if (changesState(request.method) &&
	    origins_.judgeOrigin(origin, host, tls_) == OriginPolicy::Origin::Foreign) {
		printLine("[API] Refused " + printableText(request.method + " " + request.path) +
			  " from a page of " + printableText(origin));
		setCommonHeaders(response);
		sendError(response, 403, "Requests from pages of another site are not allowed");
		return httplib::Server::HandlerResponse::Handled;
	}
	return authorize(request, response) ? httplib::Server::HandlerResponse::Unhandled
					    : httplib::Server::HandlerResponse::Handled;
}

void ApiServer::configureWorkerSide()
{
	workerSide_ = std::make_unique<GuardedHttpServer>(httpSettings(nullptr));
	workerSide_->set_pre_routing_handler([this](const httplib::Request &request, httplib::Response &response) {
		return screen(request, response);
	});
	workerSide_->Get("/api/worker/config", [this](const httplib::Request &request, httplib::Response &response) {
		handleWorkerConfig(request, response);
	});
}

void ApiServer::configureFailures()
{
	server_.set_pre_routing_handler([this](const httplib::Request &request, httplib::Response &response) {
		return screen(request, response);
	});

	// The library's own answers (an unknown path, a request it cannot
	// read) have no body; under /api/ they get the API's error object.
	server_.set_error_handler(httplib::Server::HandlerWithResponse(
		[](const httplib::Request &request, httplib::Response &response) {
			if (!response.body.empty() || !isApiPath(request.path))
				return httplib::Server::HandlerResponse::Unhandled;
			if (!response.has_header("Access-Control-Allow-Origin"))
				response.set_header("Access-Control-Allow-Origin", "*");
			sendError(response, response.status, statusMessage(response.status));
			return httplib::Server::HandlerResponse::Handled;
		}));

	// The unexpected: its text is for the console, not for the client.
	server_.set_exception_handler(
		[](const httplib::Request &request, httplib::Response &response, std::exception_ptr exception) {
			std::string what = "an exception of unknown type";
			try {
				std::rethrow_exception(exception);
			} catch (const std::exception &error) {
				what = error.what();
			} catch (...) {
			}
			printLine("[API] " + printableText(request.method + " " + request.path) + " failed: " + printableText(what));
			if (!response.has_header("Access-Control-Allow-Origin"))
				response.set_header("Access-Control-Allow-Origin", "*");
			sendError(response, 500, statusMessage(500));
		});
}

void ApiServer::configureCrossOrigin()
{
	// Every answer is built with "*", which stands for scripts (no Origin)
	// and this server's own page; a page of another site gets no permission
	// to read it, an allowed one its own origin.
	server_.set_post_routing_handler([this](const httplib::Request &request, httplib::Response &response) {
		const std::string origin = request.get_header_value("Origin");
		switch (origins_.judgeOrigin(origin, request.get_header_value("Host"), tls_)) {
		case OriginPolicy::Origin::None:
		case OriginPolicy::Origin::Own:
			break;
		case OriginPolicy::Origin::Allowed:
			// The library adds headers rather than replacing them.
			response.headers.erase("Access-Control-Allow-Origin");
			response.set_header("Access-Control-Allow-Origin", origin);
			response.set_header("Vary", "Origin");
			break;
		case OriginPolicy::Origin::Foreign:
			response.headers.erase("Access-Control-Allow-Origin");
			response.headers.erase("Access-Control-Allow-Methods");
			response.headers.erase("Access-Control-Allow-Headers");
			break;
		}
	});
}

void ApiServer::registerRoutes()
{
	server_.Get("/api/health", [](const httplib::Request &, httplib::Response &response) {
		setCommonHeaders(response);
		response.set_content(R"({"status":"ok","service":"tiloran-server"})", jsonType);
	});

	// Who the page is talking as, and whether it needs to log in at all.
	server_.Get("/api/session", [this](const httplib::Request &request, httplib::Response &response) {
		handleSession(request, response);
	});
	server_.Post("/api/login", [this](const httplib::Request &request, httplib::Response &response) {
		handleLogin(request, response);
	});
	server_.Post("/api/logout", [this](const httplib::Request &request, httplib::Response &response) {
		handleLogout(request, response);
	});

	server_.Get("/api/config", [this](const httplib::Request &, httplib::Response &response) {
		setCommonHeaders(response);
		sendJson(response, config_->getClientConfig());
	});

	server_.Get("/api/stream/status", [this](const httplib::Request &, httplib::Response &response) {
		setCommonHeaders(response);
		sendJson(response, nlohmann::json{ { "running", supervisor_->isRunning() } });
	});

	server_.Get("/api/stream/stats", [this](const httplib::Request &, httplib::Response &response) {
		setCommonHeaders(response);
		sendJson(response, supervisor_->statistics().document(supervisor_->isRunning()));
	});

	server_.Get("/metrics", [this](const httplib::Request &, httplib::Response &response) {
		response.set_header("Access-Control-Allow-Origin", "*");
		response.set_content(supervisor_->statistics().metrics(supervisor_->isRunning()), PrometheusText::contentType);
	});

	server_.Get("/api/preview", [this](const httplib::Request &, httplib::Response &response) {
		handlePreview(response);
	});

	server_.Get("/api/worker/config", [this](const httplib::Request &request, httplib::Response &response) {
		handleWorkerConfig(request, response);
	});

	server_.Get("/api/recordings", [this](const httplib::Request &, httplib::Response &response) {
		setCommonHeaders(response);
		nlohmann::json list = nlohmann::json::array();
		for (const RecordingFolder::Recording &recording : RecordingFolder(config_->recordingsPath()).list())
			list.push_back({ { "name", recording.name },
					 { "sizeBytes", recording.sizeBytes },
					 { "start", recording.start },
					 { "durationSeconds", recording.durationSeconds } });
		sendJson(response, nlohmann::json{ { "recordings", std::move(list) } });
	});
	// Any name, so that one which is not a recording's is refused as such.
	server_.Get("/api/recordings/(.*)", [this](const httplib::Request &request, httplib::Response &response) {
		handleRecordingDownload(request.matches[1], response);
	});
	server_.Delete("/api/recordings/(.*)", [this](const httplib::Request &request, httplib::Response &response) {
		handleRecordingDelete(request, request.matches[1], response);
	});

	server_.Post("/api/stream/start", [this](const httplib::Request &request, httplib::Response &response) {
		handleStreamStart(request, response);
	});

	server_.Post("/api/stream/stop", [this](const httplib::Request &request, httplib::Response &response) {
		handleStreamStop(request, response);
	});

	registerAccessRoutes();

	// What the page and scripts send: a JSON body, a token, the session's
	// CSRF token.
	server_.Options("/.*", [](const httplib::Request &, httplib::Response &response) {
		response.set_header("Access-Control-Allow-Origin", "*");
		response.set_header("Access-Control-Allow-Methods", "GET, POST, DELETE, OPTIONS");
		response.set_header("Access-Control-Allow-Headers", std::string("Content-Type, Authorization, ") + csrfHeader);
		response.status = 200;
	});
}

void ApiServer::registerAccessRoutes()
{
	// Names and roles only: the hashes stay in the file.
	server_.Get("/api/access/users", [this](const httplib::Request &, httplib::Response &response) {
		setCommonHeaders(response);
		nlohmann::json users = nlohmann::json::array();
		for (const UserEntry &user : access_.users())
			users.push_back({ { "name", user.name }, { "role", roleName(user.role) } });
		sendJson(response, { { "users", users } });
	});
	server_.Get("/api/access/tokens", [this](const httplib::Request &, httplib::Response &response) {
		setCommonHeaders(response);
		nlohmann::json tokens = nlohmann::json::array();
		for (const TokenEntry &token : access_.tokens())
			tokens.push_back({ { "name", token.name }, { "role", roleName(token.role) } });
		sendJson(response, { { "tokens", tokens } });
	});

	const auto field = [](const httplib::Request &request, const char *key) {
		const nlohmann::json body = jsonNestsDeeperThan(request.body, maxRequestDepth)
						    ? nlohmann::json()
						    : nlohmann::json::parse(request.body, nullptr, false, false);
		const auto found = body.is_object() ? body.find(key) : body.end();
		return found != body.end() && found->is_string() ? found->get<std::string>() : std::string();
	};
	server_.Post("/api/access/users", [this, field](const httplib::Request &request, httplib::Response &response) {
		const std::string name = field(request, "name");
		const std::string role = field(request, "role");
		std::string message;
		// Named before the change, which may end the caller's own session.
		const std::string by = requester(request);
		const auto outcome = administration_.addUser(name, field(request, "password"), role, message);
		handleAccessChange(response, outcome, message, by,
				   "User " + printableText(name) + " (" + printableText(role) + ") saved");
		if (outcome == AccessAdministration::Outcome::Done)
			sendJson(response, { { "status", "saved" }, { "user", { { "name", name }, { "role", role } } } });
	});
	server_.Delete("/api/access/users/([^/]+)", [this](const httplib::Request &request, httplib::Response &response) {
		const std::string name = request.matches[1];
		std::string message;
		// Named before the change, which may end the caller's own session.
		const std::string by = requester(request);
		const auto outcome = administration_.removeUser(name, message);
		handleAccessChange(response, outcome, message, by, "User " + printableText(name) + " removed");
		if (outcome == AccessAdministration::Outcome::Done)
			response.set_content(R"({"status":"removed"})", jsonType);
	});
	server_.Post("/api/access/tokens", [this, field](const httplib::Request &request, httplib::Response &response) {
		const std::string name = field(request, "name");
		const std::string role = field(request, "role");
		std::string token;
		std::string message;
		// Named before the change, which may end the caller's own session.
		const std::string by = requester(request);
		const auto outcome = administration_.addToken(name, role, token, message);
		handleAccessChange(response, outcome, message, by,
				   "Token " + printableText(name) + " (" + printableText(role) + ") created");
		if (outcome != AccessAdministration::Outcome::Done)
			return;
		// The token is in this answer alone; nothing on the way keeps it.
		response.set_header("Cache-Control", "no-store");
		sendJson(response, { { "name", name }, { "role", role }, { "token", token } });
	});
	server_.Delete("/api/access/tokens/([^/]+)", [this](const httplib::Request &request, httplib::Response &response) {
		const std::string name = request.matches[1];
		std::string message;
		// Named before the change, which may end the caller's own session.
		const std::string by = requester(request);
		const auto outcome = administration_.removeToken(name, message);
		handleAccessChange(response, outcome, message, by, "Token " + printableText(name) + " revoked");
		if (outcome == AccessAdministration::Outcome::Done)
			response.set_content(R"({"status":"revoked"})", jsonType);
	});
}

void ApiServer::handleAccessChange(httplib::Response &response, AccessAdministration::Outcome outcome,
				   const std::string &message, const std::string &by, const std::string &record)
{
	setCommonHeaders(response);
	switch (outcome) {
	case AccessAdministration::Outcome::Done:
		recordAccess(EventCode::AccessChanged, record + by);
		return;
	case AccessAdministration::Outcome::Invalid:
		sendError(response, 400, message);
		return;
	case AccessAdministration::Outcome::NotFound:
		sendError(response, 404, message);
		return;
	case AccessAdministration::Outcome::LastAdmin:
		recordAccess(EventCode::AccessRefused, "Refused" + by + ": " + message);
		sendError(response, 409, message);
		return;
	case AccessAdministration::Outcome::SaveFailed:
		printLine("[Access] " + printableText(message));
		sendError(response, 500, "The settings file cannot be saved");
		return;
	}
}

void ApiServer::handleWorkerConfig(const httplib::Request &request, httplib::Response &response)
{
	setCommonHeaders(response);
	nlohmann::json document;
	std::string message;
	if (!config_->loadWorkerConfig(document, message)) {
		sendError(response, 404, message);
		return;
	}
	// Only the worker has the key: another program on this machine, or a
	// page in a browser, gets the document without its secret.
	if (!equalInConstantTime(request.get_header_value(workerKeyHeader), supervisor_->workerKey()))
		hideSrtPassphrase(document);
	sendJson(response, document);
}

void ApiServer::handleStreamStart(const httplib::Request &request, httplib::Response &response)
{
	setCommonHeaders(response);
	printLine("[API] Stream start request" + requester(request) + ": " + consoleTextOfRequestBody(request.body));

	if (jsonNestsDeeperThan(request.body, maxRequestDepth)) {
		sendRefusal(response, 400,
			    { StartRefusalCode::RequestJsonInvalid, "",
			      "Invalid JSON request body: nested deeper than " + std::to_string(maxRequestDepth) + " levels" });
		return;
	}

	try {
		nlohmann::json startRequest = nlohmann::json::parse(request.body, nullptr, true, false);
		nlohmann::json workerConfig;
		StartRefusal refusal;
		if (!config_->buildWorkerConfig(startRequest, workerConfig, refusal)) {
			sendRefusal(response, 400, refusal);
			return;
		}
		std::lock_guard lock(startMutex_);
		if (supervisor_->isRunning()) {
			sendRefusal(response, 500, { StartRefusalCode::StreamAlreadyRunning, "", workerAlreadyRunningMessage });
			return;
		}
		std::string message;
		if (!config_->writeWorkerConfig(workerConfig, message)) {
			sendRefusal(response, 400, { StartRefusalCode::WorkerConfigUnwritten, "", message });
			return;
		}
		// A link that is to come back by itself is also worth a new worker
		// when the worker stops responding.
		const bool restartWhenUnresponsive = workerConfig.value("srt_reconnect", false);
		WorkerSupervisor::StartProblem problem;
		if (!supervisor_->start(workerPort_, message, problem, workerConfig, restartWhenUnresponsive)) {
			sendRefusal(response, 500, { refusalCodeOf(problem), "", message });
			return;
		}
		response.set_content(R"({"status":"started"})", jsonType);
	} catch (const nlohmann::json::parse_error &error) {
		// The library's own text quotes what it read last, which may be a
		// secret, and names its error numbers: only the place is told.
		sendRefusal(response, 400,
			    { StartRefusalCode::RequestJsonInvalid, "",
			      "Invalid JSON request body: not JSON at byte " + std::to_string(error.byte) });
	} catch (const nlohmann::json::out_of_range &) {
		// The parser's only other refusal: a number beyond what a double holds.
		sendRefusal(response, 400,
			    { StartRefusalCode::RequestJsonInvalid, "", "Invalid JSON request body: a number is out of range" });
	}
}

void ApiServer::handleStreamStop(const httplib::Request &request, httplib::Response &response)
{
	setCommonHeaders(response);
	printLine("[API] Stream stop request" + requester(request));

	std::string message;
	if (!supervisor_->stop(message)) {
		sendError(response, 500, message);
		return;
	}
	if (!message.empty()) {
		sendJson(response, nlohmann::json{ { "status", "not_running" }, { "message", message } });
		return;
	}
	response.set_content(R"({"status":"stopped"})", jsonType);
}

namespace {

const char *const badRecordingNameMessage =
	"Invalid recording name: letters, digits, '-' and '_', ending in .ts, inside the recordings folder";

} // namespace

void ApiServer::handleRecordingDownload(const std::string &name, httplib::Response &response)
{
	setCommonHeaders(response);
	std::filesystem::path path;
	switch (RecordingFolder(config_->recordingsPath()).find(name, path)) {
	case RecordingFolder::Lookup::BadName:
		sendError(response, 400, badRecordingNameMessage);
		return;
	case RecordingFolder::Lookup::Missing:
		sendError(response, 404, "Recording not found: " + name);
		return;
	case RecordingFolder::Lookup::Found:
		break;
	}
	auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
	std::error_code error;
	const uintmax_t size = std::filesystem::file_size(path, error);
	if (!*file || error) {
		sendError(response, 500, "Failed to open recording " + name);
		return;
	}
	response.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
	// The library answers a Range request with 206 and the part asked for.
	response.set_content_provider(
		static_cast<std::size_t>(size), "video/mp2t",
		[file](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
			char buffer[64 * 1024];
			file->clear();
			file->seekg(static_cast<std::streamoff>(offset));
			const std::size_t wanted = std::min(length, sizeof(buffer));
			file->read(buffer, static_cast<std::streamsize>(wanted));
			const std::streamsize got = file->gcount();
			return got > 0 && sink.write(buffer, static_cast<std::size_t>(got));
		});
}

void ApiServer::handleRecordingDelete(const httplib::Request &request, const std::string &name,
				      httplib::Response &response)
{
	setCommonHeaders(response);
	std::string message;
	switch (RecordingFolder(config_->recordingsPath()).remove(name, message)) {
	case RecordingFolder::Lookup::BadName:
		sendError(response, 400, badRecordingNameMessage);
		return;
	case RecordingFolder::Lookup::Missing:
		sendError(response, message.empty() ? 404 : 500, message.empty() ? "Recording not found: " + name : message);
		return;
	case RecordingFolder::Lookup::Found:
		break;
	}
	printLine("[API] Recording deleted" + requester(request) + ": " + name);
	sendJson(response, nlohmann::json{ { "deleted", name } });
}

void ApiServer::handlePreview(httplib::Response &response)
{
	response.set_header("Access-Control-Allow-Origin", "*");

	std::filesystem::path path = std::filesystem::path(config_->previewPath()) / "preview.jpg";
	if (!platform::pathExists(path)) {
		sendError(response, 503, "Preview not available - no preview file found");
		return;
	}

	// The worker replaces the picture by renaming a new file over it, so an
	// open file is always one whole picture. A directory cannot be opened as
	// a file on every platform alike, so it is refused here.
	std::ifstream file;
	std::error_code ignored;
	if (!std::filesystem::is_directory(path, ignored))
		file.open(path, std::ios::binary | std::ios::ate);
	if (!file.is_open()) {
		sendError(response, 500, "Failed to open preview file");
		return;
	}

	file.seekg(0, std::ios::end);
	std::streamoff size = file.tellg();
	file.seekg(0, std::ios::beg);
	if (size <= 0) {
		sendError(response, 500, "Preview file is empty");
		return;
	}

	std::string picture(static_cast<std::size_t>(size), '\0');
	file.read(picture.data(), size);
	if (file.gcount() != size) {
		sendError(response, 500, "Failed to read preview file");
		return;
	}
	file.close();

	response.set_header("Cache-Control", "no-cache, no-store, must-revalidate");
	response.set_content(std::move(picture), "image/jpeg");
}

} // namespace tiloran
