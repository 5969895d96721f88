#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "channel/ServerChannel.h"
#include "output/sink/OutputSink.h"

namespace tiloran {

// The stream recorded on this machine's disk: the same MPEG-TS bytes into
// files of the recordings folder, each named by its start time (UTC) and the
// stream's name, at most the segment length long and beginning with the
// tables and a key picture (the muxer's restart, asked for by
// beforePicture). A failed write or a file that cannot be made (a full disk,
// a file size limit) ends the recording, not the stream: the file is cut
// back to its last whole PES packet, so that it decodes to its end, and a
// console line and an event say why.
//
// The disk is written on a thread of the sink's own, so that a slow disk
// never holds the stream back: write() only queues the bytes. A disk that
// takes nothing for kStallSeconds, or lets more than kMaxQueuedBytes wait,
// ends the recording the same way (the stream goes on); the writer, still
// held in the system by that disk, then closes the file once the disk lets
// it go.
//
// Threading: as OutputSink; beforePicture on the output thread. The writing
// thread is internal: started by open(), ended by close() (which does not
// wait for a writer held by a stalled disk) and joined by the destructor.
class RecordingSink final : public OutputSink
{
public:
	// A write that long, or that much waiting, is a disk that does not keep
	// up: at 20 Mbit/s 10 s are 25 MB, well inside what may wait.
	static constexpr int kStallSeconds = 10;
	static constexpr std::size_t kMaxQueuedBytes = 64u << 20;

	struct Settings {
		std::filesystem::path folder;
		// File-name safe (the server makes it so).
		std::string name;
		double segmentSeconds = 3600;
	};

	RecordingSink(Settings settings, ServerChannel &events);
	~RecordingSink() override;

	RecordingSink(const RecordingSink &) = delete;
	RecordingSink &operator=(const RecordingSink &) = delete;

	bool open(std::string &message) override;
	// False once the recording has ended, with its reason.
	bool write(const uint8_t *bytes, std::size_t size, std::string &message) override;
	void beforePicture(int64_t pts) override;
	bool restartPending() const override { return cutPending_; }
	// The next file begins here.
	void beginRestart() override;
	void close() override;
	int64_t bytesSent() const override { return bytesWritten_; }

private:
	using Clock = std::chrono::steady_clock;
	struct FileCloser {
		void operator()(std::FILE *file) const { std::fclose(file); }
	};
	// Bytes waiting for the disk, or (nextFile) the cut to the next file.
	struct Chunk {
		std::vector<uint8_t> bytes;
		bool nextFile = false;
	};

	// Writing thread, and open() before it starts.
	bool openFile(std::string &message);
	// Cut back to length, closed.
	void closeFile(std::optional<int64_t> length);
	// False once the recording has ended.
	bool writeChunk(const std::vector<uint8_t> &bytes);
	void writeQueued();

	// Any thread, under the mutex: the first reason ends the recording.
	void endLocked(const std::string &reason);

	const Settings settings_;
	ServerChannel &events_;

	// The writing thread's own.
	std::unique_ptr<std::FILE, FileCloser> file_;
	std::filesystem::path path_;
	int64_t fileBytes_ = 0;
	// Where the last PES packet written begins: before it, every one is whole.
	int64_t lastPesStart_ = 0;

	// The output thread's own.
	std::optional<int64_t> segmentStartPts_;
	bool cutPending_ = false;

	mutable std::mutex mutex_;
	std::condition_variable wake_;
	std::deque<Chunk> queue_;
	std::size_t queuedBytes_ = 0;
	// The file being written, for the output thread's messages.
	std::string fileName_;
	// When the write under way began; none while the writer waits.
	std::optional<Clock::time_point> writingSince_;
	bool closing_ = false;
	// Set once it ended; the reason is what write() answers from then on.
	std::string endReason_;

	std::atomic<int64_t> bytesWritten_{ 0 };
	std::thread writer_;
};

} // namespace tiloran
