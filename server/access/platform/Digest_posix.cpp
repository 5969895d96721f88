#include "access/platform/Digest.h"

#include <stdexcept>

#include <openssl/evp.h>

namespace tiloran::platform {

std::string pbkdf2Sha256(std::string_view password, std::string_view salt, unsigned iterations,
			 std::size_t length)
{
	std::string key(length, '\0');
	if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
			      reinterpret_cast<const unsigned char *>(salt.data()), static_cast<int>(salt.size()),
			      static_cast<int>(iterations), EVP_sha256(), static_cast<int>(length),
			      reinterpret_cast<unsigned char *>(key.data())) != 1)
		throw std::runtime_error("PBKDF2 failed in OpenSSL");
	return key;
}

std::string sha256(std::string_view data)
{
	std::string digest(EVP_MAX_MD_SIZE, '\0');
	unsigned int size = 0;
	if (EVP_Digest(data.data(), data.size(), reinterpret_cast<unsigned char *>(digest.data()), &size, EVP_sha256(),
		       nullptr) != 1)
		throw std::runtime_error("SHA-256 failed in OpenSSL");
	digest.resize(size);
	return digest;
}

} // namespace tiloran::platform
