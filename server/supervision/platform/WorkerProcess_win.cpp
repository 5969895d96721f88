#include "supervision/platform/WorkerProcess.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include <windows.h>

namespace tiloran::platform {

namespace {

// Text of the calling thread's last error, with the system's trailing CR LF.
std::string lastErrorMessage()
{
	DWORD error = GetLastError();
	if (error == 0)
		return {};

	LPSTR buffer = nullptr;
	DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
					      FORMAT_MESSAGE_IGNORE_INSERTS,
				      nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
				      reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
	std::string message;
	if (length != 0 && buffer)
		message.assign(buffer, length);
	else
		message = "Unknown Win32 error";
	if (buffer)
		LocalFree(buffer);
	return message;
}

// A kernel handle closed on destruction.
class KernelHandle
{
public:
	KernelHandle() = default;
	explicit KernelHandle(HANDLE handle) : handle_(handle) {}
	~KernelHandle() { reset(); }
	KernelHandle(const KernelHandle &) = delete;
	KernelHandle &operator=(const KernelHandle &) = delete;

	HANDLE get() const { return handle_; }
	void reset(HANDLE handle = nullptr)
	{
		if (handle_)
			CloseHandle(handle_);
		handle_ = handle;
	}

private:
	HANDLE handle_ = nullptr;
};

} // namespace

std::string workerExecutableName()
{
	return "zenvo_tiloran_worker.exe";
}

std::string ownExecutablePath()
{
	char buffer[MAX_PATH];
	DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
	if (length == 0 || length == MAX_PATH)
		return {};
	return std::string(buffer, length);
}

bool pathExists(const std::filesystem::path &path)
{
	std::error_code error;
	bool exists = std::filesystem::exists(path, error);
	if (!error)
		return exists;
	switch (error.value()) {
	case ERROR_FILE_NOT_FOUND:
	case ERROR_PATH_NOT_FOUND:
	case ERROR_BAD_NETPATH:
	case ERROR_INVALID_NAME:
		return false;
	default:
		throw std::filesystem::filesystem_error("exists", path, error);
	}
}

struct ProcessHandle::State {
	KernelHandle process;
	KernelHandle thread;
	DWORD id = 0;
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
	return state_ ? static_cast<std::uint32_t>(state_->id) : 0;
}

WaitResult ProcessHandle::waitForEnd(std::chrono::milliseconds timeout, std::uint32_t &exitCode,
				     std::string &message) const
{
	DWORD result = WaitForSingleObject(state_->process.get(), static_cast<DWORD>(timeout.count()));
	if (result == WAIT_TIMEOUT)
		return WaitResult::TimedOut;
	if (result != WAIT_OBJECT_0) {
		message = lastErrorMessage();
		return WaitResult::Failed;
	}

	DWORD code = 0;
	GetExitCodeProcess(state_->process.get(), &code);
	exitCode = static_cast<std::uint32_t>(code);
	return WaitResult::Ended;
}

ActiveState ProcessHandle::queryActive() const
{
	DWORD code = 0;
	if (!GetExitCodeProcess(state_->process.get(), &code))
		return ActiveState::Unknown;
	return code == STILL_ACTIVE ? ActiveState::Active : ActiveState::Ended;
}

bool ProcessHandle::terminate(std::string &message) const
{
	if (!TerminateProcess(state_->process.get(), terminatedExitCode)) {
		message = lastErrorMessage();
		return false;
	}
	return true;
}

void ProcessHandle::close()
{
	state_.reset();
}

struct ProcessLauncher::Private {
	std::mutex callMutex;
	// Every child is placed in this job, which ends them all when its last
	// handle closes: when the launcher is destroyed, and when the server
	// ends in any other way (crash, killed), so that no orphaned worker
	// keeps holding the capture cards.
	KernelHandle job;
};

ProcessLauncher::ProcessLauncher()
	: private_(std::make_unique<Private>())
{
	private_->job.reset(CreateJobObjectW(nullptr, nullptr));
	if (!private_->job.get())
		return;
	JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
	limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
	if (!SetInformationJobObject(private_->job.get(), JobObjectExtendedLimitInformation, &limits,
				     sizeof(limits)))
		private_->job.reset();
}

ProcessLauncher::~ProcessLauncher() = default;

bool ProcessLauncher::launch(const std::string &program, const std::vector<std::string> &arguments,
			     const std::string &workingDirectory, const ChannelStream *channel,
			     const std::vector<EnvironmentVariable> &variables, ProcessHandle &process, std::string &message)
{
	std::lock_guard call(private_->callMutex);

	std::string commandLine = "\"" + program + "\"";
	for (const std::string &argument : arguments)
		commandLine += " " + argument;

	STARTUPINFOEXA startupInfo{};
	startupInfo.StartupInfo.cb = sizeof(startupInfo);
	PROCESS_INFORMATION processInfo{};
	DWORD flags = 0;
	BOOL inherit = FALSE;
	std::string environment;
	std::vector<char> attributeBuffer;
	HANDLE inherited[2] = {};
	if (channel) {
		// The child inherits exactly its two pipe handles, listed here,
		// and learns their values from its environment.
		inherited[0] = reinterpret_cast<HANDLE>(channel->readHandle());
		inherited[1] = reinterpret_cast<HANDLE>(channel->writeHandle());
		for (HANDLE handle : inherited) {
			if (!SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
				message = lastErrorMessage();
				return false;
			}
		}
		SIZE_T size = 0;
		InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
		attributeBuffer.resize(size);
		startupInfo.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBuffer.data());
		if (!InitializeProcThreadAttributeList(startupInfo.lpAttributeList, 1, 0, &size) ||
		    !UpdateProcThreadAttribute(startupInfo.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
					       sizeof(inherited), nullptr, nullptr)) {
			message = lastErrorMessage();
			return false;
		}
		flags = EXTENDED_STARTUPINFO_PRESENT;
		inherit = TRUE;
	}

