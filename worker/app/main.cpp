#include <charconv>
#include <csignal>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "app/EncoderCheck.h"
#include "app/WorkerControl.h"
#include "common/ConsoleLine.h"
#include "common/PrintableText.h"

namespace {

void printUsage()
{
	tiloran::printErrorLine("Usage:");
	tiloran::printErrorLine("  zenvo_tiloran_worker start <encoder_http_port>");
	tiloran::printErrorLine("  zenvo_tiloran_worker list");
	tiloran::printErrorLine("  zenvo_tiloran_worker encoders <encoder_name>...");
}

// The whole argument must be a plain decimal 32-bit integer (an optional minus
// sign, digits, nothing else) within 1..65535.
bool parsePort(std::string_view text, int &port)
{
	int32_t value = 0;
	const char *end = text.data() + text.size();
	const auto [position, error] = std::from_chars(text.data(), end, value, 10);
	if (error != std::errc() || position != end || text.empty())
		return false;
	if (value < 1 || value > 65535)
		return false;
	port = value;
	return true;
}

int runCommand(int argc, char **argv)
{
	if (argc < 2) {
		tiloran::printErrorLine("[Worker] Missing command");
		printUsage();
		return 1;
	}

	const std::string_view command = argv[1];
	if (command == "list") {
		tiloran::printLine("not implemented");
		return 0;
	}
	if (command == "encoders")
		return tiloran::checkEncoders(std::vector<std::string>(argv + 2, argv + argc));
	if (command != "start") {
		tiloran::printErrorLine("[Worker] Unknown command: " + tiloran::printableText(command));
		printUsage();
		return 1;
	}

	if (argc < 3) {
		tiloran::printErrorLine("[Worker] Missing encoder HTTP port for start command");
		printUsage();
		return 1;
	}

	int port = 0;
	if (!parsePort(argv[2], port)) {
		tiloran::printErrorLine("[Worker] Invalid encoder HTTP port: " + tiloran::printableText(argv[2]));
		return 1;
	}
	return tiloran::runWorker(port);
}

} // namespace

int main(int argc, char **argv)
{
#ifdef SIGXFSZ
	// A file size limit (ulimit -f) fails the recording's write, which ends
	// the recording; by default the signal would end the whole worker.
	std::signal(SIGXFSZ, SIG_IGN);
#endif
	try {
		return runCommand(argc, argv);
	} catch (const std::exception &error) {
		tiloran::printErrorLine("[Worker] Fatal error: " + tiloran::printableText(error.what()));
		return 1;
	}
}
