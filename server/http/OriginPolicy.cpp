#include "http/OriginPolicy.h"

#include <algorithm>
#include <cctype>

#include "http/platform/MachineNames.h"

namespace tiloran {

namespace {

std::string lowerCase(std::string_view text)
{
	std::string lower(text);
	std::transform(lower.begin(), lower.end(), lower.begin(),
		       [](unsigned char character) { return static_cast<char>(std::tolower(character)); });
	return lower;
}

// A name as compared: lower case, without a zone ("%eth0") or a final dot.
std::string comparableName(std::string_view name)
{
	std::string text = lowerCase(name.substr(0, name.find('%')));
	if (!text.empty() && text.back() == '.')
		text.pop_back();
	return text;
}

bool isDigits(std::string_view text)
{
	return !text.empty() && text.size() <= 5 &&
	       std::all_of(text.begin(), text.end(), [](unsigned char character) { return std::isdigit(character); });
}

// Letters, digits, '-', '.', '_' (host names); hex digits, ':' and '.' (IPv6).
bool isNameText(std::string_view text)
{
	return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char character) {
		return std::isalnum(character) || character == '-' || character == '.' || character == '_' ||
		       character == ':';
	});
}

std::vector<std::string> fixedNames(const std::vector<std::string> &allowedHosts)
{
	std::vector<std::string> names = { "localhost", "127.0.0.1", "::1" };
	for (const std::string &host : allowedHosts)
		names.push_back(comparableName(host));
	return names;
}

} // namespace

OriginPolicy::OriginPolicy(Settings settings) : names_(fixedNames(settings.allowedHosts))
{
	for (const std::string &origin : settings.allowedOrigins) {
		std::string text = lowerCase(origin);
		while (!text.empty() && text.back() == '/')
			text.pop_back();
		allowedOrigins_.push_back(text);
	}
	for (const std::string &name : platform::machineNames())
		names_.push_back(comparableName(name));
}

std::string OriginPolicy::hostName(std::string_view host)
{
	std::string_view name = host;
	if (!name.empty() && name.front() == '[') {
		const std::size_t close = name.find(']');
		if (close == std::string_view::npos)
			return {};
		const std::string_view rest = name.substr(close + 1);
		if (!rest.empty() && (rest.front() != ':' || !isDigits(rest.substr(1))))
			return {};
		name = name.substr(1, close - 1);
	} else if (const std::size_t colon = name.rfind(':'); colon != std::string_view::npos) {
		// One colon only: an IPv6 address must come in brackets.
		if (name.find(':') != colon || !isDigits(name.substr(colon + 1)))
			return {};
		name = name.substr(0, colon);
	}
	if (!isNameText(name))
		return {};
	return comparableName(name);
}

bool OriginPolicy::knows(const std::string &name) const
{
	return std::find(names_.begin(), names_.end(), name) != names_.end();
}

bool OriginPolicy::isOwnHost(std::string_view host)
{
	if (host.empty())
		return true;
	const std::string name = hostName(host);
	if (name.empty())
		return false;
	// Any 127.x.y.z is this machine's loopback.
	if (name.rfind("127.", 0) == 0 && name.find_first_not_of("0123456789.") == std::string::npos)
		return true;
	std::lock_guard lock(mutex_);
	if (knows(name))
		return true;
	// An address the machine got since: the system's list is cheap to read.
	for (const std::string &current : platform::machineNames()) {
		const std::string comparable = comparableName(current);
		if (!knows(comparable))
			names_.push_back(comparable);
	}
	return knows(name);
}

OriginPolicy::Origin OriginPolicy::judgeOrigin(std::string_view origin, std::string_view host, bool tls) const
{
	if (origin.empty())
		return Origin::None;
	const std::string text = lowerCase(origin);
	if (text == std::string(tls ? "https://" : "http://") + lowerCase(host))
		return Origin::Own;
	if (std::find(allowedOrigins_.begin(), allowedOrigins_.end(), text) != allowedOrigins_.end())
		return Origin::Allowed;
	return Origin::Foreign;
}

} // namespace tiloran
