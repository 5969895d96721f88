#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tiloran {

// How a request body is looked at as text, before and besides parsing it.

// Whether JSON text opens more than maxDepth arrays and objects inside each
// other. Strings are skipped; the text need not be valid JSON. No recursion.
bool jsonNestsDeeperThan(std::string_view text, std::size_t maxDepth);

// The body as one console line may show it: the value of every
// "srtPassphrase" member shown as "***", at most maxBytes of it followed by
// "... (N bytes)" when it is longer, bytes that are not UTF-8 as U+FFFD and
// line breaks and other control characters as blanks or U+FFFD, so that it
// stays one line.
std::string consoleTextOfRequestBody(std::string_view body, std::size_t maxBytes = 4096);

} // namespace tiloran
