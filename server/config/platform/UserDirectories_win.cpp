#include "config/platform/UserDirectories.h"

#include <cstdlib>
#include <system_error>

#include <windows.h>

namespace tiloran {

std::optional<std::filesystem::path> userConfigurationBaseDirectory()
{
	// An APPDATA set to nothing counts as set (the file then lies relative to
	// the working directory).
	if (const char *appData = std::getenv("APPDATA"))
		return std::filesystem::path(appData);
	if (const char *userProfile = std::getenv("USERPROFILE"))
		return std::filesystem::path(userProfile) / "AppData" / "Roaming";
	return std::nullopt;
}

std::filesystem::path temporaryDirectory()
{
	// GetTempPath2W gives SYSTEM processes their own directory; older
	// systems lack it and have only GetTempPathW.
	using GetTempPathFunction = DWORD(WINAPI *)(DWORD, LPWSTR);
	GetTempPathFunction getTempPath = &GetTempPathW;
	if (HMODULE kernel = GetModuleHandleW(L"kernel32.dll")) {
		FARPROC function = GetProcAddress(kernel, "GetTempPath2W");
		if (function)
			getTempPath = reinterpret_cast<GetTempPathFunction>(reinterpret_cast<void *>(function));
	}

	wchar_t buffer[MAX_PATH + 1];
	const DWORD length = getTempPath(MAX_PATH + 1, buffer);
	if (length == 0 || length > MAX_PATH)
		throw std::filesystem::filesystem_error(
			"temp_directory_path", std::error_code(static_cast<int>(GetLastError()), std::system_category()));

	// The query ends the path with a separator; joining does not double it.
	return std::filesystem::path(std::wstring(buffer, length));
}

} // namespace tiloran
