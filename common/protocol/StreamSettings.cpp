#include "common/protocol/StreamSettings.h"

#include <algorithm>
#include <charconv>
#include <utility>
#include <string_view>

namespace tiloran {

namespace {

// The number of characters of UTF-8 text (its bytes that start one).
std::size_t characterCount(std::string_view text)
{
	return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char byte) {
		return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
	}));
}

bool isHostAndPort(std::string_view hostPort, SrtTarget &target)
{
	const std::size_t colon = hostPort.rfind(':');
	if (colon == std::string_view::npos || colon == 0)
		return false;
	const std::string_view host = hostPort.substr(0, colon);
	const std::string_view port = hostPort.substr(colon + 1);
	if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos)
		return false;
	int portNumber = 0;
	std::from_chars(port.data(), port.data() + port.size(), portNumber);
	if (portNumber < kSrtPortMin || portNumber > kSrtPortMax)
		return false;
	std::string_view name = host;
	if (host.front() == '[') {
		if (host.size() <= 2 || host.back() != ']')
			return false;
		name = host.substr(1, host.size() - 2);
		if (name.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos)
			return false;
	} else if (host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_") !=
		   std::string_view::npos) {
		return false;
	}
	target.host = name;
	target.port = portNumber;
	return true;
}

} // namespace

SrtTargetProblem checkSrtTarget(const std::string &hostPort, SrtTarget &target)
{
	if (characterCount(hostPort) > kSrtHostPortMaxLength)
		return SrtTargetProblem::TooLong;
	if (!hostPort.empty() && hostPort.front() != '[' && hostPort.find(':') != std::string::npos &&
	    hostPort.rfind(':') > kSrtHostNameMaxLength)
		return SrtTargetProblem::HostNameTooLong;
	SrtTarget parsed;
	if (!isHostAndPort(hostPort, parsed))
		return SrtTargetProblem::NotHostAndPort;
	target = std::move(parsed);
	return SrtTargetProblem::None;
}

bool isUsableVideoBitrate(std::int64_t videoBitrate)
{
	return (videoBitrate >= kVideoBitrateMinMbps && videoBitrate <= kVideoBitrateMaxMbps) ||
	       (videoBitrate >= kVideoBitrateMinBitsPerSecond && videoBitrate <= kVideoBitrateMaxBitsPerSecond);
}

std::int64_t videoBitrateBitsPerSecond(std::int64_t videoBitrate)
{
	return videoBitrate >= kVideoBitrateMinMbps && videoBitrate <= kVideoBitrateMaxMbps ? videoBitrate * 1000000
											     : videoBitrate;
}

std::string videoBitrateRangeText()
{
	return "from " + std::to_string(kVideoBitrateMinMbps) + " to " + std::to_string(kVideoBitrateMaxMbps) +
	       " (Mbit/s) or from " + std::to_string(kVideoBitrateMinBitsPerSecond) + " to " +
	       std::to_string(kVideoBitrateMaxBitsPerSecond) + " (bit/s)";
}

} // namespace tiloran
