// Motorola S-records and the lowest-address prescan.
//
// A record is "S", a type digit, then hexadecimal pairs: a count of the
// pairs that follow it, the address (2, 3 or 4 bytes by type), the data
// bytes and a checksum, the one's complement of the low byte of the sum of
// the count, address and data bytes. Types read: S1, S2, S3 data; S5, S6 a
// count of the data records before it (in the address field); S7, S8, S9
// the end. S0 is a header of free text, which is not read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "image/hex.h"

namespace porten {

using hex::RecordParse;

// Address bytes of a record of this type digit: 2 for S1, S5 and S9, 3 for
// S2, S6 and S8, 4 for S3 and S7; 0 for every type that is not read.
constexpr int AddressBytes(char type) {
  switch (type) {
    case '1': case '5': case '9': return 2;
    case '2': case '6': case '8': return 3;
    case '3': case '7': return 4;
    default: return 0;
  }
}
constexpr bool IsDataType(char type) { return type >= '1' && type <= '3'; }

struct SRecord {
  uint32_t address = 0;  // S5, S6: the number of data records
  uint8_t length = 0;    // data bytes; only data records have any
  uint8_t data[252] = {};
};

// Converts the record line[0, length) (its line end not included), whose
// type line[1] AddressBytes knows. Every character after the type must
// belong to a pair the count calls for, or be a trailing space or tab.
// An empty data record (S1 with count 03) is sound and holds no byte.
RecordParse ParseSRecord(const char* line, size_t length, SRecord* out);

// Lowest address of any S1/S2/S3 record with data that starts a line of the
// file open at fd (line_scan.h), reading it in 512-byte pieces; nothing when
// there is none. The file is rewound to its start on return, whatever the
// result. Records are not checked here.
std::optional<uint32_t> ScanLowestAddress(int fd);

}  // namespace porten
