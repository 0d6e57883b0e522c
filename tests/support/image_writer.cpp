#include "support/image_writer.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numeric>

namespace porten::testing {

namespace {

std::string Hex(uint64_t value, int digits) {
  char text[20];
  std::snprintf(text, sizeof text, "%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

// Big-endian address bytes, then data; the count and checksum around them.
std::string Record(const std::string& lead, uint64_t address, int addressBytes, int type,
                   const std::vector<uint8_t>& data, const std::string& eol, int checksumDelta, bool intel) {
  const unsigned count = static_cast<unsigned>(data.size() + (intel ? 0 : addressBytes + 1));
  unsigned sum = count + (intel ? static_cast<unsigned>(type) : 0);
  std::string text = lead + Hex(count, 2) + Hex(address, 2 * addressBytes) + (intel ? Hex(type, 2) : "");
  for (int i = 0; i < addressBytes; ++i) sum += (address >> (8 * i)) & 0xFF;
  for (uint8_t b : data) text += Hex(b, 2);
  sum = std::accumulate(data.begin(), data.end(), sum);
  const unsigned checksum = intel ? 0x100 - (sum & 0xFF) : ~sum;
  return text + Hex((checksum + static_cast<unsigned>(checksumDelta)) & 0xFF, 2) + eol;
}

}  // namespace

std::string SRecord(int type, uint32_t address, const std::vector<uint8_t>& data, const std::string& eol,
                    int checksumDelta) {
  const int addressBytes = type == 2 || type == 8 ? 3 : type == 3 || type == 7 ? 4 : 2;
  return Record("S" + std::to_string(type), address, addressBytes, type, data, eol, checksumDelta, false);
}

std::string MakeSRecords(const std::vector<Segment>& segments, int type, size_t perRecord, const std::string& eol) {
  std::string text = SRecord(0, 0, {'t', 'e', 's', 't'}, eol);
  for (const Segment& s : segments) {
    for (size_t at = 0; at < s.bytes.size(); at += perRecord) {
      auto from = s.bytes.begin() + static_cast<long>(at);
      text += SRecord(type, s.address + static_cast<uint32_t>(at),
                      {from, from + static_cast<long>(std::min(perRecord, s.bytes.size() - at))}, eol);
    }
  }
  return text + SRecord(type == 1 ? 9 : type == 2 ? 8 : 7, 0, {}, eol);
}

std::string HexRecord(int type, uint16_t offset, const std::vector<uint8_t>& data, const std::string& eol,
                      int checksumDelta) {
  return Record(":", offset, 2, type, data, eol, checksumDelta, true);
}

std::string MakeIntelHex(const std::vector<Segment>& segments, size_t perRecord, const std::string& eol) {
  std::string text;
  uint32_t upper = 0;
  for (const Segment& s : segments) {
    for (size_t at = 0; at < s.bytes.size();) {
      const uint32_t address = s.address + static_cast<uint32_t>(at);
      const size_t n = std::min({perRecord, s.bytes.size() - at, size_t{0x10000} - (address & 0xFFFF)});
      if (address >> 16 != upper) {
        upper = address >> 16;
        text += HexRecord(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)}, eol);
      }
      auto from = s.bytes.begin() + static_cast<long>(at);
      text += HexRecord(0, static_cast<uint16_t>(address), {from, from + static_cast<long>(n)}, eol);
      at += n;
    }
  }
  return text + HexRecord(1, 0, {}, eol);
}

std::string MakeElf(const std::vector<ElfSegment>& segments, bool is64, bool bigEndian) {
  using Fields = std::initializer_list<std::pair<uint64_t, int>>;
  const int word = is64 ? 8 : 4;
  const uint64_t headerSize = is64 ? 64 : 52, entrySize = is64 ? 56 : 32;
  std::string elf = std::string("\177ELF") + char(is64 ? 2 : 1) + char(bigEndian ? 2 : 1) + '\1';
  elf.resize(16, '\0');
  auto put = [&](Fields fields) {
    for (auto [value, n] : fields) {
      for (int i = 0; i < n; ++i) elf += static_cast<char>(value >> (8 * (bigEndian ? n - 1 - i : i)));
    }
  };
  // An executable without sections: type, machine, version, entry, program
  // and section header offsets, flags, sizes and counts.
  // clang-format off
  put({{2, 2}, {0, 2}, {1, 4}, {0, word}, {headerSize, word}, {0, word}, {0, 4}, {headerSize, 2}, {entrySize, 2},
       {segments.size(), 2}, {is64 ? 64 : 40, 2}, {0, 2}, {0, 2}});
  // clang-format on
  uint64_t offset = headerSize + entrySize * segments.size();
  for (const ElfSegment& s : segments) {
    const uint64_t memsz = s.memsz ? s.memsz : s.bytes.size();
    put({{s.type, 4}});
    if (is64) put({{5, 4}});  // flags: R X
    put({{offset, word}, {s.vaddr, word}, {s.paddr, word}, {s.bytes.size(), word}, {memsz, word}});
    if (!is64) put({{5, 4}});
    put({{1, word}});  // alignment
    offset += s.bytes.size();
  }
  for (const ElfSegment& s : segments) elf.append(s.bytes.begin(), s.bytes.end());
  return elf;
}

std::string MakeElf(const std::vector<Segment>& segments) {
  std::vector<ElfSegment> elf;
  for (const Segment& s : segments) elf.push_back({s.address, s.address, s.bytes});
  return MakeElf(elf);
}

bool WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  return (file << text).flush().good();
}

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::vector<uint8_t> bytes(n);
  uint32_t x = seed * 2654435761u + 12345;
  for (auto& b : bytes) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  return bytes;
}

TempDir::TempDir() {
  path_ = (std::filesystem::temp_directory_path() / "porten-test-XXXXXX").string();
  if (!::mkdtemp(path_.data())) path_.clear();
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}


}  // namespace porten::testing
