// Writes image files for tests, the one writer of them all: S-records and
// Intel HEX (CR LF or LF line ends) and ELF executables, from the segments of
// an image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace porten::testing {

struct Segment {
  uint32_t address;
  std::vector<uint8_t> bytes;
};

// One S-record of type 0..9 with a correct count and checksum (plus
// checksumDelta); the address gets 4, 6 or 8 digits by type.
std::string SRecord(int type, uint32_t address, const std::vector<uint8_t>& data, const std::string& eol = "\r\n",
                    int checksumDelta = 0);
// An S0 header, data records of the type (1, 2 or 3), perRecord bytes each,
// and the matching end record.
std::string MakeSRecords(const std::vector<Segment>& segments, int type = 3, size_t perRecord = 16,
                         const std::string& eol = "\r\n");

// One Intel HEX record with a correct count and checksum (plus checksumDelta).
std::string HexRecord(int type, uint16_t offset, const std::vector<uint8_t>& data, const std::string& eol = "\r\n",
                      int checksumDelta = 0);
// Data records of perRecord bytes that never cross 64 KB, an extended linear
// address record (04) wherever the upper 16 bits change, an end record.
std::string MakeIntelHex(const std::vector<Segment>& segments, size_t perRecord = 16, const std::string& eol = "\r\n");

struct ElfSegment {
  uint64_t paddr, vaddr;
  std::vector<uint8_t> bytes;  // the file contents
  uint64_t memsz = 0;          // 0: as many as bytes
  uint32_t type = 1;           // PT_LOAD
};
// An ELF executable with these program headers and no sections.
std::string MakeElf(const std::vector<ElfSegment>& segments, bool is64 = false, bool bigEndian = false);
// One PT_LOAD segment per segment, run and load address alike.
std::string MakeElf(const std::vector<Segment>& segments);

bool WriteTextFile(const std::string& path, const std::string& text);
// n bytes of a seeded pseudo-random pattern.
std::vector<uint8_t> RandomBytes(size_t n, unsigned seed = 1);

// A fresh temporary directory, removed with its files on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Writes content to the file name; its path, or "" when it could not be written.
  std::string Write(const std::string& name, const std::string& content) const {
    return WriteTextFile(File(name), content) ? File(name) : "";
  }

 private:
  std::string path_;
};

}  // namespace porten::testing
