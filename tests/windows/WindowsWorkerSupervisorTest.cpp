#include <gtest/gtest.h>

#include <regex>

#include <windows.h>

#include "supervision/WorkerSupervisor.h"
#include "WindowsTestSupport.h"

namespace tiloran::test {
namespace {


// The stand-in worker lies beside this test program, where the supervisor
// looks for the worker beside the server.
std::string standInWorker()
{
	return (ownDirectory() / "zenvo_tiloran_worker.exe").string();
}

// The process id from the supervisor's "Worker PID: " line (the last one).
std::uint32_t launchedProcessId(const std::string &console)
{
	const std::regex line("\\[WorkerSupervisor\\] Worker PID: ([0-9]+)\n");
	std::uint32_t processId = 0;
	for (auto match = std::sregex_iterator(console.begin(), console.end(), line); match != std::sregex_iterator();
	     ++match)
		processId = static_cast<std::uint32_t>(std::stoul((*match)[1].str()));
	return processId;
}

bool processHasEnded(std::uint32_t processId)
{
	HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
	if (!process)
		return true;
	const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
	CloseHandle(process);
	return ended;
}

TEST(WindowsWorkerSupervisor, LaunchesTheWorkerBesideTheServerAndTerminatesItWithCodeZero)
{
	TemporaryDirectory directory;
	const std::filesystem::path report = directory.path() / "report.txt";
	ScopedEnvironment reportVariable("TILORAN_STAND_IN_REPORT", report.string());
	ScopedEnvironment exitCodeVariable("TILORAN_STAND_IN_EXIT_CODE", std::nullopt);
	ConsoleCapture console;
	WorkerSupervisor supervisor;

	std::string error = "untouched";
	ASSERT_TRUE(supervisor.start(3000, error)) << error;
	EXPECT_EQ(error, "untouched");
	EXPECT_TRUE(supervisor.isRunning());

	const std::uint32_t processId = launchedProcessId(console.text());
	ASSERT_NE(processId, 0u);
	EXPECT_EQ(console.text(), "[WorkerSupervisor] Worker started: " + standInWorker() + "\n" +
					  "[WorkerSupervisor] Worker PID: " + std::to_string(processId) + "\n");

	// The worker runs from its own directory with the quoted path, "start"
	// and the port on its command line, and finds its channel.
	ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(report); }, kGenerousTimeout));
	EXPECT_EQ(readFile(report), "command line: \"" + standInWorker() + "\" start 3000\n" +
					    "working directory: " + ownDirectory().string() + "\n" +
					    "process id: " + std::to_string(processId) + "\n" + "channel: yes\n");

	error = "untouched";
	ASSERT_TRUE(supervisor.stop(error));
	EXPECT_EQ(error, "untouched");
	EXPECT_FALSE(supervisor.isRunning());
	EXPECT_TRUE(processHasEnded(processId));
	const std::string id = std::to_string(processId);
	EXPECT_NE(console.text().find("[WorkerSupervisor] Terminating Worker process PID " + id + "\n" +
				      "[WorkerSupervisor] Worker PID " + id + " exited with code 0\n"),
		  std::string::npos)
		<< console.text();

	// Asked over its channel, the worker ended by itself.
	const std::string events = supervisor.statistics().document(false)["events"].dump();
	EXPECT_NE(events.find("Worker stopped (exit code 0)"), std::string::npos) << events;
	EXPECT_EQ(events.find("terminated"), std::string::npos) << events;

	ASSERT_TRUE(supervisor.stop(error));
	EXPECT_EQ(error, "Worker process is not running");
	EXPECT_NE(console.text().find("[WorkerSupervisor] Worker process is not running\n"), std::string::npos);
}

TEST(WindowsWorkerSupervisor, AWorkerThatDoesNotStopWhenAskedIsTerminated)
{
	ScopedEnvironment exitCodeVariable("TILORAN_STAND_IN_EXIT_CODE", std::nullopt);
	ScopedEnvironment ignoreStop("TILORAN_STAND_IN_IGNORE_STOP", "1");
	ConsoleCapture console;
	WorkerSupervisor supervisor;
	std::string error;
	ASSERT_TRUE(supervisor.start(3000, error)) << error;
	const std::string id = std::to_string(launchedProcessId(console.text()));
	ASSERT_TRUE(supervisor.stop(error));
	EXPECT_FALSE(supervisor.isRunning());
	EXPECT_NE(console.text().find("[WorkerSupervisor] Terminating Worker process PID " + id + "\n" +
				      "[WorkerSupervisor] Worker PID " + id +
					      " terminated: did not stop within 2 s (exit code 137)\n"),
		  std::string::npos)
		<< console.text();
	const std::string events = supervisor.statistics().document(false)["events"].dump();
	EXPECT_NE(events.find("Worker did not stop within 2 s and was terminated"), std::string::npos) << events;
}

TEST(WindowsWorkerSupervisor, MonitorReportsTheWorkersOwnExitCode)
{
	ConsoleCapture console;
	WorkerSupervisor supervisor;
	std::string error;

	{
		// An access violation's code, printed unsigned.
		ScopedEnvironment exitCode("TILORAN_STAND_IN_EXIT_CODE", "3221225477");
		ASSERT_TRUE(supervisor.start(3000, error)) << error;
	}
	const std::string first = std::to_string(launchedProcessId(console.text()));
	EXPECT_TRUE(console.waitFor("[WorkerSupervisor] Worker PID " + first + " exited with code 3221225477\n",
				    kGenerousTimeout))
		<< console.text();
	EXPECT_TRUE(waitUntil([&] { return !supervisor.isRunning(); }, kGenerousTimeout));

	ASSERT_TRUE(supervisor.stop(error));
	EXPECT_EQ(error, "Worker process is not running");
	EXPECT_EQ(console.text().find("Terminating"), std::string::npos);

	// A new start after a worker ended by itself launches a new one.
	{
		ScopedEnvironment exitCode("TILORAN_STAND_IN_EXIT_CODE", "7");
		ASSERT_TRUE(supervisor.start(3000, error)) << error;
	}
	const std::string second = std::to_string(launchedProcessId(console.text()));
	EXPECT_NE(second, first);
	EXPECT_TRUE(
		console.waitFor("[WorkerSupervisor] Worker PID " + second + " exited with code 7\n", kGenerousTimeout))
		<< console.text();
}

TEST(WindowsWorkerSupervisor, SecondStartIsRefusedAndDestructionTerminatesTheWorker)
{
	ScopedEnvironment exitCodeVariable("TILORAN_STAND_IN_EXIT_CODE", std::nullopt);
	ConsoleCapture console;
	std::uint32_t processId = 0;
	{
		WorkerSupervisor supervisor;
		std::string error;
		ASSERT_TRUE(supervisor.start(3000, error)) << error;
		processId = launchedProcessId(console.text());

		EXPECT_FALSE(supervisor.start(3000, error));
		EXPECT_EQ(error, "Worker process is already running");
		EXPECT_TRUE(supervisor.isRunning());
	}
	const std::string id = std::to_string(processId);
	EXPECT_NE(console.text().find("[WorkerSupervisor] Terminating Worker process PID " + id + "\n" +
				      "[WorkerSupervisor] Worker PID " + id + " exited with code 0\n"),
		  std::string::npos)
		<< console.text();
	EXPECT_TRUE(processHasEnded(processId));
}

} // namespace
} // namespace tiloran::test
