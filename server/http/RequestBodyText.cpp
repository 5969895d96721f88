#include "http/RequestBodyText.h"

#include <nlohmann/json.hpp>

#include "common/PrintableText.h"
#include "common/Redaction.h"

namespace tiloran {

namespace {

constexpr std::string_view passphraseKey = "srtPassphrase";

// The index just past the JSON string token that starts at a quote, or the
// end of the text when it is not closed.
std::size_t stringTokenEnd(std::string_view text, std::size_t quote)
{
	for (std::size_t index = quote + 1; index < text.size(); ++index) {
		if (text[index] == '\\')
			++index;
		else if (text[index] == '"')
			return index + 1;
	}
	return text.size();
}

// The index just past the JSON value that starts at index, whatever its
// type, as far as it can be told from text that may not be JSON: a string
// token, a bracketed array or object (strings inside skipped), or a bare
// word up to the next delimiter.
std::size_t valueEnd(std::string_view text, std::size_t index)
{
	if (text[index] == '"')
		return stringTokenEnd(text, index);
	if (text[index] == '[' || text[index] == '{') {
		std::size_t depth = 0;
		for (; index < text.size(); ++index) {
			if (text[index] == '"')
				index = stringTokenEnd(text, index) - 1;
			else if (text[index] == '[' || text[index] == '{')
				++depth;
			else if ((text[index] == ']' || text[index] == '}') && --depth == 0)
				return index + 1;
		}
		return text.size();
	}
	const std::size_t end = text.find_first_of(",]} \t\r\n", index);
	return end == std::string_view::npos ? text.size() : end;
}

std::size_t skipBlanks(std::string_view text, std::size_t index)
{
	while (index < text.size() &&
	       (text[index] == ' ' || text[index] == '\t' || text[index] == '\r' || text[index] == '\n'))
		++index;
	return index;
}

// Whether a string token names the passphrase member, escapes decoded.
bool namesPassphrase(std::string_view token)
{
	if (token == "\"srtPassphrase\"")
		return true;
	// Escapes make the token longer than the name, but not much.
	if (token.size() > passphraseKey.size() * 6 + 2 || token.find('\\') == std::string_view::npos)
		return false;
	try {
		return nlohmann::json::parse(token).get_ref<const std::string &>() == passphraseKey;
	} catch (const nlohmann::json::exception &) {
		return false;
	}
}

std::string maskPassphrases(std::string_view body)
{
	std::string masked;
	masked.reserve(body.size());
	std::size_t index = 0;
	while (index < body.size()) {
		const std::size_t quote = body.find('"', index);
		if (quote == std::string_view::npos) {
			masked.append(body.substr(index));
			break;
		}
		masked.append(body.substr(index, quote - index));
		const std::size_t tokenEnd = stringTokenEnd(body, quote);
		masked.append(body.substr(quote, tokenEnd - quote));
		index = tokenEnd;

		const std::size_t colon = skipBlanks(body, index);
		if (colon >= body.size() || body[colon] != ':' ||
		    !namesPassphrase(body.substr(quote, tokenEnd - quote)))
			continue;
		const std::size_t value = skipBlanks(body, colon + 1);
		if (value >= body.size())
			continue;
		masked.append(body.substr(index, value - index));
		masked.append("\"").append(redactedSecret).append("\"");
		index = valueEnd(body, value);
	}
	return masked;
}

} // namespace

bool jsonNestsDeeperThan(std::string_view text, std::size_t maxDepth)
{
	std::size_t depth = 0;
	for (std::size_t index = 0; index < text.size(); ++index) {
		switch (text[index]) {
		case '"':
			index = stringTokenEnd(text, index) - 1;
			break;
		case '[':
		case '{':
			if (++depth > maxDepth)
				return true;
			break;
		case ']':
		case '}':
			if (depth > 0)
				--depth;
			break;
		default:
			break;
		}
	}
	return false;
}

std::string consoleTextOfRequestBody(std::string_view body, std::size_t maxBytes)
{
	const std::string masked = maskPassphrases(body);
	if (masked.size() <= maxBytes)
		return printableText(masked);
	return printableText(std::string_view(masked).substr(0, maxBytes)) + "... (" + std::to_string(body.size()) +
	       " bytes)";
}

} // namespace tiloran
