// The whole file load on arbitrary file content, as the dialog runs it: the
// format sniff, the prescan, the first window, every refill and batch, the
// reading on after the end of the data. The input is the file; it is served
// from a memfd so no run touches the disk.
//
// The oracle: a plain reader of the whole text, written apart from the
// loader, which splits it into lines and reads every record with string
// functions. Both must agree: the loader refuses what the reader refuses,
// and what it loads holds exactly the bytes the reader finds.
//
// Built twice: fuzz_load takes every input (S-records, Intel HEX and ELF
// files in its corpus), fuzz_hex (PORTEN_FUZZ_HEX) only Intel HEX text.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "image/image_load.h"

namespace {

using porten::Image;
using porten::ImageLoad;
using Bytes = std::map<uint64_t, uint8_t>;
using Read = std::optional<Image>;  // nothing: refused
constexpr size_t npos = std::string::npos;

void Check(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "invariant broken: %s\n", what), std::abort();
}

bool AllHex(const std::string& s, size_t from) { return s.find_first_not_of("0123456789abcdefABCDEF", from) == npos; }

std::vector<uint8_t> Pairs(const std::string& s, size_t from) {
  std::vector<uint8_t> b;
  for (size_t i = from; i + 1 < s.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), 0, 16)));
  return b;
}

// The line at `at` up to its line feed, which the loader's 1024-character
// window must hold, without a carriage return before the line feed and the
// spaces and tabs before that. False when too long; *next is the next line.
bool TakeLine(const std::string& t, size_t at, std::string* line, size_t* next, bool* crEnd) {
  const size_t lf = t.find('\n', at), stop = lf == npos ? t.size() : lf;
  *line = t.substr(at, stop - at);
  *next = lf == npos ? t.size() : lf + 1;
  *crEnd = !line->empty() && line->back() == '\r';
  if (*crEnd) line->pop_back();
  while (!line->empty() && (line->back() == ' ' || line->back() == '\t')) line->pop_back();
  return stop - at < 1024;
}

// A data record at a line start (after LF, CR or CR LF) from `at` on.
bool DataAfter(const std::string& t, size_t at, bool srec) {
  for (size_t p = at; p < t.size(); p += t.compare(p, 2, "\r\n") == 0 ? 2 : 1) {
    if (srec ? t[p] == 'S' && p + 1 < t.size() && t[p + 1] >= '1' && t[p + 1] <= '3'
             : p + 9 <= t.size() && t[p] == ':' && AllHex(t.substr(p + 1, 6), 0) && t.compare(p + 7, 2, "00") == 0) {
      return true;
    }
    if ((p = t.find_first_of("\r\n", p)) == npos) break;
  }
  return false;
}

Read Done(const Bytes& bytes) {
  if (bytes.empty()) return {};
  const uint64_t low = bytes.begin()->first, span = bytes.rbegin()->first + 1 - low;
  // The download's last 128-byte block must end by FFFFFFFF too.
  if (span > porten::kImageBufferSize || low + (span + 127) / 128 * 128 > 0x100000000) return {};
  Image image{static_cast<uint32_t>(low), std::vector<uint8_t>(span, 0xFF)};
  for (auto [address, b] : bytes) image.bytes[address - low] = b;
  return image;
}

Read ReadSRecords(const std::string& t) {
  size_t at = 0;
  if (t.compare(0, 2, "S0") == 0) {  // a header: not read
    const size_t end = t.find_first_of("\r\n");
    if (end >= 1024 || t.find('\0') < end || (t[end] == '\r' && end + 1 < t.size() && t[end + 1] != '\n')) return {};
    at = t[end] == '\r' && end + 1 < t.size() ? end + 2 : end + 1;
  } else if (t.size() < 2 || t[0] != 'S' || t[1] < '1' || t[1] > '3') {
    return {};
  }
  Bytes bytes;
  uint64_t records = 0;
  bool ended = false;  // a blank line or a count record
  std::string line;
  for (bool crEnd; at < t.size();) {
    const bool last = t.find('\n', at) == npos;
    if (!TakeLine(t, at, &line, &at, &crEnd) || line.find_first_of(std::string("\r\0", 2)) != npos) return {};
    if (line.empty()) {
      ended = true;
      continue;
    }
    const std::string types = "123567890";  // and their address bytes:
    const size_t type = line[0] == 'S' && line.size() > 1 ? types.find(line[1]) : npos;
    if (type >= 8 || (type < 3 && (ended || (last && !crEnd)))) return {};
    const size_t a = std::string("23423432")[type] - '0';
    if (line.size() < 4 || line.size() % 2 || !AllHex(line, 2)) return {};
    const std::vector<uint8_t> b = Pairs(line, 2);  // count, address, data, checksum
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < b.size(); ++i) sum += b[i];
    if (b[0] + 1u != b.size() || b[0] < a + 1 || static_cast<uint8_t>(~sum) != b.back()) return {};
    uint64_t address = 0;
    for (size_t i = 1; i <= a; ++i) address = address << 8 | b[i];
    const size_t n = b.size() - 2 - a;
    if (type < 3) {
      if (address + n > 0x100000000) return {};
      for (size_t k = 0; k < n; ++k) bytes[address + k] = b[1 + a + k];
      ++records;
    } else if (n != 0 || (type < 5 && address != records)) {
      return {};
    } else if (type < 5) {
      ended = true;
    } else {
      return DataAfter(t, at, true) ? Read() : Done(bytes);
    }
  }
  return Done(bytes);
}

