#include "image/srec.h"

#include <cstring>

#include "image/line_scan.h"

namespace porten {

using hex::Field;
using hex::PairCheck;

RecordParse ParseSRecord(const char* line, size_t length, SRecord* out) {
  const int a = AddressBytes(line[1]);
  uint8_t bytes[256];
  PairCheck check = hex::ReadPairs(line, std::min<size_t>(length, 4), 2, 1, bytes);
  const unsigned count = check.kind == PairCheck::kOk ? bytes[0] : 0;
  if (check.kind == PairCheck::kOk) {
    if (count < static_cast<unsigned>(a) + 1) {
      return {RecordParse::kMalformed, "a count too small for the address and the checksum", 3};
    }
    check = hex::ReadPairs(line, length, 2, 1 + count, bytes);
  }
  const bool data = IsDataType(line[1]);
  if (check.kind != PairCheck::kOk) {
    return hex::PairRefusal(
        check, 2,
        {Field{1, "a character that is not a hexadecimal digit in the count"},
         Field{static_cast<size_t>(a), line[1] == '5' || line[1] == '6'
                                           ? "a character that is not a hexadecimal digit in the record count"
                                           : "a character that is not a hexadecimal digit in the address"},
         Field{count - a - 1, "a character that is not a hexadecimal digit in the data"},
         Field{1, "a character that is not a hexadecimal digit in the checksum"}});
  }
  const unsigned n = count - a - 1;
  if (!data && n != 0) {
    return {RecordParse::kMalformed, line[1] <= '6' ? "a count record with data" : "an end record with data"};
  }
  unsigned sum = 0;
  for (unsigned i = 0; i < count; ++i) sum += bytes[i];
  if (((~sum) & 0xFF) != bytes[count]) return {RecordParse::kChecksum};
  out->address = 0;
  for (int i = 1; i <= a; ++i) out->address = out->address << 8 | bytes[i];
  out->length = static_cast<uint8_t>(n);
  std::memcpy(out->data, bytes + 1 + a, n);
  return {};
}

std::optional<uint32_t> ScanLowestAddress(int fd) {
  std::optional<uint32_t> minimum;
  // 12 characters hold the widest prefix; a shorter line at the end of the
  // file cannot be a whole record with data.
  ForEachLineStart(fd, 12, [&](const char* line, int available) {
    if (available < 12 || line[0] != 'S' || !IsDataType(line[1])) return;
    const int a = AddressBytes(line[1]);
    uint32_t count, address;
    // An empty record places no byte, so it must not move the image's start.
    if (hex::ScanHex(line + 2, 2, &count) == 2 && count > static_cast<uint32_t>(a) + 1 &&
        hex::ScanHex(line + 4, 2 * a, &address) > 0 && (!minimum || address < *minimum)) {
      minimum = address;
    }
  });
  return minimum;
}

}  // namespace porten
