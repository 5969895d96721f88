// A program that takes the worker's place in the server's tests. It accepts
// the worker's command line and then, steered by its environment:
//   TILORAN_STAND_IN_REPORT=file    writes its pid, working directory, arguments
//                                   and open descriptors to file (atomically);
//   TILORAN_STAND_IN_LOCK=file      holds an exclusive lock on file while it runs;
//                                   if another stand-in holds it, appends a line
//                                   to file + ".overlap" and exits with 99;
//   TILORAN_STAND_IN_EXIT_CODE=N    exits with N;
//   TILORAN_STAND_IN_SAY=file       sends each line of file over the channel;
//   TILORAN_STAND_IN_IGNORE_STOP=1  does not stop when the server asks it to;
// the command "encoders" is answered at once, every named encoder available,
// and nothing else happens; otherwise, given a
// channel, runs until the server asks it to stop or goes away, and without one
// until it is killed.

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <sys/file.h>
#include <unistd.h>

#include "common/LineChannel.h"

namespace {

std::string openDescriptors()
{
	std::set<int> descriptors;
	DIR *directory = opendir("/proc/self/fd");
	if (!directory)
		return "unknown";
	int own = dirfd(directory);
	while (dirent *entry = readdir(directory)) {
		if (entry->d_name[0] == '.')
			continue;
		int descriptor = std::atoi(entry->d_name);
		if (descriptor != own)
			descriptors.insert(descriptor);
	}
	closedir(directory);

	std::string text;
	for (int descriptor : descriptors)
		text += (text.empty() ? "" : " ") + std::to_string(descriptor);
	return text;
}

void writeReport(const std::string &path, int argc, char *argv[])
{
	std::string arguments;
	for (int index = 1; index < argc; ++index)
		arguments += (index > 1 ? " " : "") + std::string(argv[index]);

	// Listed before the report file itself is opened.
	std::string descriptors = openDescriptors();
	std::string temporary = path + ".partial";
	{
		std::ofstream report(temporary, std::ios::trunc);
		report << "pid=" << getpid() << "\n"
		       << "cwd=" << std::filesystem::current_path().string() << "\n"
		       << "args=" << arguments << "\n"
		       << "fds=" << descriptors << "\n";
	}
	std::rename(temporary.c_str(), path.c_str());
}

// Every encoder named on the command line opens, on the channel if given one.
int answerEncoders(int argc, char *argv[])
{
	tiloran::platform::ChannelStream stream;
	std::string message;
	if (!tiloran::platform::ChannelStream::fromEnvironment(stream, message) || !stream)
		return 97;
	std::string answer = R"({"type":"encoders","encoders":[)";
	for (int index = 2; index < argc; ++index)
		answer += std::string(index > 2 ? "," : "") + R"({"available":true,"name":")" + argv[index] + R"("})";
	tiloran::LineChannel(std::move(stream)).writeLine(answer + "]}");
	return 0;
}

} // namespace

int main(int argc, char *argv[])
{
	// The server's question at its start, which encoders open here: answered
	// before the reports and locks, so that those are the runs'.
	if (argc > 1 && std::string(argv[1]) == "encoders")
		return answerEncoders(argc, argv);
	if (const char *report = std::getenv("TILORAN_STAND_IN_REPORT"))
		writeReport(report, argc, argv);

	if (const char *lock = std::getenv("TILORAN_STAND_IN_LOCK")) {
		int descriptor = open(lock, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
		if (descriptor < 0 || flock(descriptor, LOCK_EX | LOCK_NB) < 0) {
			std::ofstream overlap(std::string(lock) + ".overlap", std::ios::app);
			overlap << getpid() << "\n";
			return 99;
		}
	}

	tiloran::platform::ChannelStream stream;
	std::string message;
	if (!tiloran::platform::ChannelStream::fromEnvironment(stream, message))
		return 97;
	if (!stream) {
		if (const char *exitCode = std::getenv("TILORAN_STAND_IN_EXIT_CODE"))
			return std::atoi(exitCode);
		while (true)
			pause();
	}

	tiloran::LineChannel channel(std::move(stream));
	if (const char *say = std::getenv("TILORAN_STAND_IN_SAY")) {
		std::ifstream lines(say);
		for (std::string line; std::getline(lines, line);)
			channel.writeLine(line);
	}
	if (const char *exitCode = std::getenv("TILORAN_STAND_IN_EXIT_CODE"))
		return std::atoi(exitCode);
	if (std::getenv("TILORAN_STAND_IN_IGNORE_STOP")) {
		while (true)
			pause();
	}
	for (std::string line; channel.readLine(line);) {
		if (line == R"({"type":"stop"})")
			return 0;
	}
	// The server is gone.
	return 0;
}
