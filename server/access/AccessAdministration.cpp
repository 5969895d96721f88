#include "access/AccessAdministration.h"

#include <algorithm>
#include <cctype>

#include "access/Credentials.h"
#include "config/ServerSettings.h"

namespace tiloran {

namespace {

constexpr std::size_t maxNameLength = 64;

std::size_t adminCount(const std::vector<UserEntry> &users)
{
	return static_cast<std::size_t>(
		std::count_if(users.begin(), users.end(), [](const UserEntry &user) { return user.role == Role::Admin; }));
}

bool checkNameAndRole(const std::string &name, const std::string &roleText, Role &role, std::string &message)
{
	if (!validAccountName(name)) {
		message = "A name must be 1 to 64 letters, digits or - _ . @";
		return false;
	}
	if (!parseRole(roleText, role)) {
		message = "The role must be viewer, operator or admin";
		return false;
	}
	return true;
}

} // namespace

bool validAccountName(std::string_view name)
{
	return !name.empty() && name.size() <= maxNameLength &&
	       std::all_of(name.begin(), name.end(), [](unsigned char character) {
		       return std::isalnum(character) || character == '-' || character == '_' || character == '.' ||
			      character == '@';
	       });
}

AccessAdministration::AccessAdministration(std::filesystem::path settingsPath, AccessControl &access,
					   SessionStore &sessions)
	: settingsPath_(std::move(settingsPath)), access_(access), sessions_(sessions)
{
}

template <typename Change>
AccessAdministration::Outcome AccessAdministration::apply(Change change, std::string &message)
{
	std::lock_guard lock(mutex_);
	ServerSettings settings;
	if (!loadServerSettings(settingsPath_, settings, message))
		return Outcome::SaveFailed;
	const std::size_t adminsBefore = adminCount(settings.users);
	if (!change(settings))
		return Outcome::NotFound;
	// Where access is on, the page's last admin is the only way to change
	// access without the server's terminal.
	if (access_.enabled() && adminsBefore > 0 && adminCount(settings.users) == 0) {
		message = "The last admin cannot be removed or given another role";
		return Outcome::LastAdmin;
	}
	if (!saveServerSettings(settingsPath_, settings, message))
		return Outcome::SaveFailed;
	access_.replace(std::move(settings.users), std::move(settings.tokens));
	return Outcome::Done;
}

AccessAdministration::Outcome AccessAdministration::addUser(const std::string &name, const std::string &password,
							    const std::string &roleText, std::string &message)
{
	Role role = Role::Viewer;
	if (!checkNameAndRole(name, roleText, role, message))
		return Outcome::Invalid;
	if (password.size() < minPasswordLength || password.size() > maxPasswordLength) {
		message = "A password must be " + std::to_string(minPasswordLength) + " to " +
			  std::to_string(maxPasswordLength) + " characters long";
		return Outcome::Invalid;
	}
	// Hashed before the lock: it takes a while on purpose.
	UserEntry user{ name, role, hashPassword(password) };
	const Outcome outcome = apply(
		[&](ServerSettings &settings) {
			std::erase_if(settings.users, [&](const UserEntry &entry) { return entry.name == name; });
			settings.users.push_back(std::move(user));
			return true;
		},
		message);
	// A replaced user logs in again, with the new password and role.
	if (outcome == Outcome::Done)
		sessions_.removeUser(name);
	return outcome;
}

AccessAdministration::Outcome AccessAdministration::removeUser(const std::string &name, std::string &message)
{
	const Outcome outcome = apply(
		[&](ServerSettings &settings) {
			if (std::erase_if(settings.users, [&](const UserEntry &entry) { return entry.name == name; }) > 0)
				return true;
			message = "No such user";
			return false;
		},
		message);
	if (outcome == Outcome::Done)
		sessions_.removeUser(name);
	return outcome;
}

AccessAdministration::Outcome AccessAdministration::addToken(const std::string &name, const std::string &roleText,
							     std::string &token, std::string &message)
{
	Role role = Role::Viewer;
	if (!checkNameAndRole(name, roleText, role, message))
		return Outcome::Invalid;
	const std::string created = newApiToken();
	const Outcome outcome = apply(
		[&](ServerSettings &settings) {
			std::erase_if(settings.tokens, [&](const TokenEntry &entry) { return entry.name == name; });
			settings.tokens.push_back({ name, role, apiTokenHash(created) });
			return true;
		},
		message);
	if (outcome == Outcome::Done)
		token = created;
	return outcome;
}

AccessAdministration::Outcome AccessAdministration::removeToken(const std::string &name, std::string &message)
{
	return apply(
		[&](ServerSettings &settings) {
			if (std::erase_if(settings.tokens, [&](const TokenEntry &entry) { return entry.name == name; }) > 0)
				return true;
			message = "No such token";
			return false;
		},
		message);
}

} // namespace tiloran
