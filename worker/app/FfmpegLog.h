#pragma once

#include <string>

namespace tiloran {

// Sends FFmpeg's own log messages to standard error as whole lines, each
// flushed, with the given secret (the SRT passphrase, which FFmpeg prints as
// part of the URL it failed to open) and any "passphrase=" value shown as
// "***". Messages keep FFmpeg's own prefix ("[libx264 @ 0x...]") and level
// filter.
//
// Threading: called on the main thread before the pipeline is built, and
// again only when no FFmpeg object exists; FFmpeg then logs from any of its
// threads.
void routeFfmpegLog(std::string secret);

// A log line as it may be shown: every occurrence of the secret, and the value
// of every "passphrase=" up to the next blank or '&', as "***".
std::string redactLogLine(std::string line, const std::string &secret);

} // namespace tiloran
