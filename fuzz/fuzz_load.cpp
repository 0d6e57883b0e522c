// The whole file load on arbitrary file content, as the dialog runs it: the
// format sniff, the prescan, the first window, every refill and batch, the
// reading on after the end of the data. The input is the file; it is served
// from a memfd so no run touches the disk.
//
// The oracle: a load that succeeds must yield exactly the bytes the file's
// data records describe, read here by a plain reader of the whole text
// that splits it into lines once, with nothing after the end of the data.
//
// Built twice: fuzz_load takes every input (S-records, Intel HEX and ELF
// files in its corpus), fuzz_hex (PORTEN_FUZZ_HEX) only Intel HEX text.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "image/image_load.h"

namespace {

using porten::ImageFormat;
using porten::ImageLoad;
using Bytes = std::map<uint64_t, uint8_t>;

void Check(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "invariant broken: %s\n", what), std::abort();
}

// Up to width hexadecimal digits at `at`, stopping at any other character;
// -1 when there is none.
long Hex(const std::string& s, size_t at, size_t width) {
  const std::string field = s.substr(std::min(at, s.size()), width);
  const size_t n = std::min(field.find_first_not_of("0123456789abcdefABCDEF"), field.size());
  return n == 0 ? -1 : std::stol(field.substr(0, n), nullptr, 16);
}

// Lines end at LF, CR LF or a lone CR.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') lines.back() += text[i];
    // A CR LF ends its line at the LF.
    if (text[i] == '\n' || (text[i] == '\r' && text.compare(i, 2, "\r\n") != 0)) lines.emplace_back();
  }
  return lines;
}

bool IsSRecordData(const std::string& l) { return l.size() >= 2 && l[0] == 'S' && l[1] >= '1' && l[1] <= '3'; }
bool IsHexData(const std::string& l) {
  return l.size() >= 9 && l[0] == ':' && l.compare(7, 2, "00") == 0 &&
         l.find_first_not_of("0123456789abcdefABCDEF", 1) >= 9;
}

// The data, and the line after the end of it.
size_t SRecordData(const std::vector<std::string>& lines, Bytes& bytes) {
  size_t i = lines[0].compare(0, 2, "S0") == 0 ? 1 : 0;
  for (; i < lines.size() && IsSRecordData(lines[i]); ++i) {
    const std::string& l = lines[i];
    const int width = 2 * (l[1] - '0' + 1);
    const long count = Hex(l, 2, 2), address = Hex(l, 4, width);
    Check(count >= 0 && address >= 0, "a loaded record without count or address");
    for (long k = 0; k < count - width / 2 - 1; ++k) {
      const long b = Hex(l, 4 + width + 2 * k, 2);
      Check(b >= 0, "a loaded record with a byte missing");
      bytes[address + k] = static_cast<uint8_t>(b);
    }
  }
  return i;
}

size_t IntelHexData(const std::vector<std::string>& lines, Bytes& bytes) {
  uint64_t base = 0;
  for (size_t i = 0;; ++i) {
    Check(i < lines.size(), "loaded without an end record");
    const std::string l = lines[i].substr(0, lines[i].find_last_not_of(" \t") + 1);
    if (l.empty()) continue;
    std::vector<uint8_t> b;
    for (size_t at = 1; at + 1 < l.size(); at += 2) b.push_back(static_cast<uint8_t>(Hex(l, at, 2)));
    Check(l[0] == ':' && b.size() >= 5 && b.size() == 5u + b[0], "loaded a malformed record");
    if (b[3] == 1) return i + 1;
    if (b[3] == 2 || b[3] == 4) base = static_cast<uint64_t>(b[4] << 8 | b[5]) << (b[3] == 2 ? 4 : 16);
    for (size_t k = 0; b[3] == 0 && k < b[0]; ++k) bytes[base + (b[1] << 8 | b[2]) + k] = b[4 + k];
  }
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
    return 0;
  }
  const porten::Image image = load->TakeImage();
  Check(image.base + uint64_t{image.bytes.size()} <= 0x100000000, "the image wraps past FFFFFFFF");
  if (load->format() == ImageFormat::kElf) return 0;  // libelf reads it, nothing to compare

  const std::vector<std::string> lines = Lines(std::string(reinterpret_cast<const char*>(data), size));
  const bool srec = load->format() == ImageFormat::kSRecord;
  Bytes bytes;
  for (size_t i = srec ? SRecordData(lines, bytes) : IntelHexData(lines, bytes); i < lines.size(); ++i) {
    Check(!(srec ? IsSRecordData(lines[i]) : IsHexData(lines[i])), "loaded with a data record after the end");
  }
  Check(!bytes.empty(), "an image without data records");
  Check(image.base == bytes.begin()->first, "the base is not the lowest address");
  Check(image.bytes.size() == bytes.rbegin()->first + 1 - image.base, "the length is not the span");
  for (size_t i = 0; i < image.bytes.size(); ++i) {
    auto it = bytes.find(image.base + i);
    Check(image.bytes[i] == (it == bytes.end() ? 0xFF : it->second), "a byte the records do not describe");
  }
  return 0;
}
