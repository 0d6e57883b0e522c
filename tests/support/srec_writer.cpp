#include "support/srec_writer.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace porten::testing {

namespace {

std::string Record(int type, uint32_t address, const uint8_t* data, size_t n) {
  const int addressBytes = type == 0 || type == 1 || type == 9 ? 2 : type == 2 || type == 8 ? 3 : 4;
  const unsigned count = static_cast<unsigned>(addressBytes + n + 1);
  unsigned sum = count;
  char buf[16];
  std::snprintf(buf, sizeof buf, "S%d%02X", type, count);
  std::string line = buf;
  for (int i = addressBytes - 1; i >= 0; --i) {
    unsigned byte = (address >> (8 * i)) & 0xFF;
    sum += byte;
    std::snprintf(buf, sizeof buf, "%02X", byte);
    line += buf;
  }
  for (size_t i = 0; i < n; ++i) {
    sum += data[i];
    std::snprintf(buf, sizeof buf, "%02X", data[i]);
    line += buf;
  }
  std::snprintf(buf, sizeof buf, "%02X\r\n", ~sum & 0xFF);
  return line + buf;
}

}  // namespace

std::string MakeSRecords(const std::vector<Segment>& segments, int type, size_t perRecord) {
  static const uint8_t kHeader[] = {'t', 'e', 's', 't'};
  std::string text = Record(0, 0, kHeader, sizeof kHeader);
  for (const Segment& s : segments) {
    for (size_t off = 0; off < s.bytes.size(); off += perRecord) {
      size_t n = std::min(perRecord, s.bytes.size() - off);
      text += Record(type, s.address + static_cast<uint32_t>(off), s.bytes.data() + off, n);
    }
  }
  text += Record(type == 1 ? 9 : type == 2 ? 8 : 7, 0, nullptr, 0);
  return text;
}

bool WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  return !file.fail();
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "porten-test-XXXXXX").string();
  char* made = ::mkdtemp(pattern.data());
  path_ = made ? made : "";
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

}  // namespace porten::testing
