// Motorola S-record data records and the lowest-address prescan.
#pragma once

#include <cstdint>

namespace porten {

// Results of ParseDataRecord besides a byte count.
inline constexpr int32_t kRecordMalformed = -1;
inline constexpr int32_t kRecordChecksum = -2;

// Returned by ScanLowestAddress when no S1/S2/S3 record was recognised.
inline constexpr uint32_t kNoAddress = 0xFFFFFFFF;

// Characters before the data field of a record of this type digit: 8 for
// '1', 10 for '2', 12 for '3'; 0 for every other type.
constexpr int RecordPrefixLength(char type) { return type == '1' ? 8 : type == '2' ? 10 : type == '3' ? 12 : 0; }

// Reads the address field of the data record at `record` (its "S"), with the
// width of its prefix length P, into *address. False when the field holds no
// digit, in which case *address is untouched. `record` is NUL-terminated.
bool ReadRecordAddress(const char* record, int P, uint32_t* address);

// Converts one S1/S2/S3 record. `text` points at the count field of a
// NUL-terminated text, P is the record's prefix length, `address` the address
// already read, `out` holds at least 256 bytes. Returns the number of data
// bytes (>= 1), kRecordMalformed or kRecordChecksum. Never reads past the
// text's NUL: bytes beyond it count as 0, and a checksum beyond it (or one
// that does not convert) makes the record malformed.
int32_t ParseDataRecord(const char* text, int P, uint32_t address, uint8_t* out);

// Lowest address of any S1/S2/S3 record that starts a line of the file open
// at fd (line_scan.h), reading it in 512-byte pieces; kNoAddress when there
// is none. The file is rewound to its start on return, whatever the result.
uint32_t ScanLowestAddress(int fd);

}  // namespace porten
