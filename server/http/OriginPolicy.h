#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tiloran {

// Which requests come from a party that may control this server, judged by
// their Host and Origin headers.
//
// Host: a browser sends the name it was given, so a name outside this
// server's own (localhost, the loopback addresses, the machine's host name
// and addresses, the allowed hosts) means a page that rebound another site's
// name to this machine. Origin: a browser names the page behind every POST;
// a page of another site may not change state, nor read answers. Scripts send
// no Origin and keep working.
//
// Threading: any thread; the machine's names are read again when a Host is
// not among those known, under the object's own lock.
class OriginPolicy
{
public:
	struct Settings {
		// Further names of this server (as in Host, without port).
		std::vector<std::string> allowedHosts;
		// Origins of other sites' pages that may control it
		// ("http://name:port").
		std::vector<std::string> allowedOrigins;
	};

	enum class Origin {
		None,	 // no Origin header: a script, or a browser's same-origin GET
		Own,	 // this server's own page
		Allowed, // a page of an allowed origin
		Foreign,
	};

	explicit OriginPolicy(Settings settings);

	// Whether a Host header's value (name or address, optionally with a
	// port; IPv6 in brackets) names this server. A request without Host
	// cannot come from a browser and passes.
	bool isOwnHost(std::string_view host);

	// How the Origin header relates to the server reached as host (a value
	// isOwnHost accepted) over http or, with tls, https.
	Origin judgeOrigin(std::string_view origin, std::string_view host, bool tls) const;

	// The lower-case name of a Host header's value, without port and
	// brackets; empty when it is malformed.
	static std::string hostName(std::string_view host);

private:
	bool knows(const std::string &name) const;

	std::vector<std::string> allowedOrigins_;
	std::mutex mutex_;
	std::vector<std::string> names_;
};

} // namespace tiloran
