#include "WindowsTestSupport.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include <windows.h>

namespace tiloran::test {

namespace {

// Closes a kernel handle on destruction.
class Handle
{
public:
	explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
	~Handle() { reset(); }
	Handle(const Handle &) = delete;
	Handle &operator=(const Handle &) = delete;

	HANDLE get() const { return handle_; }
	HANDLE *out() { return &handle_; }
	void reset(HANDLE handle = nullptr)
	{
		if (handle_ && handle_ != INVALID_HANDLE_VALUE)
			CloseHandle(handle_);
		handle_ = handle;
	}

private:
	HANDLE handle_;
};

std::string upperCase(std::string text)
{
	std::transform(text.begin(), text.end(), text.begin(),
		       [](unsigned char character) { return static_cast<char>(std::toupper(character)); });
	return text;
}

// The test's environment with changes applied, as the block CreateProcessA
// takes: NAME=VALUE entries sorted by name without regard to case, each ended
// by a null character, and one more null character at the end.
std::string environmentBlock(const std::map<std::string, std::optional<std::string>> &changes)
{
	std::map<std::string, std::string> variables; // upper-case name -> NAME=VALUE
	if (char *strings = GetEnvironmentStringsA()) {
		for (const char *entry = strings; *entry; entry += std::char_traits<char>::length(entry) + 1) {
			const std::string text(entry);
			// Entries such as "=C:=C:\dir" hold the drive's working directory.
			const size_t equals = text.find('=', 1);
			if (equals != std::string::npos)
				variables[upperCase(text.substr(0, equals))] = text;
		}
		FreeEnvironmentStringsA(strings);
	}
	for (const auto &[name, value] : changes) {
		if (value)
			variables[upperCase(name)] = name + "=" + *value;
		else
			variables.erase(upperCase(name));
	}

	std::string block;
	for (const auto &[name, entry] : variables) {
		block += entry;
		block.push_back('\0');
	}
	block.push_back('\0');
	return block;
}

std::string withLineFeeds(const std::string &text)
{
	std::string converted;
	converted.reserve(text.size());
	for (size_t i = 0; i < text.size(); ++i) {
		if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
			continue;
		converted.push_back(text[i]);
	}
	return converted;
}

} // namespace

std::filesystem::path ownDirectory()
{
	wchar_t buffer[32768];
	const DWORD length = GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(std::size(buffer)));
	if (length == 0 || length == std::size(buffer))
		throw std::runtime_error("GetModuleFileNameW failed");
	return std::filesystem::path(std::wstring(buffer, length)).parent_path();
}

