#include "app/ServerOptions.h"

#include <string_view>

namespace tiloran {

namespace {

struct ListOption {
	std::string_view name;
	std::vector<std::string> ServerOptions::*values;
};

constexpr ListOption listOptions[] = {
	{ "--allow-host", &ServerOptions::allowedHosts },
	{ "--allow-origin", &ServerOptions::allowedOrigins },
};

} // namespace

bool parseServerOptions(int argc, const char *const argv[], ServerOptions &options, std::string &message)
{
	ServerOptions found;
	for (int index = 1; index < argc; ++index) {
		const std::string_view argument = argv[index];
		for (const ListOption &option : listOptions) {
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
			if (value.empty()) {
				message = "Option " + std::string(option.name) + " needs a value";
				return false;
			}
			(found.*option.values).push_back(value);
			break;
		}
	}
	options = std::move(found);
	return true;
}

} // namespace tiloran
