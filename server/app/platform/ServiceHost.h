#pragma once

#include <functional>
#include <string>

namespace tiloran::platform {

// The server as a service of the system's service manager: on Windows the
// service control manager's service "Tiloran" (which the installer registers
// on request); on POSIX there is none for this, as systemd runs the server as
// it is (the Debian package's unit).
//
// runAsService hands the calling thread to the service manager and returns
// once the service has stopped, with run's exit code in exitCode. run is
// called on the service's thread and serves until stop makes it return; stop
// is called on the manager's thread when the manager asks the service to stop
// (or the system shuts down). The working directory becomes the program's
// own, where the page lies. Returns false with a message when the program
// was not started by the service manager, or where there is none.
bool runAsService(const std::function<int()> &run, const std::function<void()> &stop, int &exitCode,
		  std::string &message);

} // namespace tiloran::platform
