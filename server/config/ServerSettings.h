#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tiloran {

// What a user or a token may do: a viewer reads the state, the statistics,
// the preview and the metrics; an operator also starts and stops; an admin
// also manages the server.
enum class Role {
	Viewer,
	Operator,
	Admin,
};

std::string_view roleName(Role role);
// False for a name that is none of "viewer", "operator", "admin".
bool parseRole(std::string_view name, Role &role);

struct UserEntry {
	std::string name;
	Role role = Role::Viewer;
	// The encoded password hash (see access/Credentials.h), never the
	// password.
	std::string passwordHash;
};

struct TokenEntry {
	std::string name;
	Role role = Role::Viewer;
	// The token's digest in hexadecimal, never the token.
	std::string tokenHash;
};

// The server's own settings file, server_settings.json beside the worker
// configuration file, readable by its owner only:
//   {"access": true, "users": [{"name", "role", "passwordHash"}],
//    "tokens": [{"name", "role", "tokenHash"}],
//    "allowedHosts": [...], "allowedOrigins": [...],
//    "tlsCertificate": "FILE", "tlsKey": "FILE"}
// Every member is optional.
struct ServerSettings {
	// Whether requests need a login or a token; unset: the server's
	// default (see --access-default).
	std::optional<bool> access;
	std::vector<UserEntry> users;
	std::vector<TokenEntry> tokens;
	std::vector<std::string> allowedHosts;
	std::vector<std::string> allowedOrigins;
	// Both set: HTTPS with this certificate and key (the command line's
	// pair, where given, instead).
	std::string tlsCertificate;
	std::string tlsKey;
};

std::filesystem::path serverSettingsPath(const std::filesystem::path &workerConfigPath);

// A missing file gives the empty settings. False with a message naming the
// file when it cannot be read or holds something else than the above.
bool loadServerSettings(const std::filesystem::path &path, ServerSettings &settings, std::string &message);
// Replaces the file as a whole, creating its directory. False with a message.
bool saveServerSettings(const std::filesystem::path &path, const ServerSettings &settings, std::string &message);

} // namespace tiloran