Read ReadIntelHex(const std::string& t) {
  Bytes bytes;
  uint64_t base = 0;
  bool segment = false;
  std::string line;
  for (size_t at = 0; at < t.size();) {
    bool crEnd;
    if (!TakeLine(t, at, &line, &at, &crEnd) || line.find_first_of(std::string("\r\0", 2)) != npos) return {};
    if (line.empty()) continue;
    if (line[0] != ':' || line.size() < 3 || line.size() % 2 == 0 || !AllHex(line, 1)) return {};
    const std::vector<uint8_t> b = Pairs(line, 1);  // count, offset, type, data, checksum
    uint8_t sum = 0;
    for (uint8_t x : b) sum += x;
    if (b.size() != 5u + b[0] || sum != 0) return {};
    const unsigned count = b[0], offset = b[1] << 8 | b[2], type = b[3];
    if (type == 0) {
      // Under a segment address tools differ on an offset past FFFF.
      if ((segment && offset + count > 0x10000) || base + offset + count > 0x100000000) return {};
      for (size_t k = 0; k < count; ++k) bytes[base + offset + k] = b[4 + k];
    } else if (type == 1) {
      return count != 0 || DataAfter(t, at, false) ? Read() : Done(bytes);
    } else if (type == 2 || type == 4) {
      if (count != 2) return {};
      base = static_cast<uint64_t>(b[4] << 8 | b[5]) << (type == 2 ? 4 : 16);
      segment = type == 2;
    } else if (type > 5 || count != 4) {
      return {};
    }
  }
  return {};  // no end record
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#ifdef PORTEN_FUZZ_HEX
  if (size == 0 || data[0] != ':') return 0;
#endif
  static const int fd = ::memfd_create("image", MFD_CLOEXEC);
  Check(fd >= 0 && ::ftruncate(fd, 0) == 0, "memfd");
  Check(::pwrite(fd, data, size, 0) == static_cast<ssize_t>(size), "pwrite");
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  // One load for every run, as a window keeps one: a new one costs a 300 KB
  // allocation, more than most loads.
  static ImageLoad* load = new ImageLoad;

  ImageLoad::Result result = load->Open(path, "");
  // A batch consumes at least a character for each of its 150 steps.
  const size_t maxBatches = size / porten::kRecordsPerBatch + 2;
  for (size_t batches = 0; result == ImageLoad::Result::kMore; result = load->Batch()) {
    Check(++batches <= maxBatches, "the load does not make progress");
  }
  Check(!load->IsOpen(), "the file stays open after the load");
  if (result == ImageLoad::Result::kFailed) {
    Check(!load->error().message.empty() && !load->error().detail.empty(), "refused without a message and where");
  }
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (text.compare(0, 4, "\177ELF") == 0) return 0;  // libelf reads it, nothing to compare
  const size_t first = text.find_first_not_of(" \t\r\n");
  const Read expected = first != npos && text[first] == ':' ? ReadIntelHex(text) : ReadSRecords(text);
  if (result == ImageLoad::Result::kFailed) {
    Check(!expected, "refused a file the reader loads");
    return 0;
  }
  Check(expected.has_value(), "loaded a file the reader refuses");
  const Image image = load->TakeImage();
  Check(image.base == expected->base, "the base is not the lowest address");
  Check(image.bytes == expected->bytes, "bytes the records do not describe");
  return 0;
}
