#include "sim/image_files.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <vector>

namespace porten::sim {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Extension(const std::string& path) {
  auto slash = path.find_last_of('/');
  auto dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return Lower(path.substr(dot));
}

}  // namespace

bool ReadSRecordFile(const std::string& path, SparseMemory& out, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot open";
    return false;
  }
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) line.pop_back();
    if (line.empty()) continue;
    auto bad = [&](const char* why) {
      error = path + ":" + std::to_string(lineNo) + ": " + why;
      return false;
    };
    if (line.size() < 4 || line[0] != 'S') return bad("not an S-record");
    char type = line[1];
    std::vector<uint8_t> bytes;
    if (line.size() % 2 != 0) return bad("odd number of hex digits");
    for (size_t i = 2; i < line.size(); i += 2) {
      int hi = HexDigit(line[i]), lo = HexDigit(line[i + 1]);
      if (hi < 0 || lo < 0) return bad("not a hex digit");
      bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    if (bytes.empty() || bytes[0] + 1u != bytes.size()) return bad("wrong byte count");
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
    if (static_cast<uint8_t>(~sum) != bytes.back()) return bad("checksum error");
    size_t addrLen = type == '1' ? 2 : type == '2' ? 3 : type == '3' ? 4 : 0;
    if (addrLen == 0) continue;  // header, count and end records carry no data
    if (bytes.size() < addrLen + 2) return bad("record too short");
    uint32_t address = 0;
    for (size_t i = 0; i < addrLen; ++i) address = address << 8 | bytes[1 + i];
    out.Write(address, bytes.data() + 1 + addrLen, bytes.size() - 2 - addrLen);
  }
  return true;
}

bool WriteMemoryFile(const std::string& path, const SparseMemory& memory, std::string& error) {
  const std::string ext = Extension(path);
  const auto ranges = memory.WrittenRanges();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    error = path + ": cannot create";
    return false;
  }
  if (ext == ".bin") {
    if (!ranges.empty()) {
      uint32_t first = ranges.front().first, last = ranges.back().second;
      std::vector<uint8_t> bytes = memory.Range(first, last - first + 1);
      out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
  } else if (ext == ".mot" || ext == ".srec" || ext == ".s19" || ext == ".s28" || ext == ".s37") {
    auto record = [&](char type, uint32_t address, const std::vector<uint8_t>& data) {
      std::vector<uint8_t> body = {static_cast<uint8_t>(data.size() + 5),
                                   static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                                   static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
      body.insert(body.end(), data.begin(), data.end());
      unsigned sum = 0;
      for (uint8_t b : body) sum += b;
      body.push_back(static_cast<uint8_t>(~sum));
      out << 'S' << type;
      char hex[3];
      for (uint8_t b : body) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        out << hex;
      }
      out << "\r\n";
    };
    out << "S0030000FC\r\n";
    for (const auto& [first, last] : ranges) {
      for (uint64_t a = first; a <= last; a += 32) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(32, uint64_t{last} - a + 1));
        record('3', static_cast<uint32_t>(a), memory.Range(static_cast<uint32_t>(a), n));
      }
    }
    record('7', 0, {});
  } else {
    error = path + ": unknown file type (use .bin, .mot or .srec)";
    return false;
  }
  out.flush();
  if (!out) {
    error = path + ": write failed";
    return false;
  }
  return true;
}

}  // namespace porten::sim
