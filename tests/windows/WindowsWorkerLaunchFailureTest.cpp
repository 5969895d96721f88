#include <gtest/gtest.h>

#include <windows.h>

#include "supervision/WorkerSupervisor.h"
#include "WindowsTestSupport.h"

namespace tiloran::test {
namespace {

// This test program's directory has no worker beside it; the test places a
// file that is no program there for the failed launch and removes it again.
class PlacedFile
{
public:
	PlacedFile(std::filesystem::path path, const std::string &contents) : path_(std::move(path))
	{
		HANDLE file = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
					  nullptr);
		if (file == INVALID_HANDLE_VALUE)
			throw std::runtime_error("cannot create " + path_.string());
		DWORD written = 0;
		WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
		CloseHandle(file);
	}
	~PlacedFile()
	{
		std::error_code ignored;
		std::filesystem::remove(path_, ignored);
	}
	PlacedFile(const PlacedFile &) = delete;
	PlacedFile &operator=(const PlacedFile &) = delete;

private:
	std::filesystem::path path_;
};

TEST(WindowsWorkerLaunchFailure, MissingWorkerThenAFileThatIsNoProgram)
{
	const std::filesystem::path worker = ownDirectory() / "zenvo_tiloran_worker.exe";
	std::filesystem::remove(worker);
	ConsoleCapture console;
	WorkerSupervisor supervisor;
	std::string error;

	// The message names the full path built from the program's own directory.
	EXPECT_FALSE(supervisor.start(3000, error));
	EXPECT_EQ(error, "Worker executable not found: " + worker.string());
	EXPECT_EQ(worker.string().substr(1, 2), ":\\");

	// Only existence is tested; the system refuses to run the file, and its
	// text keeps the trailing CR LF.
	{
		PlacedFile notAProgram(worker, "this is not a program\r\n");
		EXPECT_FALSE(supervisor.start(3000, error));
	}
	EXPECT_EQ(error, "Failed to start Worker: " + systemMessage(ERROR_BAD_EXE_FORMAT));
	EXPECT_EQ(error.substr(error.size() - 2), "\r\n");
	EXPECT_GT(error.size(), std::string("Failed to start Worker: \r\n").size());
	EXPECT_FALSE(supervisor.isRunning());

	// A failed start logs nothing.
	EXPECT_EQ(console.text(), "");
}

} // namespace
} // namespace tiloran::test