TemporaryDirectory::TemporaryDirectory()
{
	static std::atomic<unsigned> counter = 0;
	path_ = std::filesystem::temp_directory_path() /
		("tiloran-windows-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++));
	std::filesystem::remove_all(path_);
	std::filesystem::create_directories(path_);
}

TemporaryDirectory::~TemporaryDirectory()
{
	std::error_code ignored;
	std::filesystem::remove_all(path_, ignored);
}

ScopedEnvironment::ScopedEnvironment(std::string name, std::optional<std::string> value)
	: name_(std::move(name))
{
	char buffer[32767];
	SetLastError(0);
	const DWORD length = GetEnvironmentVariableA(name_.c_str(), buffer, sizeof(buffer));
	if (length != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND)
		previous_ = std::string(buffer, length);
	SetEnvironmentVariableA(name_.c_str(), value ? value->c_str() : nullptr);
}

ScopedEnvironment::~ScopedEnvironment()
{
	SetEnvironmentVariableA(name_.c_str(), previous_ ? previous_->c_str() : nullptr);
}

std::string ConsoleCapture::Buffer::text() const
{
	std::lock_guard lock(mutex_);
	return text_;
}

ConsoleCapture::Buffer::int_type ConsoleCapture::Buffer::overflow(int_type character)
{
	if (traits_type::eq_int_type(character, traits_type::eof()))
		return traits_type::not_eof(character);
	std::lock_guard lock(mutex_);
	text_.push_back(traits_type::to_char_type(character));
	return character;
}

std::streamsize ConsoleCapture::Buffer::xsputn(const char *characters, std::streamsize count)
{
	std::lock_guard lock(mutex_);
	text_.append(characters, static_cast<size_t>(count));
	return count;
}

ConsoleCapture::ConsoleCapture()
	: previous_(std::cout.rdbuf(&buffer_))
{
}

ConsoleCapture::~ConsoleCapture()
{
	std::cout.rdbuf(previous_);
}

std::string ConsoleCapture::text() const
{
	return buffer_.text();
}

bool ConsoleCapture::waitFor(const std::string &expected, std::chrono::milliseconds timeout) const
{
	return waitUntil([&] { return text().find(expected) != std::string::npos; }, timeout);
}

struct RunningProgram::State {
	Handle process;
	Handle thread;
	Handle readEnd;
	std::thread reader;
	mutable std::mutex mutex;
	std::string output;
	bool outputEnded = false;
};

RunningProgram::RunningProgram(const std::filesystem::path &program, const std::string &arguments,
			       const std::filesystem::path &workingDirectory,
			       const std::map<std::string, std::optional<std::string>> &changes)
	: state_(std::make_unique<State>())
{
	SECURITY_ATTRIBUTES inheritable{};
	inheritable.nLength = sizeof(inheritable);
	inheritable.bInheritHandle = TRUE;
	Handle writeEnd;
	if (!CreatePipe(state_->readEnd.out(), writeEnd.out(), &inheritable, 0) ||
	    !SetHandleInformation(state_->readEnd.get(), HANDLE_FLAG_INHERIT, 0))
		throw std::runtime_error("CreatePipe failed");
	Handle input(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
				 0, nullptr));

	STARTUPINFOA startupInfo{};
	startupInfo.cb = sizeof(startupInfo);
	startupInfo.dwFlags = STARTF_USESTDHANDLES;
	startupInfo.hStdInput = input.get();
	startupInfo.hStdOutput = writeEnd.get();
	startupInfo.hStdError = writeEnd.get();
	PROCESS_INFORMATION processInfo{};

	const std::string programPath = program.string();
	std::string commandLine = "\"" + programPath + "\"" + (arguments.empty() ? "" : " " + arguments);
	std::string environment = environmentBlock(changes);
	const std::string directory = workingDirectory.string();
	if (!CreateProcessA(programPath.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, environment.data(),
			    directory.c_str(), &startupInfo, &processInfo))
		throw std::runtime_error("CreateProcessA failed for " + programPath + ": " +
					 systemMessage(GetLastError()));
	state_->process.reset(processInfo.hProcess);
	state_->thread.reset(processInfo.hThread);
	writeEnd.reset();

	// The pipe ends when the program and every process that shares the pipe
	// with it have ended.
	State *state = state_.get();
	state_->reader = std::thread([state] {
		char buffer[4096];
		DWORD count = 0;
		while (ReadFile(state->readEnd.get(), buffer, sizeof(buffer), &count, nullptr) && count > 0) {
			std::lock_guard lock(state->mutex);
			state->output.append(buffer, count);
		}
		std::lock_guard lock(state->mutex);
		state->outputEnded = true;
	});
}

RunningProgram::~RunningProgram()
{
	terminate();
	// The pipe ends with the program and the processes that share its
	// console.
	state_->reader.join();
}

void RunningProgram::terminate()
{
	if (WaitForSingleObject(state_->process.get(), 0) != WAIT_OBJECT_0) {
		TerminateProcess(state_->process.get(), 1);
		waitForExit(kGenerousTimeout);
	}
}

std::string RunningProgram::output() const
{
	std::lock_guard lock(state_->mutex);
	return withLineFeeds(state_->output);
}

bool RunningProgram::waitForOutput(const std::string &expected, std::chrono::milliseconds timeout) const
{
	return waitUntil([&] { return output().find(expected) != std::string::npos; }, timeout);
}

bool RunningProgram::waitForOutputEnd(std::chrono::milliseconds timeout) const
{
	return waitUntil(
		[&] {
			std::lock_guard lock(state_->mutex);
			return state_->outputEnded;
		},
		timeout);
}

std::optional<unsigned long> RunningProgram::waitForExit(std::chrono::milliseconds timeout)
{
	if (WaitForSingleObject(state_->process.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
		return std::nullopt;
	DWORD exitCode = 0;
	GetExitCodeProcess(state_->process.get(), &exitCode);
	return exitCode;
}

ProgramResult runProgram(const std::filesystem::path &program, const std::string &arguments,
			 const std::filesystem::path &workingDirectory,
			 const std::map<std::string, std::optional<std::string>> &changes)
{
	RunningProgram running(program, arguments, workingDirectory, changes);
	const std::optional<unsigned long> exitCode = running.waitForExit(kGenerousTimeout);
	if (!exitCode)
		throw std::runtime_error(program.string() + " did not end within " +
					 std::to_string(kGenerousTimeout.count()) + " s; output: " + running.output());
	if (!running.waitForOutputEnd(kGenerousTimeout))
		throw std::runtime_error(program.string() + " ended, but its output did not");
	ProgramResult result;
	result.exitCode = *exitCode;
	result.output = running.output();
	return result;
}

std::string systemMessage(unsigned long errorCode)
{
	LPSTR buffer = nullptr;
	const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
						    FORMAT_MESSAGE_IGNORE_INSERTS,
					    nullptr, errorCode, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
					    reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
	std::string message = length != 0 && buffer ? std::string(buffer, length) : std::string();
	if (buffer)
		LocalFree(buffer);
	return message;
}

} // namespace tiloran::test
