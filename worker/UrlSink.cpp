#include "UrlSink.h"

namespace tiloran {

UrlSink::UrlSink(std::string url) : url_(std::move(url))
{
}

UrlSink::~UrlSink()
{
	close();
}

bool UrlSink::open(std::string &message)
{
	const int result = avio_open(&io_, url_.c_str(), AVIO_FLAG_WRITE);
	if (result < 0) {
		message = ffmpegErrorText(result);
		return false;
	}
	return true;
}

bool UrlSink::write(const uint8_t *bytes, std::size_t size, std::string &message)
{
	avio_write(io_, bytes, static_cast<int>(size));
	avio_flush(io_);
	if (io_->error < 0) {
		message = ffmpegErrorText(io_->error);
		return false;
	}
	bytesSent_ += static_cast<int64_t>(size);
	return true;
}

void UrlSink::close()
{
	if (io_)
		avio_closep(&io_);
}

} // namespace tiloran
