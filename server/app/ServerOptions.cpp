#include "app/ServerOptions.h"

#include <functional>
#include <string_view>

namespace tiloran {

namespace {

struct Option {
	std::string_view name;
	// False when the value is not one the option takes.
	std::function<bool(ServerOptions &, const std::string &)> take;
};

bool takeSwitch(std::optional<bool> &target, const std::string &value)
{
	if (value != "on" && value != "off")
		return false;
	target = value == "on";
	return true;
}

const Option options[] = {
	{ "--allow-host", [](ServerOptions &found, const std::string &value) { found.allowedHosts.push_back(value); return true; } },
	{ "--allow-origin", [](ServerOptions &found, const std::string &value) { found.allowedOrigins.push_back(value); return true; } },
	{ "--access-default", [](ServerOptions &found, const std::string &value) { return takeSwitch(found.accessDefault, value); } },
	{ "--tls-cert", [](ServerOptions &found, const std::string &value) { found.tlsCertificate = value; return true; } },
	{ "--tls-key", [](ServerOptions &found, const std::string &value) { found.tlsKey = value; return true; } },
	{ "--add-user", [](ServerOptions &found, const std::string &value) { found.addUser = value; return true; } },
	{ "--add-token", [](ServerOptions &found, const std::string &value) { found.addToken = value; return true; } },
	{ "--role", [](ServerOptions &found, const std::string &value) { found.role = value; return true; } },
};

} // namespace

bool parseServerOptions(int argc, const char *const argv[], ServerOptions &result, std::string &message)
{
	ServerOptions found;
	for (int index = 1; index < argc; ++index) {
		const std::string_view argument = argv[index];
		for (const Option &option : options) {
			if (argument.substr(0, option.name.size()) != option.name)
				continue;
			const std::string_view rest = argument.substr(option.name.size());
			std::string value;
			if (rest.empty() && index + 1 < argc)
				value = argv[++index];
			else if (!rest.empty() && rest.front() == '=')
				value = std::string(rest.substr(1));
			else if (!rest.empty())
				continue;
			if (value.empty() || !option.take(found, value)) {
				message = "Option " + std::string(option.name) + " needs a valid value";
				return false;
			}
			break;
		}
	}
	if (!found.addUser.empty() && !found.addToken.empty()) {
		message = "Options --add-user and --add-token cannot be given together";
		return false;
	}
	if (found.tlsCertificate.empty() != found.tlsKey.empty()) {
		message = "Options --tls-cert and --tls-key must be given together";
		return false;
	}
	result = std::move(found);
	return true;
}

} // namespace tiloran
