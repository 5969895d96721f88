#include "support/ChildProcess.h"

#include "support/TestSupport.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tiloran::test {

namespace {

std::filesystem::path makeOutputDirectory()
{
	std::string pattern = (std::filesystem::temp_directory_path() / "tiloran-child-XXXXXX").string();
	if (!mkdtemp(pattern.data()))
		throw std::runtime_error("mkdtemp failed");
	return pattern;
}

bool waitForText(const std::filesystem::path &file, const std::string &text, std::chrono::milliseconds timeout)
{
	return waitUntil([&] { return readFile(file).find(text) != std::string::npos; }, timeout);
}

} // namespace

ChildProcess::ChildProcess(const std::filesystem::path &program, const std::vector<std::string> &arguments)
	: ChildProcess(program, arguments, Options{})
{
}

ChildProcess::ChildProcess(const std::filesystem::path &program, const std::vector<std::string> &arguments,
			   const Options &options)
	: outputDirectory_(makeOutputDirectory())
{
	const std::string outPath = (outputDirectory_ / "stdout").string();
	const std::string errPath = (outputDirectory_ / "stderr").string();

	// Everything the child needs is prepared before fork: after it, only
	// async-signal-safe calls.
	std::vector<std::string> argumentStrings{ program.string() };
	argumentStrings.insert(argumentStrings.end(), arguments.begin(), arguments.end());
	std::vector<char *> argv;
	for (auto &argument : argumentStrings)
		argv.push_back(argument.data());
	argv.push_back(nullptr);

	std::map<std::string, std::string> environment;
	for (char **entry = environ; *entry; ++entry) {
		std::string text(*entry);
		const auto equals = text.find('=');
		if (equals != std::string::npos)
			environment[text.substr(0, equals)] = text.substr(equals + 1);
	}
	for (const auto &name : options.unsetEnvironment)
		environment.erase(name);
	for (const auto &[name, value] : options.setEnvironment)
		environment[name] = value;
	std::vector<std::string> environmentStrings;
	for (const auto &[name, value] : environment)
		environmentStrings.push_back(name + "=" + value);
	std::vector<char *> envp;
	for (auto &entry : environmentStrings)
		envp.push_back(entry.data());
	envp.push_back(nullptr);

	const std::string workingDirectory = options.workingDirectory.string();
	const int channel = options.channelDescriptor;

	const int outFd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	const int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (outFd < 0 || errFd < 0)
		throw std::runtime_error("cannot create output files of a child process");

	pid_ = fork();
	if (pid_ < 0)
		throw std::runtime_error("fork failed");
	if (pid_ == 0) {
		dup2(outFd, STDOUT_FILENO);
		dup2(errFd, STDERR_FILENO);
		const int nullFd = ::open("/dev/null", O_RDONLY);
		if (nullFd >= 0)
			dup2(nullFd, STDIN_FILENO);
		// dup2 leaves the copy open across exec; a descriptor already in
		// place only needs to lose its close-on-exec flag.
		if (channel == 3)
			fcntl(3, F_SETFD, 0);
		else if (channel >= 0 && dup2(channel, 3) < 0)
			_exit(125);
		// A new process group, so that a test can signal the program without signalling itself.
		setpgid(0, 0);
		if (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0)
			_exit(126);
		execve(argv[0], argv.data(), envp.data());
		_exit(127);
	}
	::close(outFd);
	::close(errFd);
}

ChildProcess::~ChildProcess()
{
	if (!exitStatus_ && pid_ > 0) {
		::kill(pid_, SIGKILL);
		int status = 0;
		waitpid(pid_, &status, 0);
	}
	std::error_code ignored;
	std::filesystem::remove_all(outputDirectory_, ignored);
}

void ChildProcess::signal(int signalNumber) const
{
	// Once reaped, the process id may already belong to another process.
	if (!exitStatus_)
		::kill(pid_, signalNumber);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout)
{
	if (exitStatus_)
		return exitStatus_;
	const auto deadline = std::chrono::steady_clock::now() + timeout;
	for (;;) {
		int status = 0;
		const pid_t result = waitpid(pid_, &status, WNOHANG);
		if (result == pid_) {
			exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
			return exitStatus_;
		}
		if (std::chrono::steady_clock::now() >= deadline)
			return std::nullopt;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
}

bool ChildProcess::running()
{
	return !waitForExit(std::chrono::milliseconds(0)).has_value();
}

std::string ChildProcess::standardOutput() const
{
	return readFile(outputDirectory_ / "stdout");
}

std::string ChildProcess::standardError() const
{
	return readFile(outputDirectory_ / "stderr");
}

bool ChildProcess::waitForOutput(const std::string &text, std::chrono::milliseconds timeout) const
{
	return waitForText(outputDirectory_ / "stdout", text, timeout);
}

bool ChildProcess::waitForError(const std::string &text, std::chrono::milliseconds timeout) const
{
	return waitForText(outputDirectory_ / "stderr", text, timeout);
}

} // namespace tiloran::test
