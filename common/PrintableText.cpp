#include "common/PrintableText.h"

#include <cstddef>

namespace tiloran {

namespace {

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

// The length of the UTF-8 sequence at the start of text, or 0 when it is not
// one: overlong forms, surrogates and values beyond U+10FFFF are not.
std::size_t utf8SequenceLength(std::string_view text)
{
	const auto byte = [&](std::size_t index) { return static_cast<unsigned char>(text[index]); };
	const unsigned char lead = byte(0);
	if (lead < 0x80)
		return 1;
	std::size_t length = 0;
	unsigned char low = 0x80;
	unsigned char high = 0xBF;
	if (lead >= 0xC2 && lead <= 0xDF) {
		length = 2;
	} else if (lead >= 0xE0 && lead <= 0xEF) {
		length = 3;
		if (lead == 0xE0)
			low = 0xA0;
		else if (lead == 0xED)
			high = 0x9F;
	} else if (lead >= 0xF0 && lead <= 0xF4) {
		length = 4;
		if (lead == 0xF0)
			low = 0x90;
		else if (lead == 0xF4)
			high = 0x8F;
	} else {
		return 0;
	}
	if (text.size() < length || byte(1) < low || byte(1) > high)
		return 0;
	for (std::size_t index = 2; index < length; ++index) {
		if (byte(index) < 0x80 || byte(index) > 0xBF)
			return 0;
	}
	return length;
}

} // namespace

std::string printableText(std::string_view text)
{
	std::string printable;
	printable.reserve(text.size());
	std::size_t index = 0;
	while (index < text.size()) {
		const unsigned char character = static_cast<unsigned char>(text[index]);
		if (character == '\t' || character == '\n' || character == '\r') {
			printable.push_back(' ');
			++index;
		} else if (character < 0x20 || character == 0x7F) {
			printable.append(replacementCharacter);
			++index;
		} else if (const std::size_t length = utf8SequenceLength(text.substr(index)); length > 0) {
			printable.append(text.substr(index, length));
			index += length;
		} else {
			printable.append(replacementCharacter);
			++index;
		}
	}
	return printable;
}

} // namespace tiloran
