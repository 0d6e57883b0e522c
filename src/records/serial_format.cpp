#include "records/serial_format.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace porten::records {

namespace {

std::optional<uint64_t> Digits(std::string_view text, int base) {
  uint64_t value = 0;
  if (text.empty()) return std::nullopt;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

uint64_t Power(uint64_t base, int exponent) {
  uint64_t p = 1;
  for (int i = 0; i < exponent; ++i) p *= base;
  return p;
}

}  // namespace

uint64_t SerialFormat::Max() const {
  uint64_t max = kMaxSerial;
  switch (kind) {
    case Kind::kBinary:
      if (width < 8) max = (uint64_t{1} << (8 * width)) - 1;
      break;
    case Kind::kAscii:
      if (width < 19) max = Power(10, width) - 1;
      break;
    case Kind::kHex:
      if (width < 16) max = Power(16, width) - 1;
      break;
  }
  return max < kMaxSerial ? max : kMaxSerial;
}

std::optional<SerialFormat> ParseSerialFormat(std::string_view text) {
  static constexpr struct {
    const char* name;
    int width;
    bool bigEndian;
  } kBinary[] = {{"u16le", 2, false}, {"u16be", 2, true}, {"u32le", 4, false},
                 {"u32be", 4, true},  {"u64le", 8, false}, {"u64be", 8, true}};
  for (const auto& b : kBinary) {
    if (text == b.name) return SerialFormat{SerialFormat::Kind::kBinary, b.width, b.bigEndian};
  }
  const auto colon = text.find(':');
  if (colon == std::string_view::npos || text.substr(colon + 1).starts_with('+')) {
    return std::nullopt;
  }
  const std::string_view kind = text.substr(0, colon);
  const auto width = Digits(text.substr(colon + 1), 10);
  if (kind == "ascii" && width && *width >= 1 && *width <= 19) {
    return SerialFormat{SerialFormat::Kind::kAscii, static_cast<int>(*width), false};
  }
  if (kind == "hex" && width && *width >= 1 && *width <= 16) {
    return SerialFormat{SerialFormat::Kind::kHex, static_cast<int>(*width), false};
  }
  return std::nullopt;
}

std::optional<uint32_t> ParseSerialAddress(std::string_view text) {
  if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
  if (text.size() > 8) return std::nullopt;
  const auto value = Digits(text, 16);
  if (!value) return std::nullopt;
  return static_cast<uint32_t>(*value);
}

std::optional<uint64_t> ParseSerialNumber(std::string_view text) {
  const auto value = Digits(text, 10);
  if (!value || *value > kMaxSerial) return std::nullopt;
  return value;
}

std::optional<std::vector<uint8_t>> EncodeSerial(uint64_t number, const SerialFormat& format) {
  if (number > format.Max()) return std::nullopt;
  std::vector<uint8_t> bytes(static_cast<size_t>(format.width));
  switch (format.kind) {
    case SerialFormat::Kind::kBinary:
      for (int i = 0; i < format.width; ++i) {
        const auto byte = static_cast<uint8_t>(number >> (8 * i));
        bytes[format.bigEndian ? format.width - 1 - i : i] = byte;
      }
      break;
    case SerialFormat::Kind::kAscii:
    case SerialFormat::Kind::kHex: {
      const bool hex = format.kind == SerialFormat::Kind::kHex;
      for (int i = format.width - 1; i >= 0; --i) {
        bytes[i] = static_cast<uint8_t>("0123456789ABCDEF"[number % (hex ? 16 : 10)]);
        number /= hex ? 16 : 10;
      }
      break;
    }
  }
  return bytes;
}

std::string CheckSerialPlace(uint32_t address, int width, uint32_t base, uint32_t length) {
  const uint64_t end = uint64_t{address} + static_cast<uint64_t>(width);
  if (address >= base && end <= uint64_t{base} + length) return {};
  char text[160];
  if (length == 0) {
    std::snprintf(text, sizeof text, "the image holds no data to put a serial number in");
  } else {
    std::snprintf(text, sizeof text,
                  "the serial number's %d bytes at %08X lie outside the image (%08X - %08X)",
                  width, address, base, static_cast<uint32_t>(base + length - 1));
  }
  return text;
}

std::vector<uint8_t> PatchedImage(const std::vector<uint8_t>& bytes, uint32_t base,
                                  uint32_t address, const std::vector<uint8_t>& patch) {
  std::vector<uint8_t> out = bytes;
  std::copy(patch.begin(), patch.end(), out.begin() + (address - base));
  return out;
}

}  // namespace porten::records
