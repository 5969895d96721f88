#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace tiloran {

// Slows the guessing of passwords: once an address or a user name has
// freeAttempts failed logins within the window, every further attempt for it
// is answered no sooner than delay after it came, right or wrong. A
// successful login clears the user's count, not the address's.
//
// Threading: any thread; one lock around the counts, never held while
// waiting.
class LoginThrottle
{
public:
	using Clock = std::chrono::steady_clock;

	struct Settings {
		int freeAttempts = 5;
		std::chrono::milliseconds delay{ 2000 };
		std::chrono::seconds window{ 900 };
		// Counts kept at most; the oldest go first.
		std::size_t maxKeys = 10000;
	};

	explicit LoginThrottle(Settings settings);

	// How long the answer to an attempt now from address for user waits.
	std::chrono::milliseconds delayFor(const std::string &address, const std::string &user);
	void failed(const std::string &address, const std::string &user);
	void succeeded(const std::string &user);

private:
	struct Count {
		int failures = 0;
		Clock::time_point first;
	};
	int failuresOf(const std::string &key, Clock::time_point now);
	void count(const std::string &key, Clock::time_point now);

	const Settings settings_;
	std::mutex mutex_;
	std::map<std::string, Count> counts_;
};

} // namespace tiloran
