// A board's serial number in the image: how it is written (the format), where
// (the address), and the image with it in place. Pure functions; the draw of
// the number is the record store's (store.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/image.h"

namespace porten::records {

// Serial numbers run from 0 to 2^63 - 1, so that both stores keep them in a
// signed 64-bit column.
inline constexpr uint64_t kMaxSerial = 0x7FFFFFFFFFFFFFFFull;

struct SerialFormat {
  enum class Kind {
    kBinary,  // u16le ... u64be
    kAscii,   // decimal, zero-padded to width characters
    kHex,     // upper-case hexadecimal, zero-padded to width characters
  };
  Kind kind = Kind::kBinary;
  int width = 4;  // bytes in the image
  bool bigEndian = false;

  // The largest number the format holds (at most kMaxSerial).
  uint64_t Max() const;
};

// "u16le", "u16be", "u32le", "u32be", "u64le", "u64be", "ascii:W" (W from 1
// to 19) or "hex:W" (W from 1 to 16); nullopt for anything else.
std::optional<SerialFormat> ParseSerialFormat(std::string_view text);

// Hexadecimal, with or without "0x", at most 8 digits.
std::optional<uint32_t> ParseSerialAddress(std::string_view text);

// A decimal number from 0 to kMaxSerial.
std::optional<uint64_t> ParseSerialNumber(std::string_view text);

// The bytes of number in format; nullopt when it does not fit the width.
std::optional<std::vector<uint8_t>> EncodeSerial(uint64_t number, const SerialFormat& format);

// Empty when width bytes at address lie inside the image of length bytes
// from base; else why not, in one line.
std::string CheckSerialPlace(uint32_t address, int width, uint32_t base, uint32_t length);

// The image's bytes with patch at address; the place must have passed
// CheckSerialPlace.
std::vector<uint8_t> PatchedImage(const std::vector<uint8_t>& bytes, uint32_t base,
                                  uint32_t address, const std::vector<uint8_t>& patch);

}  // namespace porten::records
