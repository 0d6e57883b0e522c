// Intel HEX records and the lowest-address prescan of a HEX file.
//
// A record is ":", then hexadecimal pairs: byte count, 16-bit offset, record
// type, the count's data bytes and a checksum that makes all the bytes sum
// to zero. Types: 00 data, 01 end of file, 02 extended segment address
// (bits 4-19), 04 extended linear address (bits 16-31), 03 and 05 start
// addresses (read and ignored).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "image/hex.h"

namespace porten {

enum HexRecordType : uint8_t {
  kHexData = 0x00,
  kHexEnd = 0x01,
  kHexSegment = 0x02,
  kHexStartSegment = 0x03,
  kHexLinear = 0x04,
  kHexStartLinear = 0x05,
};

struct HexRecord {
  uint8_t count = 0;
  uint16_t offset = 0;
  uint8_t type = 0;
  uint8_t data[255] = {};
};

using hex::RecordParse;

// Converts the record at text: text[0] is its ":", length counts its
// characters up to (not including) the line end. Every character after the
// ":" must be a digit of a pair the count calls for, or a trailing space or
// tab; the count must suit the type, and the checksum the bytes.
RecordParse ParseHexRecord(const char* text, size_t length, HexRecord* out);

// The address a base record (02 or 04) sets the upper bits to.
uint32_t HexBaseAddress(const HexRecord& record);

// Lowest address of any data byte of the HEX file open at fd (data records
// at line starts, under the base records before them), reading it in
// 512-byte pieces; nothing when it has no data byte. Records are not
// checked here. The file is rewound to its start on return.
std::optional<uint32_t> ScanHexLowestAddress(int fd);

}  // namespace porten
