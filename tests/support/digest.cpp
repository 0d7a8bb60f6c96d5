#include "support/digest.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>

namespace qm_test {

bytes pattern(std::size_t size, std::uint32_t seed)
{
    bytes data(size);
    std::uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    for (std::size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = static_cast<unsigned char>(x >> 7);
    }
    return data;
}

std::string sha256(const bytes& data)
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[32] = {};
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
        throw std::runtime_error("no SHA-256 provider");
    BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    // Fed in pieces: the length parameter is 32 bits.
    for (std::size_t pos = 0; pos < data.size(); pos += 1 << 24) {
        const ULONG n = static_cast<ULONG>(std::min<std::size_t>(1 << 24, data.size() - pos));
        BCryptHashData(hash, const_cast<unsigned char*>(data.data() + pos), n, 0);
    }
    BCryptFinishHash(hash, digest, sizeof digest, 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : digest) {
        text += hex[c >> 4];
        text += hex[c & 15];
    }
    return text;
}

} // namespace qm_test
