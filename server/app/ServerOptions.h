#pragma once

#include <string>
#include <vector>

namespace tiloran {

// The server's options on its command line that are not read elsewhere
// (--portable and --test-inputs are): each may be given as "--name VALUE" or
// "--name=VALUE", and the lists more than once.
struct ServerOptions {
	// --allow-host NAME: a further name of this server that browsers may
	// use (a DNS name pointing at it, a proxy's name).
	std::vector<std::string> allowedHosts;
	// --allow-origin ORIGIN: another site whose pages may control the
	// server ("http://name:port").
	std::vector<std::string> allowedOrigins;
};

// False with a message naming the option when one lacks its value.
bool parseServerOptions(int argc, const char *const argv[], ServerOptions &options, std::string &message);

} // namespace tiloran
