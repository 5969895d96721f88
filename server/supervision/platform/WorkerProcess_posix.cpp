#include "supervision/platform/WorkerProcess.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <string_view>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace tiloran::platform {

namespace {

// Called through syscall(): some C library versions declare these without
// C linkage for C++ callers, or not at all.
int openPidDescriptor(pid_t pid)
{
	return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

int sendSignalThroughPidDescriptor(int pidDescriptor, int signal)
{
	return static_cast<int>(syscall(SYS_pidfd_send_signal, pidDescriptor, signal, nullptr, 0));
}

std::string errorText(int error)
{
	return std::strerror(error);
}

// A descriptor closed on destruction.
class FileDescriptor
{
public:
	FileDescriptor() = default;
	explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
	~FileDescriptor() { reset(); }
	FileDescriptor(const FileDescriptor &) = delete;
	FileDescriptor &operator=(const FileDescriptor &) = delete;

	int get() const { return descriptor_; }
	void reset(int descriptor = -1)
	{
		if (descriptor_ >= 0)
			::close(descriptor_);
		descriptor_ = descriptor;
	}

private:
	int descriptor_ = -1;
};

} // namespace

std::string workerExecutableName()
{
	return "zenvo_tiloran_worker";
}

std::string ownExecutablePath()
{
	char buffer[PATH_MAX];
	ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer));
	if (length <= 0 || static_cast<size_t>(length) >= sizeof(buffer))
		return {};
	return std::string(buffer, static_cast<size_t>(length));
}

bool pathExists(const std::filesystem::path &path)
{
	std::error_code error;
	bool exists = std::filesystem::exists(path, error);
	if (!error)
		return exists;
	if (error.value() == ENOENT || error.value() == ENOTDIR || error.value() == ENAMETOOLONG)
		return false;
	throw std::filesystem::filesystem_error("exists", path, error);
}

struct ProcessHandle::State {
	pid_t pid = -1;
	FileDescriptor pidDescriptor;
};

ProcessHandle::ProcessHandle() = default;
ProcessHandle::ProcessHandle(std::unique_ptr<State> state) : state_(std::move(state)) {}
ProcessHandle::~ProcessHandle() = default;
ProcessHandle::ProcessHandle(ProcessHandle &&other) noexcept = default;
ProcessHandle &ProcessHandle::operator=(ProcessHandle &&other) noexcept = default;

ProcessHandle::operator bool() const
{
	return state_ != nullptr;
}

std::uint32_t ProcessHandle::id() const
{
	return state_ ? static_cast<std::uint32_t>(state_->pid) : 0;
}

WaitResult ProcessHandle::waitForEnd(std::chrono::milliseconds timeout, std::uint32_t &exitCode,
				     std::string &message) const
{
	pollfd descriptor{ state_->pidDescriptor.get(), POLLIN, 0 };
	int ready = poll(&descriptor, 1, static_cast<int>(timeout.count()));
	if (ready == 0 || (ready < 0 && errno == EINTR))
		return WaitResult::TimedOut;
	if (ready < 0) {
		message = errorText(errno);
		return WaitResult::Failed;
	}

	siginfo_t information{};
	int result;
	do {
		result = waitid(P_PID, static_cast<id_t>(state_->pid), &information, WEXITED);
	} while (result < 0 && errno == EINTR);
	if (result < 0) {
		message = errorText(errno);
		return WaitResult::Failed;
	}

	// A signal's end as a shell reports it: terminate()'s SIGKILL gives
	// terminatedExitCode.
	if (information.si_code == CLD_EXITED)
		exitCode = static_cast<std::uint32_t>(information.si_status);
	else
		exitCode = 128 + static_cast<std::uint32_t>(information.si_status);
	return WaitResult::Ended;
}

ActiveState ProcessHandle::queryActive() const
{
	siginfo_t information{};
	if (waitid(P_PID, static_cast<id_t>(state_->pid), &information, WEXITED | WNOHANG | WNOWAIT) < 0)
		return ActiveState::Unknown;
	return information.si_pid == 0 ? ActiveState::Active : ActiveState::Ended;
}

