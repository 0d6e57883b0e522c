// Hexadecimal fields of S-record text.
//
// Our own converter instead of sscanf: the loader converts every count,
// address, data and checksum field of a file, and a table look-up per digit
// is several times faster than a format parse per field. It keeps the field
// rules the files were always read with: at most `width` digits, stopping
// early at the first character that is not a digit of either case, and no
// conversion at all when the field does not start with a digit. Leading
// white space, signs and "0x" prefixes never occur in S-records and are not
// accepted.
#pragma once

#include <array>
#include <cstdint>

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

}  // namespace porten::hex
