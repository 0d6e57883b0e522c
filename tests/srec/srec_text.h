// Builds S-record text and temporary files for the loader tests.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace porten::srectest {

inline std::string Hex2(unsigned v) {
  char s[3];
  std::snprintf(s, sizeof s, "%02X", v & 0xFF);
  return s;
}

// One record with a correct count and checksum unless told otherwise.
// type '0' .. '9'; the address gets 4, 6 or 8 digits by type (S3/S7: 8,
// S2/S8: 6, others 4).
inline std::string Record(char type, uint32_t address, const std::vector<uint8_t>& data,
                          const std::string& eol = "\r\n", int checksumDelta = 0) {
  int addressBytes = (type == '3' || type == '7') ? 4 : (type == '2' || type == '8') ? 3 : 2;
  unsigned count = static_cast<unsigned>(addressBytes + data.size() + 1);
  unsigned sum = count;
  std::string text = std::string("S") + type + Hex2(count);
  for (int i = addressBytes - 1; i >= 0; --i) {
    unsigned b = (address >> (8 * i)) & 0xFF;
    sum += b;
    text += Hex2(b);
  }
  for (uint8_t b : data) {
    sum += b;
    text += Hex2(b);
  }
  text += Hex2((~sum + static_cast<unsigned>(checksumDelta)) & 0xFF);
  return text + eol;
}

// Data records of `perRecord` bytes covering bytes[0..size) from base.
inline std::string DataRecords(char type, uint32_t base, const std::vector<uint8_t>& bytes,
                               size_t perRecord, const std::string& eol = "\r\n") {
  std::string text;
  for (size_t at = 0; at < bytes.size(); at += perRecord) {
    size_t n = std::min(perRecord, bytes.size() - at);
    std::vector<uint8_t> chunk(bytes.begin() + static_cast<long>(at),
                               bytes.begin() + static_cast<long>(at + n));
    text += Record(type, base + static_cast<uint32_t>(at), chunk, eol);
  }
  return text;
}

inline std::vector<uint8_t> Pattern(size_t n, unsigned seed = 1) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 12345;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "porten-test-XXXXXX").string();
    path_ = ::mkdtemp(templ.data()) ? templ : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::string Write(const std::string& name, const std::string& content) const {
    std::string full = File(name);
    std::ofstream(full, std::ios::binary) << content;
    return full;
  }

 private:
  std::string path_;
};

// Number of open descriptors of this process, to catch a leaked file.
inline int OpenDescriptors() {
  int n = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

}  // namespace porten::srectest
