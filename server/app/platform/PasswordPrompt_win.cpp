#include "app/platform/PasswordPrompt.h"

#include <iostream>

#include <windows.h>

namespace tiloran::platform {

bool readPassword(const std::string &prompt, std::string &password, std::string &message)
{
	const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
	DWORD saved = 0;
	const bool console = GetConsoleMode(input, &saved) != 0;
	if (console) {
		std::cerr << prompt << std::flush;
		SetConsoleMode(input, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
	}
	const bool read = static_cast<bool>(std::getline(std::cin, password));
	if (console) {
		SetConsoleMode(input, saved);
		std::cerr << std::endl;
	}
	if (!read) {
		message = "No password given";
		return false;
	}
	if (!password.empty() && password.back() == '\r')
		password.pop_back();
	return true;
}

} // namespace tiloran::platform
