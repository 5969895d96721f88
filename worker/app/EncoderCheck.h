#pragma once

#include <string>
#include <vector>

namespace tiloran {

// Which of the named H.264 encoders this machine can open: each is opened as
// a stream would open it, on a small picture, and closed again. The answer is
// one typed JSON line, {"type":"encoders","encoders":[{"name","available",
// "reason"}]}, on the server's channel when the worker was given one (and then
// nothing on standard output), else on standard output after a line per
// encoder. Runs on the main thread; returns the exit code.
int checkEncoders(const std::vector<std::string> &names);

} // namespace tiloran
