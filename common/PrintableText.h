#pragma once

#include <string>
#include <string_view>

namespace tiloran {

// Text as one console line may show it: every byte sequence that is not
// UTF-8 replaced by U+FFFD, and control characters by a blank (tab, line
// feed, carriage return) or U+FFFD, so that text from outside (a request, a
// name, a peer's answer) can neither break the line nor forge one.
std::string printableText(std::string_view text);

} // namespace tiloran
