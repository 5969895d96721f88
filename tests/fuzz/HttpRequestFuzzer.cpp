// Raw bytes to the API server in process, as a client that sent them and then
// stayed silent: one whole answer comes back, whatever the bytes, with a
// status line, headers and a body as long as it says (or none, for HEAD).

#include <cstddef>
#include <cstdint>
#include <string>

#include "api/ApiServer.h"
#include "supervision/WorkerSupervisor.h"
#include "tests/fuzz/FuzzServerSetup.h"

using tiloran::fuzz::check;

namespace {

std::unique_ptr<tiloran::ApiServer> server;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	auto configuration = tiloran::fuzz::fuzzConfiguration();
	// No worker program: a start is refused after everything before it ran.
	auto supervisor = std::make_shared<tiloran::WorkerSupervisor>("/nonexistent/zenvo_tiloran_worker");
	server = std::make_unique<tiloran::ApiServer>(configuration, supervisor);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0)
		return 0;
	// The first byte chooses the client: on this machine or elsewhere.
	const std::string remote = data[0] % 2 ? "127.0.0.1" : "10.0.0.5";
	const std::string bytes(reinterpret_cast<const char *>(data) + 1, size - 1);
	const std::string answer = server->answer(bytes, remote);

	check(answer.rfind("HTTP/1.1 ", 0) == 0 && answer.size() >= 12);
	const int status = std::stoi(answer.substr(9, 3));
	check(status >= 100 && status <= 599);
	const std::size_t headerEnd = answer.find("\r\n\r\n");
	check(headerEnd != std::string::npos);
	// An answer to HEAD may state the length of the body it leaves out.
	const bool head = bytes.rfind("HEAD ", 0) == 0;
	const std::size_t bodySize = answer.size() - headerEnd - 4;
	const std::size_t length = answer.find("\r\nContent-Length: ");
	if (length != std::string::npos && length < headerEnd) {
		const std::size_t value = length + 18;
		check(std::stoul(answer.substr(value, answer.find("\r\n", value) - value)) == bodySize ||
		      (head && bodySize == 0));
	}
	return 0;
}
