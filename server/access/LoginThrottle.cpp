#include "access/LoginThrottle.h"

#include <algorithm>

namespace tiloran {

LoginThrottle::LoginThrottle(Settings settings) : settings_(settings) {}

int LoginThrottle::failuresOf(const std::string &key, Clock::time_point now)
{
	const auto found = counts_.find(key);
	if (found == counts_.end())
		return 0;
	if (now - found->second.first > settings_.window) {
		counts_.erase(found);
		return 0;
	}
	return found->second.failures;
}

std::chrono::milliseconds LoginThrottle::delayFor(const std::string &address, const std::string &user)
{
	const Clock::time_point now = Clock::now();
	std::lock_guard lock(mutex_);
	const int failures = std::max(failuresOf("address " + address, now), failuresOf("user " + user, now));
	return failures >= settings_.freeAttempts ? settings_.delay : std::chrono::milliseconds(0);
}

void LoginThrottle::count(const std::string &key, Clock::time_point now)
{
	if (failuresOf(key, now) == 0 && counts_.size() >= settings_.maxKeys) {
		const auto oldest = std::min_element(counts_.begin(), counts_.end(), [](const auto &left, const auto &right) {
			return left.second.first < right.second.first;
		});
		counts_.erase(oldest);
	}
	Count &entry = counts_[key];
	if (entry.failures == 0)
		entry.first = now;
	++entry.failures;
}

void LoginThrottle::failed(const std::string &address, const std::string &user)
{
	const Clock::time_point now = Clock::now();
	std::lock_guard lock(mutex_);
	count("address " + address, now);
	count("user " + user, now);
}

void LoginThrottle::succeeded(const std::string &user)
{
	std::lock_guard lock(mutex_);
	counts_.erase("user " + user);
}

} // namespace tiloran
