#include "access/AccessControl.h"

#include "access/Credentials.h"

namespace tiloran {

AccessControl::AccessControl(Settings settings)
	: settings_(std::move(settings)), unknownUserHash_(settings_.enabled ? hashPassword("") : std::string())
{
}

std::optional<Identity> AccessControl::userIdentity(std::string_view name, std::string_view password) const
{
	for (const UserEntry &user : settings_.users) {
		if (user.name == name) {
			if (!verifyPassword(password, user.passwordHash))
				return std::nullopt;
			return Identity{ user.name, user.role };
		}
	}
	verifyPassword(password, unknownUserHash_);
	return std::nullopt;
}

std::optional<Identity> AccessControl::tokenIdentity(std::string_view authorization) const
{
	constexpr std::string_view scheme = "Bearer ";
	if (authorization.size() <= scheme.size() || authorization.substr(0, scheme.size()) != scheme)
		return std::nullopt;
	const std::string digest = apiTokenHash(authorization.substr(scheme.size()));
	// Every entry is compared, so that the time tells nothing of which.
	std::optional<Identity> found;
	for (const TokenEntry &token : settings_.tokens) {
		if (equalInConstantTime(digest, token.tokenHash) && !found)
			found = Identity{ token.name, token.role };
	}
	return found;
}

} // namespace tiloran
