#include "config/ServerSettings.h"

#include <fstream>
#include <sstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "config/platform/FileReplacement.h"

namespace tiloran {

namespace {

// A list member: absent, or an array of objects each read by readItem.
template <typename Item, typename Read>
bool readList(const nlohmann::json &document, const char *key, std::vector<Item> &items, Read readItem)
{
	const auto found = document.find(key);
	if (found == document.end())
		return true;
	if (!found->is_array())
		return false;
	for (const nlohmann::json &item : *found) {
		Item entry;
		if (!readItem(item, entry))
			return false;
		items.push_back(std::move(entry));
	}
	return true;
}

bool readText(const nlohmann::json &item, const char *key, std::string &text)
{
	const auto found = item.find(key);
	if (found == item.end() || !found->is_string() || found->get_ref<const std::string &>().empty())
		return false;
	text = found->get<std::string>();
	return true;
}

bool readRole(const nlohmann::json &item, Role &role)
{
	std::string name;
	return readText(item, "role", name) && parseRole(name, role);
}

} // namespace

std::string_view roleName(Role role)
{
	switch (role) {
	case Role::Viewer:
		return "viewer";
	case Role::Operator:
		return "operator";
	case Role::Admin:
		return "admin";
	}
	return "viewer";
}

bool parseRole(std::string_view name, Role &role)
{
	for (const Role candidate : { Role::Viewer, Role::Operator, Role::Admin }) {
		if (name == roleName(candidate)) {
			role = candidate;
			return true;
		}
	}
	return false;
}

std::filesystem::path serverSettingsPath(const std::filesystem::path &workerConfigPath)
{
	return workerConfigPath.parent_path() / "server_settings.json";
}

bool loadServerSettings(const std::filesystem::path &path, ServerSettings &settings, std::string &message)
{
	std::error_code error;
	if (!std::filesystem::exists(path, error)) {
		settings = {};
		return true;
	}
	std::ifstream file(path, std::ios::binary);
	std::stringstream text;
	text << file.rdbuf();
	if (!file) {
		message = "Cannot read the settings file " + path.string();
		return false;
	}
	ServerSettings loaded;
	const nlohmann::json document = nlohmann::json::parse(text.str(), nullptr, false, false);
	bool valid = document.is_object();
	if (valid && document.contains("access")) {
		valid = document["access"].is_boolean();
		if (valid)
			loaded.access = document["access"].get<bool>();
	}
	valid = valid && readList(document, "users", loaded.users, [](const nlohmann::json &item, UserEntry &user) {
			return item.is_object() && readText(item, "name", user.name) && readRole(item, user.role) &&
			       readText(item, "passwordHash", user.passwordHash);
		});
	valid = valid && readList(document, "tokens", loaded.tokens, [](const nlohmann::json &item, TokenEntry &token) {
			return item.is_object() && readText(item, "name", token.name) && readRole(item, token.role) &&
			       readText(item, "tokenHash", token.tokenHash);
		});
	for (const auto &[key, list] : { std::pair{ "allowedHosts", &loaded.allowedHosts },
					 std::pair{ "allowedOrigins", &loaded.allowedOrigins } }) {
		valid = valid && readList(document, key, *list, [](const nlohmann::json &item, std::string &name) {
				return item.is_string() && !item.get_ref<const std::string &>().empty() &&
				       (name = item.get<std::string>(), true);
			});
	}
	for (const auto &[key, text] : { std::pair{ "tlsCertificate", &loaded.tlsCertificate },
					 std::pair{ "tlsKey", &loaded.tlsKey } }) {
		if (valid && document.contains(key))
			valid = readText(document, key, *text) && !text->empty();
	}
	valid = valid && loaded.tlsCertificate.empty() == loaded.tlsKey.empty();
	if (!valid) {
		message = "The settings file " + path.string() + " is not a valid settings document";
		return false;
	}
	settings = std::move(loaded);
	return true;
}

bool saveServerSettings(const std::filesystem::path &path, const ServerSettings &settings, std::string &message)
{
	nlohmann::json document = nlohmann::json::object();
	if (settings.access)
		document["access"] = *settings.access;
	document["users"] = nlohmann::json::array();
	for (const UserEntry &user : settings.users)
		document["users"].push_back(
			{ { "name", user.name }, { "role", roleName(user.role) }, { "passwordHash", user.passwordHash } });
	document["tokens"] = nlohmann::json::array();
	for (const TokenEntry &token : settings.tokens)
		document["tokens"].push_back(
			{ { "name", token.name }, { "role", roleName(token.role) }, { "tokenHash", token.tokenHash } });
	if (!settings.allowedHosts.empty())
		document["allowedHosts"] = settings.allowedHosts;
	if (!settings.allowedOrigins.empty())
		document["allowedOrigins"] = settings.allowedOrigins;
	if (!settings.tlsCertificate.empty()) {
		document["tlsCertificate"] = settings.tlsCertificate;
		document["tlsKey"] = settings.tlsKey;
	}

	std::error_code error;
	std::filesystem::create_directories(path.parent_path(), error);
	if (replaceFileContents(path, document.dump(2) + "\n") != FileReplaceResult::Replaced) {
		message = "Cannot write the settings file " + path.string();
		return false;
	}
	return true;
}

} // namespace tiloran
