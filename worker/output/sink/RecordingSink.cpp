#include "output/sink/RecordingSink.h"

#include <cerrno>
#include <chrono>
#include <system_error>
#include <utility>

#include "common/ConsoleLine.h"
#include "common/TsPacket.h"

namespace tiloran {

namespace {

std::string twoDigits(unsigned value)
{
	return std::string(1, static_cast<char>('0' + value / 10 % 10)) + static_cast<char>('0' + value % 10);
}

// "YYYYMMDD-HHMMSS" of now, UTC: names sort by time.
std::string startTimeText()
{
	using namespace std::chrono;
	const auto now = floor<seconds>(system_clock::now());
	const auto day = floor<days>(now);
	const year_month_day date{ day };
	const hh_mm_ss time{ now - day };
	return std::to_string(static_cast<int>(date.year())) + twoDigits(static_cast<unsigned>(date.month())) +
	       twoDigits(static_cast<unsigned>(date.day())) + "-" + twoDigits(static_cast<unsigned>(time.hours().count())) +
	       twoDigits(static_cast<unsigned>(time.minutes().count())) +
	       twoDigits(static_cast<unsigned>(time.seconds().count()));
}

std::string systemErrorText(int code)
{
	return std::error_code(code, std::generic_category()).message();
}

} // namespace

RecordingSink::RecordingSink(Settings settings, ServerChannel &events)
	: settings_(std::move(settings)), events_(events)
{
}

RecordingSink::~RecordingSink()
{
	close();
}

bool RecordingSink::open(std::string &message)
{
	std::error_code error;
	std::filesystem::create_directories(settings_.folder, error);
	if (error) {
		message = "cannot create " + settings_.folder.string() + ": " + error.message();
		return false;
	}
	return openFile(message);
}

bool RecordingSink::openFile(std::string &message)
{
	const std::string stem = startTimeText() + "_" + settings_.name;
	std::filesystem::path path = settings_.folder / (stem + ".ts");
	// Segments shorter than a second would share a name.
	for (int number = 2; std::filesystem::exists(path); ++number)
		path = settings_.folder / (stem + "-" + std::to_string(number) + ".ts");
	std::FILE *file = std::fopen(path.string().c_str(), "wb");
	if (!file) {
		message = "cannot create " + path.filename().string() + ": " + systemErrorText(errno);
		return false;
	}
	// Unbuffered: what write() was told reached the file is there, so a
	// failure knows where to cut.
	std::setvbuf(file, nullptr, _IONBF, 0);
	file_.reset(file);
	path_ = std::move(path);
	fileBytes_ = 0;
	lastPesStart_ = 0;
	printLine("[Recording] Writing " + path_.filename().string());
	return true;
}

bool RecordingSink::write(const uint8_t *bytes, std::size_t size, std::string &message)
{
	if (!endReason_.empty() || !file_) {
		message = endReason_.empty() ? "the recording is closed" : endReason_;
		return false;
	}
	errno = 0;
	const std::size_t written = std::fwrite(bytes, 1, size, file_.get());
	const int failure = errno;
	int64_t cut = lastPesStart_;
	for (std::size_t offset = 0; offset + kTsPacketSize <= size && offset <= written; offset += kTsPacketSize)
		if (beginsPes(bytes + offset))
			cut = fileBytes_ + static_cast<int64_t>(offset);
	if (written < size) {
		closeFile(cut);
		end("writing " + path_.filename().string() + " failed: " +
		    systemErrorText(failure != 0 ? failure : EIO));
		message = endReason_;
		return false;
	}
	lastPesStart_ = cut;
	fileBytes_ += static_cast<int64_t>(size);
	bytesWritten_ += static_cast<int64_t>(size);
	return true;
}

void RecordingSink::beforePicture(int64_t pts)
{
	if (!endReason_.empty() || !file_)
		return;
	if (!segmentStartPts_) {
		segmentStartPts_ = pts;
		return;
	}
	if (static_cast<double>(pts - *segmentStartPts_) >= settings_.segmentSeconds * 90000.0) {
		cutPending_ = true;
		segmentStartPts_ = pts;
	}
}

void RecordingSink::beginRestart()
{
	if (!cutPending_)
		return;
	cutPending_ = false;
	closeFile(std::nullopt);
	std::string reason;
	if (!openFile(reason))
		end(reason);
}

void RecordingSink::closeFile(std::optional<int64_t> length)
{
	if (!file_)
		return;
	file_.reset();
	if (length) {
		std::error_code ignored;
		if (std::filesystem::file_size(path_, ignored) > static_cast<uintmax_t>(*length))
			std::filesystem::resize_file(path_, static_cast<uintmax_t>(*length), ignored);
	}
	printLine("[Recording] Closed " + path_.filename().string());
}

void RecordingSink::end(const std::string &reason)
{
	endReason_ = reason;
	const std::string line = "Recording ended: " + reason + "; the stream goes on";
	printErrorLine("[Recording] " + line);
	events_.sendEvent(EventCode::RecordingEnded, "error", line);
}

void RecordingSink::close()
{
	closeFile(std::nullopt);
}

} // namespace tiloran
