// Digests of an image, so that a written board can be matched against a
// build: over the bytes sent, base to base + length - 1, gaps as 0xFF.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace porten {

// SHA-256 in 64 lower-case hexadecimal digits (OpenSSL's libcrypto).
std::string Sha256Hex(const std::vector<uint8_t>& bytes);

// CRC-32 as zip, gzip and the crc32 tool compute it (zlib).
uint32_t Crc32(const std::vector<uint8_t>& bytes);

}  // namespace porten
