#include "app/platform/ServiceHost.h"

#include <atomic>
#include <string>

#include <windows.h>

namespace tiloran::platform {

namespace {

constexpr wchar_t kServiceName[] = L"Tiloran";
// How long the manager waits for the stop before it takes the service as hung:
// the server stops its worker first, which is given a few seconds.
constexpr DWORD kStopWaitHintMs = 30000;

// The one service of the process, reached from the manager's callbacks.
struct Service {
	const std::function<int()> &run;
	const std::function<void()> &stop;
	SERVICE_STATUS_HANDLE handle = nullptr;
	int exitCode = 1;
};
std::atomic<Service *> current = nullptr;

void report(Service &service, DWORD state, DWORD controls, int exitCode)
{
	SERVICE_STATUS status{};
	status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
	status.dwCurrentState = state;
	status.dwControlsAccepted = controls;
	status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
	status.dwServiceSpecificExitCode = static_cast<DWORD>(exitCode);
	status.dwWaitHint = state == SERVICE_STOP_PENDING ? kStopWaitHintMs : 0;
	SetServiceStatus(service.handle, &status);
}

DWORD WINAPI control(DWORD code, DWORD, void *, void *)
{
	Service *service = current.load();
	switch (code) {
	case SERVICE_CONTROL_STOP:
	case SERVICE_CONTROL_SHUTDOWN:
		report(*service, SERVICE_STOP_PENDING, 0, 0);
		service->stop();
		return NO_ERROR;
	case SERVICE_CONTROL_INTERROGATE:
		return NO_ERROR;
	default:
		return ERROR_CALL_NOT_IMPLEMENTED;
	}
}

void WINAPI serviceMain(DWORD, LPWSTR *)
{
	Service &service = *current.load();
	service.handle = RegisterServiceCtrlHandlerExW(kServiceName, control, nullptr);
	if (!service.handle)
		return;
	report(service, SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0);
	service.exitCode = service.run();
	report(service, SERVICE_STOPPED, 0, service.exitCode);
}

std::string systemMessage(DWORD error)
{
	char *text = nullptr;
	const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
						    FORMAT_MESSAGE_IGNORE_INSERTS,
					    nullptr, error, 0, reinterpret_cast<char *>(&text), 0, nullptr);
	std::string message = length ? std::string(text, length) : "error " + std::to_string(error);
	LocalFree(text);
	while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
		message.pop_back();
	return message;
}

// A service starts in the system's directory; the page lies beside the program.
bool enterProgramDirectory(std::string &message)
{
	std::wstring path(MAX_PATH, L'\0');
	for (;;) {
		const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
		if (length == 0) {
			message = "Cannot find the program's directory: " + systemMessage(GetLastError());
			return false;
		}
		if (length < path.size()) {
			path.resize(length);
			break;
		}
		path.resize(path.size() * 2);
	}
	path.resize(path.find_last_of(L"\\/"));
	if (!SetCurrentDirectoryW(path.c_str())) {
		message = "Cannot enter the program's directory: " + systemMessage(GetLastError());
		return false;
	}
	return true;
}

} // namespace

bool runAsService(const std::function<int()> &run, const std::function<void()> &stop, int &exitCode,
		  std::string &message)
{
	if (!enterProgramDirectory(message))
		return false;
	Service service{ run, stop };
	current = &service;
	SERVICE_TABLE_ENTRYW table[] = { { const_cast<LPWSTR>(kServiceName), serviceMain }, { nullptr, nullptr } };
	const bool dispatched = StartServiceCtrlDispatcherW(table);
	current = nullptr;
	if (!dispatched) {
		message = "Not started by the service manager: " + systemMessage(GetLastError());
		return false;
	}
	exitCode = service.exitCode;
	return true;
}

} // namespace tiloran::platform