bool ProcessHandle::terminate(std::string &message) const
{
	if (sendSignalThroughPidDescriptor(state_->pidDescriptor.get(), SIGKILL) < 0) {
		message = errorText(errno);
		return false;
	}
	return true;
}

void ProcessHandle::close()
{
	state_.reset();
}

namespace {

// Where the child finds its end of the channel.
constexpr int childChannelDescriptor = 3;

struct LaunchRequest {
	const std::string *program;
	const std::vector<std::string> *arguments;
	const std::string *workingDirectory;
	const ChannelStream *channel;
	const std::vector<EnvironmentVariable> *variables;
	std::unique_ptr<ProcessHandle::State> process;
	std::string message;
	bool done = false;
};

// Writes the errno of a failed step to the parent and ends the child. Only
// async-signal-safe calls: the parent has other threads.
[[noreturn]] void failChild(int reportDescriptor)
{
	int error = errno;
	ssize_t ignored = write(reportDescriptor, &error, sizeof(error));
	(void)ignored;
	_exit(127);
}

void closeDescriptorsFrom(unsigned int first, unsigned int last, int highestDescriptor)
{
	if (first > last)
		return;
	if (close_range(first, last, 0) == 0)
		return;
	for (unsigned int descriptor = first; descriptor <= last && descriptor <= static_cast<unsigned int>(highestDescriptor); ++descriptor)
		::close(static_cast<int>(descriptor));
}

void launchOnThisThread(LaunchRequest &request)
{
	// Everything the child needs is prepared before fork.
	std::vector<std::string> argumentTexts;
	argumentTexts.push_back(*request.program);
	argumentTexts.insert(argumentTexts.end(), request.arguments->begin(), request.arguments->end());
	std::vector<char *> argv;
	for (std::string &text : argumentTexts)
		argv.push_back(text.data());
	argv.push_back(nullptr);
	const char *directory = request.workingDirectory->empty() ? nullptr : request.workingDirectory->c_str();

	// The server's environment, with the channel named to the child and
	// the caller's variables in place of the server's own.
	std::vector<EnvironmentVariable> variables = *request.variables;
	if (request.channel)
		variables.push_back({ channelVariable, std::to_string(childChannelDescriptor) });
	std::vector<std::string> environmentTexts;
	for (char **entry = environ; *entry != nullptr; ++entry) {
		const std::string_view text(*entry);
		const bool replaced = std::any_of(variables.begin(), variables.end(), [&](const EnvironmentVariable &variable) {
			return text.rfind(variable.name + "=", 0) == 0;
		});
		if (!replaced)
			environmentTexts.emplace_back(text);
	}
	for (const EnvironmentVariable &variable : variables)
		environmentTexts.push_back(variable.name + "=" + variable.value);
	std::vector<char *> envp;
	for (std::string &text : environmentTexts)
		envp.push_back(text.data());
	envp.push_back(nullptr);

	sigset_t noSignals;
	sigemptyset(&noSignals);
	pid_t parent = getpid();
	long openMax = sysconf(_SC_OPEN_MAX);
	int highestDescriptor = openMax > 0 && openMax < INT_MAX ? static_cast<int>(openMax) : 65536;

	int reportPipe[2];
	if (pipe2(reportPipe, O_CLOEXEC) < 0) {
		request.message = errorText(errno);
		return;
	}
	FileDescriptor reportRead(reportPipe[0]);
	FileDescriptor reportWrite(reportPipe[1]);
	// The child closes everything above the channel's place except this end,
	// so it must sit above it (also in a server started with a standard
	// descriptor closed), and so must the channel until it is moved there.
	const int firstFree = childChannelDescriptor + 1;
	if (reportWrite.get() < firstFree) {
		int moved = fcntl(reportWrite.get(), F_DUPFD_CLOEXEC, firstFree);
		if (moved < 0) {
			request.message = errorText(errno);
			return;
		}
		reportWrite.reset(moved);
	}
	int reportDescriptor = reportWrite.get();
	FileDescriptor channelCopy;
	if (request.channel) {
		channelCopy.reset(fcntl(static_cast<int>(request.channel->readHandle()), F_DUPFD_CLOEXEC, firstFree));
		if (channelCopy.get() < 0) {
			request.message = errorText(errno);
			return;
		}
	}
	const int channelDescriptor = channelCopy.get();

	pid_t pid = fork();
	if (pid < 0) {
		request.message = errorText(errno);
		return;
	}
	if (pid == 0) {
		// The server blocks its shutdown signals in every thread; the worker
		// must get the default behaviour back.
		sigprocmask(SIG_SETMASK, &noSignals, nullptr);
		// A server that dies asks its worker to stop: the worker closes its
		// SRT link in order (the receiver learns at once) and exits.
		if (prctl(PR_SET_PDEATHSIG, SIGTERM) < 0)
			failChild(reportDescriptor);
		if (getppid() != parent)
			_exit(127);
		if (directory && chdir(directory) < 0)
			failChild(reportDescriptor);
		// Only standard input, output and error and the channel go to the
		// worker; the report pipe closes itself on exec. dup2 leaves the
		// channel's new descriptor open across exec.
		unsigned int firstClosed = childChannelDescriptor;
		if (channelDescriptor >= 0) {
			if (dup2(channelDescriptor, childChannelDescriptor) < 0)
				failChild(reportDescriptor);
			firstClosed = childChannelDescriptor + 1;
		}
		unsigned int kept = static_cast<unsigned int>(reportDescriptor);
		closeDescriptorsFrom(firstClosed, kept - 1, highestDescriptor);
		closeDescriptorsFrom(kept + 1, ~0U, highestDescriptor);
		execve(argv[0], argv.data(), envp.data());
		failChild(reportDescriptor);
	}

	reportWrite.reset();
	int childError = 0;
	ssize_t received;
	do {
		received = read(reportRead.get(), &childError, sizeof(childError));
	} while (received < 0 && errno == EINTR);

	if (received > 0) {
		int status;
		while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
		}
		request.message = errorText(childError);
		return;
	}

