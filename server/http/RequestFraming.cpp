#include "http/RequestFraming.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

namespace tiloran {

namespace {

constexpr std::string_view lineEnd = "\r\n";
constexpr std::string_view headerEnd = "\r\n\r\n";
// A chunk-size line carries a hexadecimal size and perhaps extensions.
constexpr std::size_t maxChunkLineBytes = 1024;

char lowerCase(char character)
{
	return character >= 'A' && character <= 'Z' ? static_cast<char>(character - 'A' + 'a') : character;
}

bool equalsIgnoringCase(std::string_view text, std::string_view lowerCaseWord)
{
	return text.size() == lowerCaseWord.size() &&
	       std::equal(text.begin(), text.end(), lowerCaseWord.begin(),
			  [](char left, char right) { return lowerCase(left) == right; });
}

std::string_view trimmed(std::string_view text)
{
	const auto blank = [](char character) { return character == ' ' || character == '\t'; };
	while (!text.empty() && blank(text.front()))
		text.remove_prefix(1);
	while (!text.empty() && blank(text.back()))
		text.remove_suffix(1);
	return text;
}

// Digits only; a value too large for the counter is as good as too large for
// any limit.
std::optional<std::uint64_t> parseDecimal(std::string_view text)
{
	if (text.empty())
		return std::nullopt;
	std::uint64_t value = 0;
	for (char character : text) {
		if (character < '0' || character > '9')
			return std::nullopt;
		const std::uint64_t digit = static_cast<std::uint64_t>(character - '0');
		if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
			return std::numeric_limits<std::uint64_t>::max();
		value = value * 10 + digit;
	}
	return value;
}

int hexDigit(char character)
{
	if (character >= '0' && character <= '9')
		return character - '0';
	character = lowerCase(character);
	if (character >= 'a' && character <= 'f')
		return character - 'a' + 10;
	return -1;
}

} // namespace

RequestFramer::RequestFramer(const RequestLimits &limits) : limits_(limits)
{
}

const RequestFraming &RequestFramer::advance(std::string_view bytes)
{
	if (stage_ == Stage::Headers)
		readHeaderBlock(bytes);
	if (stage_ == Stage::Body && bytes.size() >= framing_.headerLength + bodyBytes_) {
		framing_.requestLength = framing_.headerLength + bodyBytes_;
		finish(FramingStatus::Complete);
	}
	if (stage_ == Stage::ChunkSize || stage_ == Stage::ChunkData || stage_ == Stage::Trailer)
		readChunks(bytes);
	return framing_;
}

void RequestFramer::finish(FramingStatus status)
{
	framing_.status = status;
	stage_ = Stage::Done;
}

void RequestFramer::readHeaderBlock(std::string_view bytes)
{
	// The end may straddle what was looked at before and what is new.
	const std::size_t from = position_ < headerEnd.size() ? 0 : position_ - (headerEnd.size() - 1);
	const std::size_t end = bytes.find(headerEnd, from);
	if (!linesWithinLimit(bytes, end == std::string_view::npos ? bytes.size() : end + lineEnd.size())) {
		finish(FramingStatus::HeadersTooLarge);
		return;
	}
	if (end == std::string_view::npos) {
		position_ = bytes.size();
		if (bytes.size() >= limits_.maxHeaderBytes)
			finish(FramingStatus::HeadersTooLarge);
		return;
	}
	framing_.headerLength = end + headerEnd.size();
	if (framing_.headerLength > limits_.maxHeaderBytes) {
		finish(FramingStatus::HeadersTooLarge);
		return;
	}

	std::optional<std::uint64_t> contentLength;
	bool chunked = false;
	// The request line is not a header; the library judges it.
	std::size_t lineStart = bytes.find(lineEnd) + lineEnd.size();
	while (lineStart < framing_.headerLength - lineEnd.size()) {
		const std::size_t lineStop = bytes.find(lineEnd, lineStart);
		const std::string_view line = bytes.substr(lineStart, lineStop - lineStart);
		const std::size_t colon = line.find(':');
		if (colon != std::string_view::npos) {
			const std::string_view name = line.substr(0, colon);
			const std::string_view value = trimmed(line.substr(colon + 1));
			if (equalsIgnoringCase(name, "content-length")) {
				const std::optional<std::uint64_t> length = parseDecimal(value);
				if (!length || (contentLength && *contentLength != *length)) {
					finish(FramingStatus::Malformed);
					return;
				}
				contentLength = length;
			} else if (equalsIgnoringCase(name, "transfer-encoding")) {
				if (!equalsIgnoringCase(value, "chunked")) {
					finish(FramingStatus::Malformed);
					return;
				}
				chunked = true;
			} else if (equalsIgnoringCase(name, "expect") && equalsIgnoringCase(value, "100-continue")) {
				framing_.expectLineOffset = lineStart;
				framing_.expectLineLength = lineStop + lineEnd.size() - lineStart;
			}
		}
		lineStart = lineStop + lineEnd.size();
	}

	// Both at once would let two readers disagree on where the request ends.
	if (chunked && contentLength) {
		finish(FramingStatus::Malformed);
		return;
	}
	position_ = framing_.headerLength;
	if (chunked) {
		stage_ = Stage::ChunkSize;
		return;
	}
	const std::uint64_t length = contentLength.value_or(0);
	if (length > limits_.maxBodyBytes) {
		finish(FramingStatus::BodyTooLarge);
		return;
	}
	bodyBytes_ = static_cast<std::size_t>(length);
	stage_ = Stage::Body;
}

void RequestFramer::readChunks(std::string_view bytes)
{
	for (;;) {
		if (stage_ == Stage::ChunkData) {
			// The chunk's data and the line end after it.
			if (bytes.size() < position_ + chunkSize_ + lineEnd.size())
				return;
			if (bytes.substr(position_ + chunkSize_, lineEnd.size()) != lineEnd) {
				finish(FramingStatus::Malformed);
				return;
			}
			position_ += chunkSize_ + lineEnd.size();
			stage_ = Stage::ChunkSize;
			continue;
		}

		const std::size_t lineStop = findLineStop(bytes);
		const std::size_t lineBytes = (lineStop == std::string_view::npos ? bytes.size() : lineStop) - position_;
		if (stage_ == Stage::ChunkSize) {
			if (lineBytes > maxChunkLineBytes) {
				finish(FramingStatus::Malformed);
				return;
			}
			if (lineStop == std::string_view::npos)
				return;
			const std::string_view line = bytes.substr(position_, lineBytes);
			std::uint64_t size = 0;
			std::size_t digits = 0;
			for (; digits < line.size() && hexDigit(line[digits]) >= 0; ++digits) {
				size = size * 16 + static_cast<std::uint64_t>(hexDigit(line[digits]));
				if (size > limits_.maxBodyBytes) {
					finish(FramingStatus::BodyTooLarge);
					return;
				}
			}
			const std::string_view rest = trimmed(line.substr(digits));
			if (digits == 0 || (!rest.empty() && rest.front() != ';')) {
				finish(FramingStatus::Malformed);
				return;
			}
			bodyBytes_ += static_cast<std::size_t>(size);
			if (bodyBytes_ > limits_.maxBodyBytes) {
				finish(FramingStatus::BodyTooLarge);
				return;
			}
			position_ = lineStop + lineEnd.size();
			if (size == 0) {
				trailerStart_ = position_;
				stage_ = Stage::Trailer;
			} else {
				chunkSize_ = static_cast<std::size_t>(size);
				stage_ = Stage::ChunkData;
			}
			continue;
		}

		// Trailer lines, up to an empty one.
		if (position_ + lineBytes - trailerStart_ > limits_.maxHeaderBytes) {
			finish(FramingStatus::HeadersTooLarge);
			return;
		}
		if (lineStop == std::string_view::npos)
			return;
		position_ = lineStop + lineEnd.size();
		if (lineBytes == 0) {
			framing_.requestLength = position_;
			finish(FramingStatus::Complete);
			return;
		}
	}
}

bool RequestFramer::linesWithinLimit(std::string_view bytes, std::size_t end)
{
	for (std::size_t stop = bytes.find('\n', headerLineSearchedTo_); stop != std::string_view::npos && stop < end;
	     stop = bytes.find('\n', headerLineSearchedTo_)) {
		if (stop + 1 - headerLineStart_ > limits_.maxLineBytes)
			return false;
		headerLineStart_ = headerLineSearchedTo_ = stop + 1;
	}
	headerLineSearchedTo_ = std::max(headerLineSearchedTo_, end);
	// A line not ended yet is judged by what has come of it.
	return end - headerLineStart_ <= limits_.maxLineBytes;
}

std::size_t RequestFramer::findLineStop(std::string_view bytes)
{
	// A line end may straddle what was looked at before and what is new.
	const std::size_t from = std::max(position_, searchedTo_ > 0 ? searchedTo_ - 1 : 0);
	const std::size_t stop = bytes.find(lineEnd, from);
	if (stop == std::string_view::npos)
		searchedTo_ = bytes.size();
	return stop;
}

RequestFraming frameRequest(std::string_view bytes, const RequestLimits &limits)
{
	RequestFramer framer(limits);
	return framer.advance(bytes);
}

} // namespace tiloran
