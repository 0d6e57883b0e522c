// Fingerprints of an image, as info prints them and the write log records
// them: over the bytes that are sent, base to base + length - 1, gaps 0xFF.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace porten {

std::string Sha256Hex(const std::vector<uint8_t>& bytes);  // lower-case hex
uint32_t Crc32(const std::vector<uint8_t>& bytes);

}  // namespace porten
