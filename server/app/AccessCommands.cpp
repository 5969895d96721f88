#include "app/AccessCommands.h"

#include <algorithm>

#include "access/AccessAdministration.h"
#include "access/Credentials.h"
#include "app/platform/PasswordPrompt.h"
#include "common/ConsoleLine.h"
#include "common/PrintableText.h"
#include "config/ServerSettings.h"

namespace tiloran {

namespace {

int fail(const std::string &message)
{
	printErrorLine("[Error] " + message);
	return 1;
}

// Loads the settings and checks name and role; the settings to change, or
// an exit code in failure.
bool prepare(const std::filesystem::path &path, const std::string &name, const std::string &roleText,
	     ServerSettings &settings, Role &role, int &failure)
{
	std::string message;
	if (!validAccountName(name)) {
		failure = fail("A name must be 1 to 64 letters, digits or - _ . @");
		return false;
	}
	if (!parseRole(roleText, role)) {
		failure = fail("Option --role must be viewer, operator or admin");
		return false;
	}
	if (!loadServerSettings(path, settings, message)) {
		failure = fail(message);
		return false;
	}
	return true;
}

} // namespace

int addUser(const std::filesystem::path &settingsPath, const std::string &name, const std::string &roleText)
{
	ServerSettings settings;
	Role role = Role::Viewer;
	int failure = 1;
	if (!prepare(settingsPath, name, roleText, settings, role, failure))
		return failure;
	std::string password;
	std::string message;
	if (!platform::readPassword("Password for " + name + ": ", password, message))
		return fail(message);
	if (password.size() < minPasswordLength)
		return fail("A password must be at least " + std::to_string(minPasswordLength) + " characters long");

	std::erase_if(settings.users, [&](const UserEntry &user) { return user.name == name; });
	settings.users.push_back({ name, role, hashPassword(password) });
	if (!saveServerSettings(settingsPath, settings, message))
		return fail(message);
	printLine("[Access] User " + name + " (" + std::string(roleName(role)) + ") saved in " +
		  printableText(settingsPath.string()));
	if (!settings.access.value_or(false))
		printLine("[Access] Access control is on only where the settings file says \"access\": true or the "
			  "server runs with --access-default=on");
	return 0;
}

int addToken(const std::filesystem::path &settingsPath, const std::string &name, const std::string &roleText)
{
	ServerSettings settings;
	Role role = Role::Viewer;
	int failure = 1;
	if (!prepare(settingsPath, name, roleText, settings, role, failure))
		return failure;
	const std::string token = newApiToken();
	std::erase_if(settings.tokens, [&](const TokenEntry &entry) { return entry.name == name; });
	settings.tokens.push_back({ name, role, apiTokenHash(token) });
	std::string message;
	if (!saveServerSettings(settingsPath, settings, message))
		return fail(message);
	printLine("[Access] Token " + name + " (" + std::string(roleName(role)) + ") saved in " +
		  printableText(settingsPath.string()) + "; it is shown this once:");
	// The one place a secret goes to the console: its owner asked for it.
	printLine(token);
	return 0;
}

} // namespace tiloran
