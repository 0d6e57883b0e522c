#include "image/intel_hex.h"

#include "image/hex.h"
#include "image/line_scan.h"

namespace porten {

using hex::HexDigit;
using hex::ScanHex;

HexParse ParseHexRecord(const char* text, size_t length, HexRecord* out) {
  if (length < 11) return {HexParse::kMalformed, "shorter than a record"};
  if ((length - 1) % 2 != 0) return {HexParse::kMalformed, "an odd number of digits"};
  const size_t pairs = (length - 1) / 2;
  if (pairs > 5 + 255) return {HexParse::kMalformed, "longer than a record"};
  uint8_t bytes[5 + 255];
  unsigned sum = 0;
  for (size_t i = 0; i < pairs; ++i) {
    const int high = HexDigit(text[1 + 2 * i]);
    const int low = HexDigit(text[2 + 2 * i]);
    if (high < 0 || low < 0) return {HexParse::kMalformed, "a character that is not a hexadecimal digit"};
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
    sum += bytes[i];
  }
  out->count = bytes[0];
  out->offset = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
  out->type = bytes[3];
  if (pairs != 5u + out->count) return {HexParse::kMalformed, "the byte count does not match the record"};
  switch (out->type) {
    case kHexData:
      break;
    case kHexEnd:
      if (out->count != 0) return {HexParse::kMalformed, "an end record with data"};
      break;
    case kHexSegment:
    case kHexLinear:
      if (out->count != 2) return {HexParse::kMalformed, "a base address record without 2 bytes"};
      break;
    case kHexStartSegment:
    case kHexStartLinear:
      if (out->count != 4) return {HexParse::kMalformed, "a start address record without 4 bytes"};
      break;
    default:
      return {HexParse::kMalformed, "a record type other than 00 to 05"};
  }
  if ((sum & 0xFF) != 0) return {HexParse::kChecksum, nullptr};
  for (unsigned i = 0; i < out->count; ++i) out->data[i] = bytes[4 + i];
  return {HexParse::kOk, nullptr};
}

uint32_t HexBaseAddress(const HexRecord& record) {
  const uint32_t value = static_cast<uint32_t>(record.data[0] << 8 | record.data[1]);
  return record.type == kHexSegment ? value << 4 : value << 16;
}

std::optional<uint32_t> ScanHexLowestAddress(int fd) {
  uint64_t minimum = UINT64_MAX;
  uint32_t base = 0;
  // ":" count offset type and a base record's two bytes: 13 characters.
  ForEachLineStart(fd, 13, [&](const char* line, int available) {
    uint32_t count, offset, type, value;
    if (available < 9 || line[0] != ':' || ScanHex(line + 1, 2, &count) != 2 || ScanHex(line + 3, 4, &offset) != 4 ||
        ScanHex(line + 7, 2, &type) != 2) {
      return;
    }
    if (type == kHexData && count > 0) {
      const uint64_t address = static_cast<uint64_t>(base) + offset;
      if (address < minimum) minimum = address;
    } else if ((type == kHexSegment || type == kHexLinear) && available >= 13 && ScanHex(line + 9, 4, &value) == 4) {
      base = type == kHexSegment ? value << 4 : value << 16;
    }
  });
  // A base and an offset reach FFFFFFFF at most.
  if (minimum == UINT64_MAX) return std::nullopt;
  return static_cast<uint32_t>(minimum);
}

}  // namespace porten
