#pragma once

#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "config/ServerSettings.h"

namespace tiloran {

// Who is behind a request.
struct Identity {
	std::string name;
	Role role = Role::Viewer;
};

// Who may use the server: whether requests need credentials at all, and the
// API tokens that scripts and monitoring send as "Authorization: Bearer".
//
// Threading: any thread; the users and tokens are replaced as a whole under
// a lock, so that a check sees the lists before or after a change.
class AccessControl
{
public:
	struct Settings {
		bool enabled = false;
		std::vector<UserEntry> users;
		std::vector<TokenEntry> tokens;
	};

	explicit AccessControl(Settings settings);

	bool enabled() const { return enabled_; }
	std::size_t userCount() const;
	std::size_t tokenCount() const;

	// Both lists as they are now, and their replacement.
	std::vector<UserEntry> users() const;
	std::vector<TokenEntry> tokens() const;
	void replace(std::vector<UserEntry> users, std::vector<TokenEntry> tokens);

	// The token's owner for the value of an Authorization header; nothing
	// for another scheme or an unknown token.
	std::optional<Identity> tokenIdentity(std::string_view authorization) const;

	// The user for a name and password; nothing when either is wrong. An
	// unknown name takes as long as a wrong password.
	std::optional<Identity> userIdentity(std::string_view name, std::string_view password) const;

	// Whether role may do what needs required.
	static bool allows(Role role, Role required) { return static_cast<int>(role) >= static_cast<int>(required); }

private:
	const bool enabled_;
	mutable std::shared_mutex mutex_;
	std::vector<UserEntry> users_;
	std::vector<TokenEntry> tokens_;
	// Checked against for an unknown name.
	const std::string unknownUserHash_;
};

} // namespace tiloran