	auto process = std::make_unique<ProcessHandle::State>();
	process->pid = pid;
	int pidDescriptor = openPidDescriptor(pid);
	if (pidDescriptor < 0) {
		request.message = errorText(errno);
		kill(pid, SIGKILL);
		int status;
		while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
		}
		return;
	}
	process->pidDescriptor.reset(pidDescriptor);
	request.process = std::move(process);
}

} // namespace

struct ProcessLauncher::Private {
	std::mutex callMutex;
	std::mutex mutex;
	std::condition_variable condition;
	LaunchRequest *request = nullptr;
	bool stopping = false;
	std::thread thread;

	void run()
	{
		std::unique_lock lock(mutex);
		while (true) {
			condition.wait(lock, [this] { return stopping || (request && !request->done); });
			if (stopping)
				return;
			LaunchRequest &current = *request;
			lock.unlock();
			launchOnThisThread(current);
			lock.lock();
			current.done = true;
			condition.notify_all();
		}
	}
};

ProcessLauncher::ProcessLauncher()
	: private_(std::make_unique<Private>())
{
	private_->thread = std::thread([this] { private_->run(); });
}

ProcessLauncher::~ProcessLauncher()
{
	{
		std::lock_guard lock(private_->mutex);
		private_->stopping = true;
	}
	private_->condition.notify_all();
	private_->thread.join();
}

bool ProcessLauncher::launch(const std::string &program, const std::vector<std::string> &arguments,
			     const std::string &workingDirectory, const ChannelStream *channel,
			     const std::vector<EnvironmentVariable> &variables, ProcessHandle &process, std::string &message)
{
	std::lock_guard call(private_->callMutex);
	LaunchRequest request{ &program, &arguments, &workingDirectory, channel, &variables, nullptr, {}, false };
	{
		std::unique_lock lock(private_->mutex);
		private_->request = &request;
		private_->condition.notify_all();
		private_->condition.wait(lock, [&request] { return request.done; });
		private_->request = nullptr;
	}
	if (!request.process) {
		message = request.message;
		return false;
	}
	process = ProcessHandle(std::move(request.process));
	return true;
}

} // namespace tiloran::platform
