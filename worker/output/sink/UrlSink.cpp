#include "output/sink/UrlSink.h"

namespace tiloran {

UrlSink::UrlSink(std::string url) : url_(std::move(url))
{
}

bool UrlSink::open(std::string &message)
{
	AVIOContext *io = nullptr;
	const int result = avio_open(&io, url_.c_str(), AVIO_FLAG_WRITE);
	io_.reset(io);
	if (result < 0) {
		message = ffmpegErrorText(result);
		return false;
	}
	return true;
}

bool UrlSink::write(const uint8_t *bytes, std::size_t size, std::string &message)
{
	avio_write(io_.get(), bytes, static_cast<int>(size));
	avio_flush(io_.get());
	if (io_->error < 0) {
		message = ffmpegErrorText(io_->error);
		return false;
	}
	bytesSent_ += static_cast<int64_t>(size);
	return true;
}

void UrlSink::close()
{
	io_.reset();
}

} // namespace tiloran
