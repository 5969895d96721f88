#include "access/Credentials.h"

#include <charconv>
#include <vector>

#include "access/platform/Digest.h"
#include "common/HexText.h"
#include "common/platform/SecureRandom.h"

namespace tiloran {

namespace {

constexpr std::string_view passwordScheme = "pbkdf2-sha256";
constexpr std::size_t saltBytes = 16;
constexpr std::size_t keyBytes = 32;
// Hashes with more iterations than this are refused rather than worked
// through: a settings file must not make every login take minutes.
constexpr unsigned maxIterations = 10000000;

std::vector<std::string_view> fieldsOf(std::string_view text)
{
	std::vector<std::string_view> fields;
	for (std::size_t begin = 0;;) {
		const std::size_t end = text.find('$', begin);
		fields.push_back(text.substr(begin, end - begin));
		if (end == std::string_view::npos)
			return fields;
		begin = end + 1;
	}
}

std::string passwordKey(std::string_view password, std::string_view salt, unsigned iterations)
{
	return hexText(platform::pbkdf2Sha256(password, salt, iterations, keyBytes));
}

bool bytesOfHex(std::string_view hex, std::string &bytes)
{
	if (hex.size() % 2 != 0)
		return false;
	bytes.clear();
	for (std::size_t index = 0; index < hex.size(); index += 2) {
		unsigned value = 0;
		const auto [end, error] = std::from_chars(hex.data() + index, hex.data() + index + 2, value, 16);
		if (error != std::errc() || end != hex.data() + index + 2)
			return false;
		bytes.push_back(static_cast<char>(value));
	}
	return true;
}

} // namespace

std::string hashPassword(std::string_view password)
{
	const std::string salt = platform::secureRandomBytes(saltBytes);
	return std::string(passwordScheme) + "$" + std::to_string(passwordHashIterations) + "$" + hexText(salt) + "$" +
	       passwordKey(password, salt, passwordHashIterations);
}

bool verifyPassword(std::string_view password, std::string_view encoded)
{
	const std::vector<std::string_view> fields = fieldsOf(encoded);
	if (fields.size() != 4 || fields[0] != passwordScheme)
		return false;
	unsigned iterations = 0;
	const auto [end, error] = std::from_chars(fields[1].data(), fields[1].data() + fields[1].size(), iterations);
	std::string salt;
	if (error != std::errc() || end != fields[1].data() + fields[1].size() || iterations == 0 ||
	    iterations > maxIterations || !bytesOfHex(fields[2], salt) || salt.empty())
		return false;
	return equalInConstantTime(passwordKey(password, salt, iterations), fields[3]);
}

std::string newApiToken()
{
	return "tlr_" + hexText(platform::secureRandomBytes(32));
}

std::string apiTokenHash(std::string_view token)
{
	return hexText(platform::sha256(token));
}

bool equalInConstantTime(std::string_view given, std::string_view expected)
{
	if (expected.empty())
		return false;
	unsigned char difference = given.size() == expected.size() ? 0 : 1;
	for (std::size_t index = 0; index < given.size(); ++index)
		difference |= static_cast<unsigned char>(given[index] ^ expected[index % expected.size()]);
	return difference == 0;
}

} // namespace tiloran
