#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

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
// Threading: as OutputSink; beforePicture on the output thread.
class RecordingSink final : public OutputSink
{
public:
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
	struct FileCloser {
		void operator()(std::FILE *file) const { std::fclose(file); }
	};

	bool openFile(std::string &message);
	// Cut back to length, closed.
	void closeFile(std::optional<int64_t> length);
	void end(const std::string &reason);

	const Settings settings_;
	ServerChannel &events_;
	std::unique_ptr<std::FILE, FileCloser> file_;
	std::filesystem::path path_;
	int64_t fileBytes_ = 0;
	// Where the last PES packet written begins: before it, every one is whole.
	int64_t lastPesStart_ = 0;
	std::optional<int64_t> segmentStartPts_;
	bool cutPending_ = false;
	// Set once it failed; the reason is what write() answers from then on.
	std::string endReason_;
	std::atomic<int64_t> bytesWritten_{ 0 };
};

} // namespace tiloran
