#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

#include "access/AccessControl.h"
#include "access/SessionStore.h"

namespace tiloran {

inline constexpr std::size_t minPasswordLength = 10;
inline constexpr std::size_t maxPasswordLength = 1024;

// Names show on the console and in the events: 1 to 64 letters, digits or
// - _ . @.
bool validAccountName(std::string_view name);

// An admin's changes to the users and tokens while the server runs: each is
// saved to the settings file (replaced as a whole, owner-only) and then
// takes effect at once; a user's sessions end when it is removed or
// replaced. The file's other members are kept as the file has them.
//
// Threading: any thread; changes are serialised.
class AccessAdministration
{
public:
	enum class Outcome {
		Done,
		// A name, password or role that is not acceptable.
		Invalid,
		NotFound,
		// The change would leave no admin who can log in.
		LastAdmin,
		SaveFailed,
	};

	AccessAdministration(std::filesystem::path settingsPath, AccessControl &access, SessionStore &sessions);

	// A user or token of the same name is replaced. message: why not, for
	// the client; never a secret.
	Outcome addUser(const std::string &name, const std::string &password, const std::string &role,
			std::string &message);
	Outcome removeUser(const std::string &name, std::string &message);
	// token: the new token, for this one answer.
	Outcome addToken(const std::string &name, const std::string &role, std::string &token, std::string &message);
	Outcome removeToken(const std::string &name, std::string &message);

private:
	// Loads the file, lets change edit it, refuses a lock-out, saves and
	// applies. change returns false with message for a name not there.
	template <typename Change>
	Outcome apply(Change change, std::string &message);

	const std::filesystem::path settingsPath_;
	AccessControl &access_;
	SessionStore &sessions_;
	std::mutex mutex_;
};

} // namespace tiloran
