#include "access/SessionStore.h"

#include "access/Credentials.h"
#include "common/HexText.h"
#include "common/platform/SecureRandom.h"

namespace tiloran {

SessionStore::SessionStore(std::chrono::seconds idleLimit) : idleLimit_(idleLimit) {}

SessionStore::Created SessionStore::create(const Identity &identity)
{
	Created created{ hexText(platform::secureRandomBytes(32)), hexText(platform::secureRandomBytes(32)) };
	const Clock::time_point now = Clock::now();
	std::lock_guard lock(mutex_);
	dropExpired(now);
	sessions_[apiTokenHash(created.id)] = Entry{ Session{ identity, created.csrfToken }, now };
	return created;
}

std::optional<SessionStore::Session> SessionStore::find(std::string_view id)
{
	if (id.empty())
		return std::nullopt;
	const std::string key = apiTokenHash(id);
	const Clock::time_point now = Clock::now();
	std::lock_guard lock(mutex_);
	const auto found = sessions_.find(key);
	if (found == sessions_.end())
		return std::nullopt;
	if (now - found->second.lastUsed > idleLimit_) {
		sessions_.erase(found);
		return std::nullopt;
	}
	found->second.lastUsed = now;
	return found->second.session;
}

void SessionStore::remove(std::string_view id)
{
	const std::string key = apiTokenHash(id);
	std::lock_guard lock(mutex_);
	sessions_.erase(key);
}

void SessionStore::removeUser(std::string_view name)
{
	std::lock_guard lock(mutex_);
	std::erase_if(sessions_, [&](const auto &entry) { return entry.second.session.identity.name == name; });
}

void SessionStore::dropExpired(Clock::time_point now)
{
	for (auto entry = sessions_.begin(); entry != sessions_.end();) {
		if (now - entry->second.lastUsed > idleLimit_)
			entry = sessions_.erase(entry);
		else
			++entry;
	}
}

} // namespace tiloran
