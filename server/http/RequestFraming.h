#pragma once

#include <cstddef>
#include <string_view>

namespace tiloran {

// How much one HTTP request may hold before the server refuses it.
struct RequestLimits {
	// The request line and every header line, up to and including the
	// empty line that ends them; a chunked body's trailer counts alike.
	std::size_t maxHeaderBytes = 64 * 1024;
	std::size_t maxBodyBytes = 1024 * 1024;
	// Each line of the header block, its line end included: the HTTP
	// library's own limit for a header line, and above its limit for the
	// request target.
	std::size_t maxLineBytes = 8192;
};

enum class FramingStatus {
	// More bytes are needed to know where the request ends.
	Incomplete,
	// The first requestLength bytes are one whole request.
	Complete,
	// The header block or one of its lines is too long.
	HeadersTooLarge,
	BodyTooLarge,
	// The length of the body cannot be told: a bad or repeated
	// Content-Length, a transfer coding other than chunked, both headers
	// together, or a broken chunk.
	Malformed,
};

struct RequestFraming {
	FramingStatus status = FramingStatus::Incomplete;
	// Set with Complete.
	std::size_t requestLength = 0;
	// Set once the header block is whole.
	std::size_t headerLength = 0;
	// The client waits for "100 Continue" before it sends its body: where
	// its "Expect" line lies in the header block (length 0 when there is
	// none). Set once the header block is whole.
	std::size_t expectLineOffset = 0;
	std::size_t expectLineLength = 0;
};

// Finds where the first HTTP/1.1 request of a growing buffer ends, looking at
// nothing but its framing: the header block ends at the first empty line (CR
// LF CR LF), the body is Content-Length bytes long or, with
// "Transfer-Encoding: chunked", runs to the last chunk and its trailer.
//
// advance() is given the whole buffer each time, grown at its end since the
// last call and otherwise unchanged, and looks only at what it has not looked
// at before, so a request that arrives a byte at a time costs no more than
// one that arrives at once. Once the status is no longer Incomplete it stays.
class RequestFramer
{
public:
	explicit RequestFramer(const RequestLimits &limits);

	const RequestFraming &advance(std::string_view bytes);
	const RequestFraming &framing() const { return framing_; }

private:
	enum class Stage { Headers, Body, ChunkSize, ChunkData, Trailer, Done };

	void readHeaderBlock(std::string_view bytes);
	// Whether every line of the header block up to end is within its limit.
	bool linesWithinLimit(std::string_view bytes, std::size_t end);
	void readChunks(std::string_view bytes);
	// The end of the line that starts at position_, or npos.
	std::size_t findLineStop(std::string_view bytes);
	void finish(FramingStatus status);

	RequestLimits limits_;
	RequestFraming framing_;
	Stage stage_ = Stage::Headers;
	// Where the next look at the buffer starts.
	std::size_t position_ = 0;
	std::size_t bodyBytes_ = 0;
	std::size_t chunkSize_ = 0;
	std::size_t trailerStart_ = 0;
	// How far the current line was searched for its end.
	std::size_t searchedTo_ = 0;
	// The header block's line being read, and how far it was searched.
	std::size_t headerLineStart_ = 0;
	std::size_t headerLineSearchedTo_ = 0;
};

// The framing of bytes taken whole.
RequestFraming frameRequest(std::string_view bytes, const RequestLimits &limits);

} // namespace tiloran
