// Where one HTTP request ends in a growing buffer, and what is refused.

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http/RequestFraming.h"

namespace tiloran {
namespace {

const RequestLimits limits{ 1024, 4096 };

// The framing of bytes fed in pieces of the given sizes, as they would arrive.
RequestFraming framedInPieces(const std::string &bytes, std::mt19937 &random)
{
	RequestFramer framer(limits);
	std::string buffer;
	std::size_t position = 0;
	while (position < bytes.size() && framer.framing().status == FramingStatus::Incomplete) {
		const std::size_t piece = std::min<std::size_t>(1 + random() % 40, bytes.size() - position);
		buffer += bytes.substr(position, piece);
		position += piece;
		framer.advance(buffer);
	}
	return framer.framing();
}

TEST(RequestFramingTest, RequestsEndWhereTheirFramingSays)
{
	const std::string get = "GET /api/health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
	const std::string post = "POST /api/stream/start HTTP/1.1\r\ncontent-LENGTH:  5 \r\n\r\nhello";
	const std::string chunked = "POST /a HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n"
				    "5;name=value\r\nhello\r\nA\r\n0123456789\r\n0\r\nTrailer: t\r\n\r\n";
	const std::string repeated = "POST /a HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\nok";
	for (const std::string &request : { get, post, chunked, repeated }) {
		SCOPED_TRACE(request);
		// Whatever follows belongs to the next request.
		const RequestFraming framing = frameRequest(request + "GET / HTTP/1.1\r\n", limits);
		EXPECT_EQ(framing.status, FramingStatus::Complete);
		EXPECT_EQ(framing.requestLength, request.size());
		EXPECT_EQ(framing.expectLineLength, 0u);
		// One byte less is not a request yet.
		EXPECT_EQ(frameRequest(request.substr(0, request.size() - 1), limits).status, FramingStatus::Incomplete);
	}
	EXPECT_EQ(frameRequest(get, limits).headerLength, get.size());
}

TEST(RequestFramingTest, WhatCannotBeFramedOrIsTooLargeIsRefused)
{
	const std::string start = "POST /a HTTP/1.1\r\n";
	const std::pair<std::string, FramingStatus> cases[] = {
		{ start + "Content-Length: 4097\r\n\r\n", FramingStatus::BodyTooLarge },
		{ start + "Content-Length: 99999999999999999999999999\r\n\r\n", FramingStatus::BodyTooLarge },
		{ start + "Transfer-Encoding: chunked\r\n\r\n1001\r\n", FramingStatus::BodyTooLarge },
		{ start + "Transfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFFFFFF\r\n", FramingStatus::BodyTooLarge },
		{ start + "Transfer-Encoding: chunked\r\n\r\n800\r\n" + std::string(2048, 'x') + "\r\n801\r\n",
		  FramingStatus::BodyTooLarge },
		{ start + "X: " + std::string(1100, 'x') + "\r\n\r\n", FramingStatus::HeadersTooLarge },
		{ start + "X: " + std::string(1100, 'x'), FramingStatus::HeadersTooLarge },
		{ start + "Transfer-Encoding: chunked\r\n\r\n0\r\nX: " + std::string(1100, 'x'),
		  FramingStatus::HeadersTooLarge },
		{ start + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n", FramingStatus::Malformed },
		{ start + "Transfer-Encoding: gzip, chunked\r\n\r\n", FramingStatus::Malformed },
		{ start + "Content-Length: -1\r\n\r\n", FramingStatus::Malformed },
		{ start + "Content-Length: 1 2\r\n\r\n", FramingStatus::Malformed },
		{ start + "Content-Length: 2\r\nContent-Length: 3\r\n\r\nabc", FramingStatus::Malformed },
		{ start + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", FramingStatus::Malformed },
		{ start + "Transfer-Encoding: chunked\r\n\r\n2\r\nabcd\r\n", FramingStatus::Malformed },
		{ start + "Transfer-Encoding: chunked\r\n\r\n" + std::string(1100, '0'), FramingStatus::Malformed },
	};
	for (const auto &[bytes, expected] : cases) {
		SCOPED_TRACE(bytes.substr(0, 120));
		EXPECT_EQ(frameRequest(bytes, limits).status, expected);
	}

	// A line beyond its limit, ended or not, in a header block within its own.
	const RequestLimits lineLimits{ 1024, 4096, 64 };
	for (const std::string &bytes : { "GET /" + std::string(60, 'u') + " HTTP/1.1\r\n\r\n", "GET /" + std::string(60, 'u'),
					  start + "X: " + std::string(60, 'x') + "\r\n\r\n", start + "X: " + std::string(62, 'x') }) {
		SCOPED_TRACE(bytes);
		EXPECT_EQ(frameRequest(bytes, lineLimits).status, FramingStatus::HeadersTooLarge);
	}
	EXPECT_EQ(frameRequest(start + "X: " + std::string(59, 'x') + "\r\n\r\n", lineLimits).status,
		  FramingStatus::Complete);

	// The limits themselves are allowed.
	std::string atLimit = start + "X: ";
	atLimit += std::string(limits.maxHeaderBytes - atLimit.size() - 4, 'x') + "\r\n\r\n";
	EXPECT_EQ(frameRequest(atLimit, limits).status, FramingStatus::Complete);
	EXPECT_EQ(frameRequest(start + "Content-Length: 4096\r\n\r\n" + std::string(4096, 'b'), limits).status,
		  FramingStatus::Complete);
}

TEST(RequestFramingTest, TheExpectLineIsFoundForTheGateToAnswer)
{
	const std::string headers = "POST /a HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 100-Continue\r\nContent-Length: 3\r\n\r\n";
	const RequestFraming framing = frameRequest(headers, limits);
	EXPECT_EQ(framing.status, FramingStatus::Incomplete);
	EXPECT_EQ(headers.substr(framing.expectLineOffset, framing.expectLineLength), "Expect: 100-Continue\r\n");
	EXPECT_EQ(framing.headerLength, headers.size());
	// Too large is known before the client sends its body.
	EXPECT_EQ(frameRequest("POST /a HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5000\r\n\r\n", limits).status,
		  FramingStatus::BodyTooLarge);
}

TEST(RequestFramingTest, PiecesGiveTheSameFramingAsTheWhole)
{
	std::mt19937 random(11);
	const std::vector<std::string> requests = {
		"GET / HTTP/1.1\r\n\r\n",
		"POST /a HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789",
		"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n1\r\n\r\r\n0\r\n\r\n",
		"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcX\r\n",
		"POST /a HTTP/1.1\r\nContent-Length: 9000\r\n\r\n",
		"GET / HTTP/1.1\r\nX: " + std::string(2000, 'y'),
		"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nA: b\r\nC: d\r\n\r\nGET",
	};
	for (const std::string &request : requests) {
		SCOPED_TRACE(request.substr(0, 80));
		const RequestFraming whole = frameRequest(request, limits);
		for (int round = 0; round < 50; ++round) {
			const RequestFraming pieces = framedInPieces(request, random);
			EXPECT_EQ(pieces.status, whole.status);
			EXPECT_EQ(pieces.requestLength, whole.requestLength);
		}
	}
}

} // namespace
} // namespace tiloran
