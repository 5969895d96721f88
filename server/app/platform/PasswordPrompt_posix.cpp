#include "app/platform/PasswordPrompt.h"

#include <iostream>

#include <termios.h>
#include <unistd.h>

namespace tiloran::platform {

bool readPassword(const std::string &prompt, std::string &password, std::string &message)
{
	const bool terminal = isatty(STDIN_FILENO) == 1;
	termios saved{};
	if (terminal) {
		std::cerr << prompt << std::flush;
		if (tcgetattr(STDIN_FILENO, &saved) == 0) {
			termios quiet = saved;
			quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
			tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
		}
	}
	const bool read = static_cast<bool>(std::getline(std::cin, password));
	if (terminal) {
		tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
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
