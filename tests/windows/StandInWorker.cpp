// Stands in for the media worker in the Windows supervisor tests. It records
// how it was started (command line, working directory, process id, whether it
// was given a channel) in the file that TILORAN_STAND_IN_REPORT names, then
// ends at once with the exit code that TILORAN_STAND_IN_EXIT_CODE gives, or
// runs until the server asks it to stop over its channel (unless
// TILORAN_STAND_IN_IGNORE_STOP is set) or terminates it. The command
// "encoders" it answers at once on its channel, every named encoder available.

#include <cstdlib>
#include <string>

#include <windows.h>

#include "common/LineChannel.h"

namespace {

bool writeReport(const std::string &path, bool channel)
{
	char directory[MAX_PATH];
	const DWORD length = GetCurrentDirectoryA(MAX_PATH, directory);
	const std::string contents = std::string("command line: ") + GetCommandLineA() + "\n" +
				     "working directory: " + std::string(directory, length) + "\n" +
				     "process id: " + std::to_string(GetCurrentProcessId()) + "\n" +
				     "channel: " + (channel ? "yes" : "no") + "\n";

	// Written beside and renamed into place, so the test never reads half of it.
	const std::string temporary = path + ".tmp";
	HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
				  FILE_ATTRIBUTE_NORMAL, nullptr);
	if (file == INVALID_HANDLE_VALUE)
		return false;
	DWORD written = 0;
	const bool ok = WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr) &&
			written == contents.size();
	CloseHandle(file);
	return ok && MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

} // namespace

int main(int argc, char **argv)
{
	tiloran::platform::ChannelStream stream;
	std::string message;
	if (!tiloran::platform::ChannelStream::fromEnvironment(stream, message))
		return 97;
	// The server's question at its start, which encoders open here: answered
	// before the report, so that the report is the run's.
	if (argc > 1 && std::string(argv[1]) == "encoders") {
		if (!stream)
			return 97;
		std::string answer = R"({"type":"encoders","encoders":[)";
		for (int index = 2; index < argc; ++index)
			answer += std::string(index > 2 ? "," : "") + R"({"available":true,"name":")" + argv[index] + R"("})";
		tiloran::LineChannel(std::move(stream)).writeLine(answer + "]}");
		return 0;
	}

	if (const char *report = std::getenv("TILORAN_STAND_IN_REPORT")) {
		if (!writeReport(report, static_cast<bool>(stream)))
			return 98;
	}

	if (const char *exitCode = std::getenv("TILORAN_STAND_IN_EXIT_CODE"))
		ExitProcess(static_cast<UINT>(std::strtoul(exitCode, nullptr, 10)));

	if (stream && !std::getenv("TILORAN_STAND_IN_IGNORE_STOP")) {
		tiloran::LineChannel channel(std::move(stream));
		for (std::string line; channel.readLine(line);) {
			if (line == R"({"type":"stop"})")
				return 0;
		}
		// The server is gone.
		return 0;
	}

	// A test that forgets to terminate its worker must not leave it behind
	// for long.
	Sleep(60000);
	return 99;
}
