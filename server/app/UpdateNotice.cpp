#include "app/UpdateNotice.h"

#include <cstdlib>
#include <thread>

#include <httplib.h>

#include "common/ConsoleLine.h"

namespace tiloran {

std::string checkForUpdate(const std::string &url)
{
	const std::string scheme = "http://";
	std::string::size_type pathStart = url.find('/', scheme.size());
	std::string origin = url.substr(0, pathStart);
	std::string path = pathStart == std::string::npos ? "/" : url.substr(pathStart);

	httplib::Client client(origin);
	client.set_connection_timeout(5);
	client.set_read_timeout(10);
	httplib::Result result = client.Get(path);
	if (!result)
		return "[Server] Update check failed: " + httplib::to_string(result.error());
	return "[Server] Update check: HTTP " + std::to_string(result->status);
}

void startUpdateNotice()
{
	const char *variable = std::getenv("TILORAN_UPDATE_URL");
	std::string url = variable ? variable : "";
	std::thread([url] {
		if (url.rfind("http://", 0) != 0 || url.size() <= 7)
			return;
		printLine(checkForUpdate(url));
	}).detach();
}

} // namespace tiloran
