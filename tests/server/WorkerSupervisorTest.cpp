#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "supervision/WorkerSupervisor.h"
#include "support/CapturedOutputTest.h"
#include "support/TestSupport.h"

using tiloran::WorkerSupervisor;
namespace test = tiloran::test;

namespace {

// What the stand-in wrote about itself: pid, cwd, args, fds.
std::map<std::string, std::string> readReport(const std::filesystem::path &path)
{
	std::map<std::string, std::string> report;
	std::ifstream file(path);
	std::string line;
	while (std::getline(file, line)) {
		auto separator = line.find('=');
		if (separator != std::string::npos)
			report[line.substr(0, separator)] = line.substr(separator + 1);
	}
	return report;
}

bool waitForReport(const std::filesystem::path &path)
{
	return test::waitUntil([&] { return std::filesystem::exists(path); }, test::kGenerousTimeout);
}

// A process is gone once it no longer exists or is only a zombie waiting for
// a parent outside this test to reap it.
bool processGone(pid_t pid)
{
	std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
	if (!stat)
		return true;
	std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
	auto close = text.rfind(')');
	return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

int childProcessCount()
{
	int count = 0;
	std::string parentLine = "PPid:\t" + std::to_string(getpid());
	for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
		std::ifstream status(entry.path() / "status");
		std::string line;
		while (std::getline(status, line)) {
			if (line == parentLine)
				++count;
		}
	}
	return count;
}

int countOf(const std::string &text, const std::string &part)
{
	int count = 0;
	for (auto position = text.find(part); position != std::string::npos; position = text.find(part, position + 1))
		++count;
	return count;
}

class WorkerSupervisorTest : public test::CapturedOutputTest
{
protected:
	const std::string standIn = test::standInWorkerProgram().string();
	test::TemporaryDirectory directory;
};

} // namespace

TEST_F(WorkerSupervisorTest, WorkerEndingByItselfIsReportedAndClearsTheRecord)
{
	test::ScopedEnvironment exitCode("TILORAN_STAND_IN_EXIT_CODE", "3");
	std::string error;
	{
		WorkerSupervisor supervisor(standIn);
		ASSERT_TRUE(supervisor.start(3000, error)) << error;
		EXPECT_TRUE(error.empty());
		EXPECT_TRUE(test::waitUntil([&] { return !supervisor.isRunning(); }, test::kGenerousTimeout));

		EXPECT_TRUE(supervisor.stop(error));
		EXPECT_EQ(error, "Worker process is not running");

		// A second start joins the finished monitor and launches anew.
		error.clear();
		ASSERT_TRUE(supervisor.start(3000, error)) << error;
		EXPECT_TRUE(test::waitUntil([&] { return !supervisor.isRunning(); }, test::kGenerousTimeout));
	}

	std::string text = output();
	std::smatch match;
	ASSERT_TRUE(std::regex_search(text, match, std::regex(R"(\[WorkerSupervisor\] Worker PID: (\d+)\n)")));
	std::string pid = match[1];
	EXPECT_NE(text.find("[WorkerSupervisor] Worker started: " + standIn + "\n[WorkerSupervisor] Worker PID: " + pid +
			    "\n"),
		  std::string::npos)
		<< text;
	EXPECT_NE(text.find("[WorkerSupervisor] Worker PID " + pid + " exited with code 3\n"), std::string::npos) << text;
	EXPECT_EQ(countOf(text, " exited with code 3\n"), 2) << text;
	// The stop in between and the destruction each find no worker.
	EXPECT_EQ(countOf(text, "[WorkerSupervisor] Worker process is not running\n"), 2) << text;
	EXPECT_EQ(countOf(text, "Terminating"), 0) << text;
}

TEST_F(WorkerSupervisorTest, StopTerminatesALiveWorkerAndWaitsForItsEnd)
{
	test::ScopedEnvironment report("TILORAN_STAND_IN_REPORT", (directory.path() / "report").string());
	WorkerSupervisor supervisor(standIn);
	std::string error;
	ASSERT_TRUE(supervisor.start(3000, error)) << error;
	ASSERT_TRUE(waitForReport(directory.path() / "report"));
	pid_t pid = std::stoi(readReport(directory.path() / "report")["pid"]);
	EXPECT_TRUE(supervisor.isRunning());

	error = "untouched";
	EXPECT_FALSE(supervisor.start(3000, error));
	EXPECT_EQ(error, "Worker process is already running");

	error = "untouched";
	EXPECT_TRUE(supervisor.stop(error));
	EXPECT_EQ(error, "untouched");
	// The record is empty and the process reaped when stop returns.
	EXPECT_FALSE(supervisor.isRunning());
	EXPECT_TRUE(processGone(pid));

	std::string text = output();
	std::string id = std::to_string(pid);
	EXPECT_NE(text.find("[WorkerSupervisor] Terminating Worker process PID " + id + "\n[WorkerSupervisor] Worker PID " +
			    id + " exited with code 0\n"),
		  std::string::npos)
		<< text;
}

