// Hexadecimal fields of S-record and Intel HEX text.
//
// Our own converter instead of sscanf: the loader converts every count,
// address, data and checksum field of a file, and a table look-up per digit
// is several times faster than a format parse per field. A record loads only
// when every character of its fields is a digit of either case (ReadPairs):
// a field that stopped early at a stray character would move the data, and
// the checksum need not notice. Leading white space, signs and "0x"
// prefixes never occur in records and are not accepted.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace porten::hex {

namespace detail {
constexpr std::array<int8_t, 256> MakeHexTable() {
  std::array<int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<int8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<int8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<int8_t>(c - 'a' + 10);
  return table;
}
inline constexpr std::array<int8_t, 256> kHexValue = MakeHexTable();
}  // namespace detail

// Value of one hexadecimal digit, or -1.
constexpr int HexDigit(char c) { return detail::kHexValue[static_cast<unsigned char>(c)]; }

// Converts up to `width` (1..8) digits at p into *value and returns the number
// of digits taken; 0 means the field did not convert and *value is untouched.
// Stops at any non-digit, so a NUL-terminated text is never read past its end.
// Only the prescans read fields this leniently: the load checks each record
// whole, so what a stray character changes here never loads.
inline int ScanHex(const char* p, int width, uint32_t* value) {
  uint32_t v = 0;
  int n = 0;
  for (; n < width; ++n) {
    int d = HexDigit(p[n]);
    if (d < 0) break;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  if (n > 0) *value = v;
  return n;
}

// The result of converting one record line.
struct RecordParse {
  enum Status { kOk, kMalformed, kChecksum } status = kOk;
  const char* why = nullptr;  // kMalformed: what is wrong, in English
  size_t column = 0;          // kMalformed: the column (from 1) it lies at, or 0
};

// Reads `pairs` hexadecimal pairs from line[start] into bytes: every
// character of them must be a digit, the line's `length` characters must
// hold them all, and nothing but spaces and tabs may follow them.
struct PairCheck {
  enum Kind { kOk, kNotHex, kShort, kTrailing } kind = kOk;
  size_t at = 0;  // kNotHex, kTrailing: the index of the offending character
};
inline PairCheck ReadPairs(const char* line, size_t length, size_t start, size_t pairs, uint8_t* bytes) {
  const size_t end = start + 2 * pairs;
  for (size_t i = start; i < std::min(end, length); ++i) {
    if (HexDigit(line[i]) < 0) return {PairCheck::kNotHex, i};
  }
  if (length < end) return {PairCheck::kShort, length};
  for (size_t i = end; i < length; ++i) {
    if (line[i] != ' ' && line[i] != '\t') return {PairCheck::kTrailing, i};
  }
  for (size_t k = 0; k < pairs; ++k) {
    bytes[k] = static_cast<uint8_t>(HexDigit(line[start + 2 * k]) << 4 | HexDigit(line[start + 2 * k + 1]));
  }
  return {};
}

// A record's fields in the order of its pairs from `start`: how many pairs
// each holds, and the text that names a stray character in it.
struct Field {
  size_t pairs;
  const char* notHex;
};
// The refusal for a failed ReadPairs, naming the field and column.
inline RecordParse PairRefusal(PairCheck check, size_t start, std::initializer_list<Field> fields) {
  if (check.kind == PairCheck::kShort) {
    return {RecordParse::kMalformed, "the line ends before the checksum its count calls for"};
  }
  if (check.kind == PairCheck::kTrailing) {
    return {RecordParse::kMalformed, "more than spaces or tabs after the checksum", check.at + 1};
  }
  size_t pair = (check.at - start) / 2;
  for (const Field& field : fields) {
    if (pair < field.pairs) return {RecordParse::kMalformed, field.notHex, check.at + 1};
    pair -= field.pairs;
  }
  return {RecordParse::kMalformed, "a character that is not a hexadecimal digit", check.at + 1};
}

}  // namespace porten::hex
