#include "access/platform/Digest.h"

#include <stdexcept>

#include <windows.h>
#include <bcrypt.h>

namespace tiloran::platform {

namespace {

// The system's SHA-256 provider, opened for HMAC or plain hashing; closed
// with its owner.
class Sha256Provider
{
public:
	explicit Sha256Provider(ULONG flags)
	{
		if (BCryptOpenAlgorithmProvider(&handle_, BCRYPT_SHA256_ALGORITHM, nullptr, flags) < 0)
			throw std::runtime_error("The system has no SHA-256 provider");
	}
	~Sha256Provider() { BCryptCloseAlgorithmProvider(handle_, 0); }
	Sha256Provider(const Sha256Provider &) = delete;
	Sha256Provider &operator=(const Sha256Provider &) = delete;

	BCRYPT_ALG_HANDLE get() const { return handle_; }

private:
	BCRYPT_ALG_HANDLE handle_ = nullptr;
};

PUCHAR bytesOf(std::string_view text)
{
	return reinterpret_cast<PUCHAR>(const_cast<char *>(text.data()));
}

} // namespace

std::string pbkdf2Sha256(std::string_view password, std::string_view salt, unsigned iterations,
			 std::size_t length)
{
	const Sha256Provider provider(BCRYPT_ALG_HANDLE_HMAC_FLAG);
	std::string key(length, '\0');
	if (BCryptDeriveKeyPBKDF2(provider.get(), bytesOf(password), static_cast<ULONG>(password.size()), bytesOf(salt),
				  static_cast<ULONG>(salt.size()), iterations, reinterpret_cast<PUCHAR>(key.data()),
				  static_cast<ULONG>(length), 0) < 0)
		throw std::runtime_error("PBKDF2 failed in the system's provider");
	return key;
}

std::string sha256(std::string_view data)
{
	const Sha256Provider provider(0);
	BCRYPT_HASH_HANDLE hash = nullptr;
	if (BCryptCreateHash(provider.get(), &hash, nullptr, 0, nullptr, 0, 0) < 0)
		throw std::runtime_error("SHA-256 failed in the system's provider");
	std::string digest(32, '\0');
	const bool done = BCryptHashData(hash, bytesOf(data), static_cast<ULONG>(data.size()), 0) >= 0 &&
			  BCryptFinishHash(hash, reinterpret_cast<PUCHAR>(digest.data()), 32, 0) >= 0;
	BCryptDestroyHash(hash);
	if (!done)
		throw std::runtime_error("SHA-256 failed in the system's provider");
	return digest;
}

} // namespace tiloran::platform
