#pragma once

#include <string>
#include <string_view>

namespace tiloran {

// Bytes as lower-case hexadecimal digits, two a byte.
inline std::string hexText(std::string_view bytes)
{
	constexpr char digits[] = "0123456789abcdef";
	std::string text;
	text.reserve(bytes.size() * 2);
	for (const char byte : bytes) {
		const auto value = static_cast<unsigned char>(byte);
		text.push_back(digits[value >> 4]);
		text.push_back(digits[value & 0x0F]);
	}
	return text;
}

} // namespace tiloran