TEST_F(WorkerSupervisorTest, LaunchFailuresAreReportedWithoutLogging)
{
	std::string missing = (directory.path() / "nowhere" / "zenvo_tiloran_worker").string();
	WorkerSupervisor absent(missing);
	std::string error;
	EXPECT_FALSE(absent.start(3000, error));
	EXPECT_EQ(error, "Worker executable not found: " + missing);

	// Present but not executable: the failed exec is a failed start.
	std::filesystem::path notExecutable = directory.path() / "zenvo_tiloran_worker";
	test::writeFile(notExecutable, "not a program");
	std::filesystem::permissions(notExecutable, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
	WorkerSupervisor unrunnable(notExecutable.string());
	error.clear();
	EXPECT_FALSE(unrunnable.start(3000, error));
	EXPECT_EQ(error, "Failed to start Worker: Permission denied");
	EXPECT_FALSE(unrunnable.isRunning());

	std::string text = output();
	EXPECT_EQ(text, "");
}

TEST_F(WorkerSupervisorTest, WorkerRunsInItsOwnDirectoryWithOnlyTheStandardDescriptors)
{
	// A listening socket that would leak into a child if the launch did not
	// close every descriptor beyond the standard three.
	int listener = socket(AF_INET, SOCK_STREAM, 0);
	ASSERT_GE(listener, 0);
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
	ASSERT_EQ(listen(listener, 4), 0);

	test::TemporaryDirectory elsewhere;
	test::ScopedWorkingDirectory workingDirectory(elsewhere.path());
	test::ScopedEnvironment report("TILORAN_STAND_IN_REPORT", (directory.path() / "report").string());
	{
		WorkerSupervisor supervisor(standIn);
		std::string error;
		ASSERT_TRUE(supervisor.start(-17, error)) << error;
		ASSERT_TRUE(waitForReport(directory.path() / "report"));
	}
	close(listener);
	output();

	auto fields = readReport(directory.path() / "report");
	EXPECT_EQ(fields["cwd"], test::standInWorkerProgram().parent_path().string());
	EXPECT_EQ(fields["args"], "start -17");
	EXPECT_EQ(fields["fds"], "0 1 2 3");
}

TEST_F(WorkerSupervisorTest, WorkerDiesWithTheServer)
{
	std::filesystem::path reportPath = directory.path() / "report";
	test::ScopedEnvironment report("TILORAN_STAND_IN_REPORT", reportPath.string());

	// The supervising process stands in for the server; it is killed without
	// any chance to clean up.
	pid_t server = fork();
	ASSERT_GE(server, 0);
	if (server == 0) {
		WorkerSupervisor supervisor(standIn);
		std::string error;
		if (!supervisor.start(3000, error))
			_exit(1);
		while (true)
			pause();
	}

	bool reported = waitForReport(reportPath);
	kill(server, SIGKILL);
	int status;
	waitpid(server, &status, 0);
	output();
	ASSERT_TRUE(reported);

	pid_t worker = std::stoi(readReport(reportPath)["pid"]);
	EXPECT_TRUE(test::waitUntil([&] { return processGone(worker); }, test::kGenerousTimeout));
}

TEST_F(WorkerSupervisorTest, ConcurrentStartsAndStopsNeverLeaveTwoWorkers)
{
	std::filesystem::path lockPath = directory.path() / "worker.lock";
	test::ScopedEnvironment lock("TILORAN_STAND_IN_LOCK", lockPath.string());
	{
		// Twenty threads start and stop at random until thirty workers have
		// been started, however long that takes on this machine.
		constexpr int wantedStarts = 30;
		WorkerSupervisor supervisor(standIn);
		std::atomic<int> starts = 0;
		std::atomic<bool> givenUp = false;
		std::vector<std::thread> threads;
		for (int index = 0; index < 20; ++index) {
			threads.emplace_back([&, index] {
				std::mt19937 random(static_cast<unsigned>(index));
				while (starts < wantedStarts && !givenUp) {
					std::string error;
					if (random() % 2) {
						if (supervisor.start(3000, error))
							++starts;
						else
							EXPECT_EQ(error, "Worker process is already running");
					} else {
						EXPECT_TRUE(supervisor.stop(error));
					}
					supervisor.isRunning();
					// Varies the interleaving; nothing depends on its length.
					std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
				}
			});
		}
		EXPECT_TRUE(test::waitUntil([&] { return starts >= wantedStarts; }, test::kGenerousTimeout))
			<< starts.load();
		givenUp = true;
		for (std::thread &thread : threads)
			thread.join();

		std::string error;
		EXPECT_TRUE(supervisor.stop(error));
		EXPECT_FALSE(supervisor.isRunning());
		EXPECT_EQ(childProcessCount(), 0);
	}

	std::string text = output();
	EXPECT_FALSE(std::filesystem::exists(lockPath.string() + ".overlap"));
	EXPECT_EQ(countOf(text, "Worker started: "), countOf(text, " exited with code 0\n")) << text;
	EXPECT_EQ(countOf(text, "exited with code 99"), 0);
}
