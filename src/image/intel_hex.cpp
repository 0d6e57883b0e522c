#include "image/intel_hex.h"

#include "image/hex.h"
#include "image/line_scan.h"

namespace porten {

using hex::ScanHex;

RecordParse ParseHexRecord(const char* text, size_t length, HexRecord* out) {
  uint8_t bytes[5 + 255];
  hex::PairCheck check = hex::ReadPairs(text, std::min<size_t>(length, 3), 1, 1, bytes);
  const size_t count = check.kind == hex::PairCheck::kOk ? bytes[0] : 0;
  if (check.kind == hex::PairCheck::kOk) check = hex::ReadPairs(text, length, 1, 5 + count, bytes);
  if (check.kind != hex::PairCheck::kOk) {
    return hex::PairRefusal(check, 1,
                            {{1, "a character that is not a hexadecimal digit in the count"},
                             {2, "a character that is not a hexadecimal digit in the address"},
                             {1, "a character that is not a hexadecimal digit in the record type"},
                             {count, "a character that is not a hexadecimal digit in the data"},
                             {1, "a character that is not a hexadecimal digit in the checksum"}});
  }
  unsigned sum = 0;
  for (size_t i = 0; i < 5 + count; ++i) sum += bytes[i];
  out->count = bytes[0];
  out->offset = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
  out->type = bytes[3];
  switch (out->type) {
    case kHexData:
      break;
    case kHexEnd:
      if (out->count != 0) return {RecordParse::kMalformed, "an end record with data"};
      break;
    case kHexSegment:
    case kHexLinear:
      if (out->count != 2) return {RecordParse::kMalformed, "a base address record without 2 bytes"};
      break;
    case kHexStartSegment:
    case kHexStartLinear:
      if (out->count != 4) return {RecordParse::kMalformed, "a start address record without 4 bytes"};
      break;
    default:
      return {RecordParse::kMalformed, "a record type other than 00 to 05"};
  }
  if ((sum & 0xFF) != 0) return {RecordParse::kChecksum};
  for (unsigned i = 0; i < out->count; ++i) out->data[i] = bytes[4 + i];
  return {};
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
