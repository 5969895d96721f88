#include "access/AccessControl.h"

#include <mutex>

#include "access/Credentials.h"

namespace tiloran {

AccessControl::AccessControl(Settings settings)
	: enabled_(settings.enabled), users_(std::move(settings.users)), tokens_(std::move(settings.tokens)),
	  unknownUserHash_(enabled_ ? hashPassword("") : std::string())
{
}

std::size_t AccessControl::userCount() const
{
	std::shared_lock lock(mutex_);
	return users_.size();
}

std::size_t AccessControl::tokenCount() const
{
	std::shared_lock lock(mutex_);
	return tokens_.size();
}

std::vector<UserEntry> AccessControl::users() const
{
	std::shared_lock lock(mutex_);
	return users_;
}

std::vector<TokenEntry> AccessControl::tokens() const
{
	std::shared_lock lock(mutex_);
	return tokens_;
}

void AccessControl::replace(std::vector<UserEntry> users, std::vector<TokenEntry> tokens)
{
	std::unique_lock lock(mutex_);
	users_ = std::move(users);
	tokens_ = std::move(tokens);
}

std::optional<Identity> AccessControl::userIdentity(std::string_view name, std::string_view password) const
{
	// The hash is checked outside the lock: it takes a while on purpose.
	std::optional<UserEntry> found;
	{
		std::shared_lock lock(mutex_);
		for (const UserEntry &user : users_) {
			if (user.name == name) {
				found = user;
				break;
			}
		}
	}
	if (found) {
		if (!verifyPassword(password, found->passwordHash))
			return std::nullopt;
		return Identity{ found->name, found->role };
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
	std::shared_lock lock(mutex_);
	for (const TokenEntry &token : tokens_) {
		if (equalInConstantTime(digest, token.tokenHash) && !found)
			found = Identity{ token.name, token.role };
	}
	return found;
}

} // namespace tiloran
