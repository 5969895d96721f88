#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tiloran {

// The server's options on its command line that are not read elsewhere
// (--portable and --test-inputs are): each may be given as "--name VALUE" or
// "--name=VALUE", the lists more than once.
struct ServerOptions {
	// --allow-host NAME: a further name of this server that browsers may
	// use (a DNS name pointing at it, a proxy's name).
	std::vector<std::string> allowedHosts;
	// --allow-origin ORIGIN: another site whose pages may control the
	// server ("http://name:port").
	std::vector<std::string> allowedOrigins;
	// --access-default on|off: whether access control is on where the
	// settings file does not say (off when not given: a run from the
	// source tree; the installed service says on).
	std::optional<bool> accessDefault;
	// --tls-cert FILE --tls-key FILE: serve HTTPS with this certificate
	// (PEM, with its chain) and key; both or neither.
	std::string tlsCertificate;
	std::string tlsKey;
	// --add-user NAME / --add-token NAME, with --role ROLE: manage the
	// settings file instead of serving.
	std::string addUser;
	std::string addToken;
	std::string role;
};

// False with a message naming the option when one lacks its value or has
// a wrong one, when --add-user and --add-token come together, or when only one of
// --tls-cert and --tls-key is given.
bool parseServerOptions(int argc, const char *const argv[], ServerOptions &options, std::string &message);

} // namespace tiloran
