#include "image/srec.h"

#include <cstring>

#include "image/hex.h"
#include "image/line_scan.h"

namespace porten {

using hex::ScanHex;

bool ReadRecordAddress(const char* record, int P, uint32_t* address) {
  // The count field may be cut short by the end of the text; the address
  // would then start beyond it.
  if (strnlen(record, 4) < 4) return false;
  return ScanHex(record + 4, P - 4, address) > 0;
}

int32_t ParseDataRecord(const char* text, int P, uint32_t address, uint8_t* out) {
  uint32_t count = 0;
  ScanHex(text, 2, &count);  // a count that does not convert stays 0

  int32_t length = static_cast<int32_t>(count) - (P - 4) / 2 - 1;
  if (length < 1) return kRecordMalformed;

  // The count alone decides how many pairs are read, so the record may claim
  // more than the text holds; everything from the NUL on counts as missing.
  const size_t dataStart = static_cast<size_t>(P - 2);
  const size_t checksumAt = dataStart + 2 * static_cast<size_t>(length);
  const size_t textLength = strnlen(text, checksumAt + 2);

  uint32_t sum = (address >> 24) + ((address >> 16) & 0xFF) + ((address >> 8) & 0xFF) + (address & 0xFF) + count;
  std::memset(out, 0, static_cast<size_t>(length));
  for (int32_t i = 0; i < length; ++i) {
    size_t at = dataStart + 2 * static_cast<size_t>(i);
    if (at >= textLength) continue;  // text ended: the byte stays 0
    uint32_t byte;
    if (ScanHex(text + at, 2, &byte) == 0) return kRecordMalformed;
    out[i] = static_cast<uint8_t>(byte);
    sum += out[i];
  }

  uint32_t checksum;
  if (checksumAt >= textLength || ScanHex(text + checksumAt, 2, &checksum) == 0) {
    return kRecordMalformed;
  }
  if (((~sum) & 0xFF) != (checksum & 0xFF)) return kRecordChecksum;
  return length;
}

uint32_t ScanLowestAddress(int fd) {
  uint32_t minimum = kNoAddress;
  // 12 characters hold the widest prefix; a shorter line at the end of the
  // file cannot be a whole record.
  ForEachLineStart(fd, 12, [&](const char* line, int available) {
    if (available < 12 || line[0] != 'S') return;
    const int P = RecordPrefixLength(line[1]);
    uint32_t address;
    if (P != 0 && ScanHex(line + 4, P - 4, &address) > 0 && address < minimum) minimum = address;
  });
  return minimum;
}

}  // namespace porten
