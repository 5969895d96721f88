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

// The writer takes what waits in batches of up to this much or this long:
// a few writes a second rather than one per TS packet run.
constexpr std::size_t kBatchBytes = 64u << 10;
constexpr auto kBatchWait = std::chrono::milliseconds(50);

RecordingSink::RecordingSink(Settings settings, ServerChannel &events)
	: settings_(std::move(settings)), events_(events)
{
}

RecordingSink::~RecordingSink()
{
	close();
	if (writer_.joinable())
		writer_.join();
}

bool RecordingSink::open(std::string &message)
{
	std::error_code error;
	std::filesystem::create_directories(settings_.folder, error);
	if (error) {
		message = "cannot create " + settings_.folder.string() + ": " + error.message();
		return false;
	}
	if (!openFile(message))
		return false;
	writer_ = std::thread([this] { writeQueued(); });
	return true;
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
	// Unbuffered: what a write was told reached the file is there, so a
	// failure knows where to cut. The batches are what keeps writes few.
	std::setvbuf(file, nullptr, _IONBF, 0);
	file_.reset(file);
	path_ = std::move(path);
	{
		std::lock_guard lock(mutex_);
		fileName_ = path_.filename().string();
	}
	fileBytes_ = 0;
	lastPesStart_ = 0;
	printLine("[Recording] Writing " + path_.filename().string());
	return true;
}

bool RecordingSink::write(const uint8_t *bytes, std::size_t size, std::string &message)
{
	std::lock_guard lock(mutex_);
	if (endReason_.empty() && writingSince_ && Clock::now() - *writingSince_ > std::chrono::seconds(kStallSeconds))
		endLocked("writing " + fileName_ + " stalled: the disk took nothing for " +
			  std::to_string(kStallSeconds) + " s");
	if (endReason_.empty() && queuedBytes_ + size > kMaxQueuedBytes)
		endLocked("writing " + fileName_ + " fell behind: " +
			  std::to_string(kMaxQueuedBytes >> 20) + " MiB waited for the disk");
	if (!endReason_.empty() || closing_) {
		message = endReason_.empty() ? "the recording is closed" : endReason_;
		return false;
	}
	if (queue_.empty() || queue_.back().nextFile)
		queue_.emplace_back();
	queue_.back().bytes.insert(queue_.back().bytes.end(), bytes, bytes + size);
	queuedBytes_ += size;
	if (queuedBytes_ >= kBatchBytes)
		wake_.notify_one();
	return true;
}

void RecordingSink::beforePicture(int64_t pts)
{
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
	std::lock_guard lock(mutex_);
	if (!endReason_.empty() || closing_)
		return;
	queue_.push_back({ {}, true });
	wake_.notify_one();
}

void RecordingSink::writeQueued()
{
	std::unique_lock lock(mutex_);
	for (;;) {
		wake_.wait_for(lock, kBatchWait, [this] {
			return closing_ || !endReason_.empty() || queuedBytes_ >= kBatchBytes ||
			       (!queue_.empty() && queue_.front().nextFile);
		});
		if (!endReason_.empty())
			break;
		if (queue_.empty()) {
			if (closing_)
				break;
			continue;
		}
		Chunk chunk = std::move(queue_.front());
		queue_.pop_front();
		queuedBytes_ -= chunk.bytes.size();
		writingSince_ = Clock::now();
		lock.unlock();
		bool going = true;
		std::string failure;
		if (chunk.nextFile) {
			closeFile(std::nullopt);
			going = openFile(failure);
		} else {
			going = writeChunk(chunk.bytes);
		}
		lock.lock();
		writingSince_.reset();
		if (!going) {
			if (failure.empty())
				failure = "writing " + path_.filename().string() + " failed";
			endLocked(failure);
		}
	}
	// Ended: what waits is dropped, the file is cut back to its last whole PES
	// packet (for a write that failed, writeChunk has cut it already).
	queue_.clear();
	queuedBytes_ = 0;
	const bool ended = !endReason_.empty();
	lock.unlock();
	closeFile(ended ? std::optional<int64_t>(lastPesStart_) : std::nullopt);
}

bool RecordingSink::writeChunk(const std::vector<uint8_t> &bytes)
{
	if (!file_)
		return false;
	errno = 0;
	const std::size_t size = bytes.size();
	const std::size_t written = std::fwrite(bytes.data(), 1, size, file_.get());
	const int failure = errno;
	int64_t cut = lastPesStart_;
	for (std::size_t offset = 0; offset + kTsPacketSize <= size && offset <= written; offset += kTsPacketSize)
		if (beginsPes(bytes.data() + offset))
			cut = fileBytes_ + static_cast<int64_t>(offset);
	lastPesStart_ = cut;
	if (written < size) {
		const std::string reason = "writing " + path_.filename().string() + " failed: " +
					   systemErrorText(failure != 0 ? failure : EIO);
		closeFile(cut);
		std::lock_guard lock(mutex_);
		endLocked(reason);
		return false;
	}
	fileBytes_ += static_cast<int64_t>(size);
	bytesWritten_ += static_cast<int64_t>(size);
	return true;
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

void RecordingSink::endLocked(const std::string &reason)
{
	if (!endReason_.empty())
		return;
	endReason_ = reason;
	wake_.notify_one();
	const std::string line = "Recording ended: " + reason + "; the stream goes on";
	printErrorLine("[Recording] " + line);
	events_.sendEvent(EventCode::RecordingEnded, "error", line);
}

void RecordingSink::close()
{
	std::unique_lock lock(mutex_);
	closing_ = true;
	wake_.notify_one();
	// A writer held by a stalled disk is left to the destructor: the stream's
	// end must not wait for that disk.
	const bool stalled = writingSince_.has_value() && !endReason_.empty();
	lock.unlock();
	if (!stalled && writer_.joinable())
		writer_.join();
}

} // namespace tiloran
