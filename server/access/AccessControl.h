#pragma once

#include <optional>
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
// Threading: read-only after construction; any thread.
class AccessControl
{
public:
	struct Settings {
		bool enabled = false;
		std::vector<UserEntry> users;
		std::vector<TokenEntry> tokens;
	};

	explicit AccessControl(Settings settings);

	bool enabled() const { return settings_.enabled; }
	std::size_t userCount() const { return settings_.users.size(); }
	std::size_t tokenCount() const { return settings_.tokens.size(); }

	// The token's owner for the value of an Authorization header; nothing
	// for another scheme or an unknown token.
	std::optional<Identity> tokenIdentity(std::string_view authorization) const;

	// The user for a name and password; nothing when either is wrong. An
	// unknown name takes as long as a wrong password.
	std::optional<Identity> userIdentity(std::string_view name, std::string_view password) const;

	// Whether role may do what needs required.
	static bool allows(Role role, Role required) { return static_cast<int>(role) >= static_cast<int>(required); }

private:
	const Settings settings_;
	// Checked against for an unknown name.
	const std::string unknownUserHash_;
};

} // namespace tiloran
