// Creates the server's configuration object as the server does at start-up and
// ends, so that a test can read the lines it prints under an environment of its
// choosing. The only argument, "portable", selects portable mode.

#include <exception>
#include <string>

#include "common/ConsoleLine.h"
#include "config/ConfigManager.h"

int main(int argc, char **argv)
{
	const bool portable = argc > 1 && std::string(argv[1]) == "portable";
	try {
		tiloran::ConfigManager config(portable);
	} catch (const std::exception &error) {
		tiloran::printErrorLine(std::string("[Error] Fatal error: ") + error.what());
		return 1;
	}
	return 0;
}
