#include "support/image_writer.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <numeric>

namespace porten::testing {

namespace {

using Bytes = std::vector<uint8_t>;

// The lead, then count, address (big-endian), Intel HEX type, data and
// checksum in hexadecimal, then the line end.
std::string Record(std::string text, uint32_t address, int addressBytes, int type, const Bytes& data,
                   const std::string& eol, int checksumDelta) {
  const bool intel = text == ":";
  Bytes fields{static_cast<uint8_t>(data.size() + (intel ? 0 : addressBytes + 1))};
  for (int i = addressBytes; i-- > 0;) fields.push_back(static_cast<uint8_t>(address >> (8 * i)));
  if (intel) fields.push_back(static_cast<uint8_t>(type));
  fields.insert(fields.end(), data.begin(), data.end());
  const unsigned sum = std::accumulate(fields.begin(), fields.end(), 0u);
  fields.push_back(static_cast<uint8_t>((intel ? 0x100 - sum : ~sum) + static_cast<unsigned>(checksumDelta)));
  for (uint8_t b : fields) text += {"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15]};
  return text + eol;
}

// Calls record(address, bytes) for the pieces of perRecord bytes, none across
// a 64 KB boundary, that the segments split into.
template <typename F>
void Pieces(const std::vector<Segment>& segments, size_t perRecord, F record) {
  for (const Segment& s : segments) {
    for (size_t at = 0, n; at < s.bytes.size(); at += n) {
      const uint32_t address = s.address + static_cast<uint32_t>(at);
      n = std::min({perRecord, s.bytes.size() - at, size_t{0x10000} - (address & 0xFFFF)});
      record(address, Bytes(s.bytes.begin() + static_cast<long>(at), s.bytes.begin() + static_cast<long>(at + n)));
    }
  }
}

}  // namespace

std::string SRecord(int type, uint32_t address, const std::vector<uint8_t>& data, const std::string& eol,
                    int checksumDelta) {
  const int addressBytes = type == 2 || type == 6 || type == 8 ? 3 : type == 3 || type == 7 ? 4 : 2;
  return Record("S" + std::to_string(type), address, addressBytes, type, data, eol, checksumDelta);
}

std::string MakeSRecords(const std::vector<Segment>& segments, int type, size_t perRecord, const std::string& eol) {
  std::string text = SRecord(0, 0, {'t', 'e', 's', 't'}, eol);
  Pieces(segments, perRecord, [&](uint32_t at, const Bytes& bytes) { text += SRecord(type, at, bytes, eol); });
  return text + SRecord(10 - type, 0, {}, eol);  // S9, S8 or S7
}

std::string HexRecord(int type, uint16_t offset, const std::vector<uint8_t>& data, const std::string& eol,
                      int checksumDelta) {
  return Record(":", offset, 2, type, data, eol, checksumDelta);
}

std::string MakeIntelHex(const std::vector<Segment>& segments, size_t perRecord, const std::string& eol) {
  std::string text;
  uint32_t upper = 0;
  Pieces(segments, perRecord, [&](uint32_t address, const Bytes& bytes) {
    if (address >> 16 != upper) text += HexRecord(4, 0, {uint8_t(address >> 24), uint8_t(address >> 16)}, eol);
    upper = address >> 16;
    text += HexRecord(0, static_cast<uint16_t>(address), bytes, eol);
  });
  return text + HexRecord(1, 0, {}, eol);
}

std::string MakeElf(const std::vector<ElfSegment>& segments, bool is64, bool bigEndian) {
  using Fields = std::initializer_list<std::pair<uint64_t, int>>;
  const int word = is64 ? 8 : 4;
  const uint64_t headerSize = is64 ? 64 : 52, entrySize = is64 ? 56 : 32;
  std::string elf = std::string("\177ELF") + char(is64 ? 2 : 1) + char(bigEndian ? 2 : 1) + '\1';
  elf.resize(16, '\0');
  auto put = [&](Fields fields) {
    for (auto [value, n] : fields)
      for (int i = 0; i < n; ++i) elf += static_cast<char>(value >> (8 * (bigEndian ? n - 1 - i : i)));
  };
  // An executable without sections: type, machine, version, entry, program
  // and section header offsets, flags, sizes and counts.
  // clang-format off
  put({{2, 2}, {0, 2}, {1, 4}, {0, word}, {headerSize, word}, {0, word}, {0, 4}, {headerSize, 2}, {entrySize, 2},
       {segments.size(), 2}, {is64 ? 64 : 40, 2}, {0, 2}, {0, 2}});
  // clang-format on
  uint64_t offset = headerSize + entrySize * segments.size();
  // Type, flags (R X: before the offset in ELF64, after the sizes in ELF32), offset, addresses, sizes, alignment.
  for (const ElfSegment& s : segments) {
    put({{s.type, 4}, {5, is64 ? 4 : 0}, {offset, word}, {s.vaddr, word}, {s.paddr, word}, {s.bytes.size(), word},
         {s.memsz ? s.memsz : s.bytes.size(), word}, {5, is64 ? 0 : 4}, {1, word}});
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

TempDir::TempDir() : path_((std::filesystem::temp_directory_path() / "porten-test-XXXXXX").string()) {
  if (!::mkdtemp(path_.data())) path_.clear();
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

}  // namespace porten::testing
