#include "app/FfmpegLog.h"

#include <cstdarg>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

#include "common/ConsoleLine.h"
#include "common/PrintableText.h"
#include "common/Redaction.h"

namespace tiloran {

namespace {

std::mutex secretMutex;
std::string loggedSecret;

void logCallback(void *context, int level, const char *format, va_list arguments)
{
	if (level > av_log_get_level())
		return;
	// FFmpeg may build one line from several calls; each thread keeps its
	// own part line.
	thread_local int printPrefix = 1;
	thread_local std::string pending;
	char text[1024];
	av_log_format_line2(context, level, format, arguments, text, sizeof(text), &printPrefix);
	pending += text;
	if (pending.empty() || pending.back() != '\n')
		return;
	pending.pop_back();
	std::string secret;
	{
		std::lock_guard lock(secretMutex);
		secret = loggedSecret;
	}
	printErrorLine(printableText(redactLogLine(std::move(pending), secret)));
	pending.clear();
}

} // namespace

std::string redactLogLine(std::string line, const std::string &secret)
{
	if (!secret.empty()) {
		for (std::size_t position = line.find(secret); position != std::string::npos;
		     position = line.find(secret, position + redactedSecret.size()))
			line.replace(position, secret.size(), redactedSecret);
	}
	constexpr std::string_view parameter = "passphrase=";
	for (std::size_t position = line.find(parameter); position != std::string::npos;
	     position = line.find(parameter, position + 1)) {
		const std::size_t value = position + parameter.size();
		const std::size_t end = line.find_first_of(" &", value);
		line.replace(value, (end == std::string::npos ? line.size() : end) - value, redactedSecret);
	}
	return line;
}

void routeFfmpegLog(std::string secret)
{
	{
		std::lock_guard lock(secretMutex);
		loggedSecret = std::move(secret);
	}
	av_log_set_callback(logCallback);
}

} // namespace tiloran
