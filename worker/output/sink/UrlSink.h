#pragma once

#include <atomic>
#include <string>

#include "media/FfmpegSupport.h"
#include "output/sink/OutputSink.h"

namespace tiloran {

// The output into anything FFmpeg opens for writing by URL: a file, a pipe.
class UrlSink final : public OutputSink
{
public:
	explicit UrlSink(std::string url);

	UrlSink(const UrlSink &) = delete;
	UrlSink &operator=(const UrlSink &) = delete;

	bool open(std::string &message) override;
	bool write(const uint8_t *bytes, std::size_t size, std::string &message) override;
	void close() override;
	int64_t bytesSent() const override { return bytesSent_; }

private:
	std::string url_;
	OpenedIoContextHolder io_;
	std::atomic<int64_t> bytesSent_{ 0 };
};

} // namespace tiloran
