#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "access/AccessControl.h"

namespace tiloran {

// The page's logins: a random session id in a cookie names an identity kept
// here, with a CSRF token that every state-changing request of the page has
// to repeat in a header. A session ends on logout or after idleLimit without
// a request. Only the ids' digests are kept, so a look at the server's
// memory does not give a usable cookie.
//
// Threading: any thread; one lock around the table.
class SessionStore
{
public:
	using Clock = std::chrono::steady_clock;

	struct Session {
		Identity identity;
		std::string csrfToken;
	};
	struct Created {
		std::string id;
		std::string csrfToken;
	};

	explicit SessionStore(std::chrono::seconds idleLimit);

	Created create(const Identity &identity);
	// The session of id, its idle time restarted; nothing when unknown or
	// expired (an expired one is dropped).
	std::optional<Session> find(std::string_view id);
	void remove(std::string_view id);
	// Ends every session of the user called name (removed, or given
	// another role or password).
	void removeUser(std::string_view name);

	std::chrono::seconds idleLimit() const { return idleLimit_; }

private:
	struct Entry {
		Session session;
		Clock::time_point lastUsed;
	};
	void dropExpired(Clock::time_point now);

	const std::chrono::seconds idleLimit_;
	std::mutex mutex_;
	std::map<std::string, Entry> sessions_;
};

} // namespace tiloran
