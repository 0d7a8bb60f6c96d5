// Contents the tests make and the digest they compare uploads and downloads by.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm_test {

typedef std::vector<unsigned char> bytes;

// Deterministic pseudo-random contents; the same (size, seed) always gives the same bytes.
bytes pattern(std::size_t size, std::uint32_t seed);
std::string sha256(const bytes& data);

} // namespace qm_test