	// The server's environment, with the channel named to the child and the
	// caller's variables in place of the server's own.
	std::vector<EnvironmentVariable> childVariables = variables;
	if (channel)
		childVariables.push_back({ channelVariable, std::to_string(channel->readHandle()) + "," +
								    std::to_string(channel->writeHandle()) });
	if (!childVariables.empty()) {
		if (LPCH strings = GetEnvironmentStringsA()) {
			for (const char *entry = strings; *entry != '\0'; entry += std::strlen(entry) + 1) {
				const bool replaced = std::any_of(
					childVariables.begin(), childVariables.end(), [&](const EnvironmentVariable &variable) {
						const std::string prefix = variable.name + "=";
						return _strnicmp(entry, prefix.c_str(), prefix.size()) == 0;
					});
				if (!replaced)
					environment.append(entry).push_back('\0');
			}
			FreeEnvironmentStringsA(strings);
		}
		for (const EnvironmentVariable &variable : childVariables)
			environment.append(variable.name + "=" + variable.value).push_back('\0');
		environment.push_back('\0');
	}

	const BOOL created = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, inherit, flags,
					    environment.empty() ? nullptr : environment.data(),
					    workingDirectory.empty() ? nullptr : workingDirectory.c_str(),
					    &startupInfo.StartupInfo, &processInfo);
	if (startupInfo.lpAttributeList)
		DeleteProcThreadAttributeList(startupInfo.lpAttributeList);
	if (!created) {
		message = lastErrorMessage();
		return false;
	}

	// Where the system refuses the job, the child runs without it.
	if (private_->job.get())
		AssignProcessToJobObject(private_->job.get(), processInfo.hProcess);

	auto state = std::make_unique<ProcessHandle::State>();
	state->process.reset(processInfo.hProcess);
	state->thread.reset(processInfo.hThread);
	state->id = processInfo.dwProcessId;
	process = ProcessHandle(std::move(state));
	return true;
}

} // namespace tiloran::platform
