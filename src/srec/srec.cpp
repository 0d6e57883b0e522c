#include "srec/srec.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "srec/hex.h"

namespace porten {

using srec::ScanHex;

bool ReadRecordAddress(const char* record, int P, uint32_t* address) {
  // The count field may be cut short by the end of the text; the address
  // would then start beyond it.
  if (strnlen(record, 4) < 4) return false;
  return ScanHex(record + 4, P - 4, address) > 0;
}

int32_t ParseDataRecord(const char* text, int P, uint32_t address, uint8_t* out) {
  uint32_t count = 0;
  ScanHex(text, 2, &count);  // a count that does not convert stays 0

  int32_t length = static_cast<int32_t>(count) - (P - 4) / 2 - 1;
  if (length < 1) return kRecordMalformed;

  // The count alone decides how many pairs are read, so the record may claim
  // more than the text holds; everything from the NUL on counts as missing.
  const size_t dataStart = static_cast<size_t>(P - 2);
  const size_t checksumAt = dataStart + 2 * static_cast<size_t>(length);
  const size_t textLength = strnlen(text, checksumAt + 2);

  uint32_t sum = (address >> 24) + ((address >> 16) & 0xFF) + ((address >> 8) & 0xFF) +
                 (address & 0xFF) + count;
  std::memset(out, 0, static_cast<size_t>(length));
  for (int32_t i = 0; i < length; ++i) {
    size_t at = dataStart + 2 * static_cast<size_t>(i);
    if (at >= textLength) continue;  // text ended: the byte stays 0
    uint32_t byte;
    if (ScanHex(text + at, 2, &byte) == 0) return kRecordMalformed;
    out[i] = static_cast<uint8_t>(byte);
    sum += out[i];
  }

  uint32_t checksum;
  if (checksumAt >= textLength || ScanHex(text + checksumAt, 2, &checksum) == 0) {
    return kRecordMalformed;
  }
  if (((~sum) & 0xFF) != (checksum & 0xFF)) return kRecordChecksum;
  return length;
}

namespace {

constexpr int kScanWindow = 512;

// Reads up to max bytes; short only at the end of the file. A failed read
// counts as the end of the file.
int ReadSome(int fd, char* to, int max) {
  int got = 0;
  while (got < max) {
    ssize_t r = ::read(fd, to + got, static_cast<size_t>(max - got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<int>(r);
  }
  return got;
}

}  // namespace

uint32_t ScanLowestAddress(int fd) {
  // Only this window is kept, never the file: any size scans in fixed memory.
  char window[kScanWindow];
  int n = ReadSome(fd, window, kScanWindow);
  int p = 0;
  uint32_t minimum = kNoAddress;
  int flags = 3;  // bit 0: CR seen, bit 1: LF seen; 3 marks a line start

  while (n > 0) {
    bool recordStart = false;
    if (flags == 3) {
      flags = 0;
      if (n < 12) {
        std::memmove(window, window + p, static_cast<size_t>(n));
        n += ReadSome(fd, window + n, kScanWindow - n);
        p = 0;
        if (n < 12) break;
      }
      // At least 12 unread bytes: the widest prefix lies inside the window.
      if (window[p] == 'S') {
        int P = RecordPrefixLength(window[p + 1]);
        if (P != 0) {
          uint32_t address;
          if (ScanHex(window + p + 4, P - 4, &address) > 0 && address < minimum) {
            minimum = address;
          }
          p += P;
          n -= P;
          recordStart = true;
        }
      }
    }
    if (recordStart && n == 0) {
      n = ReadSome(fd, window, kScanWindow);
      p = 0;
      continue;
    }
    if (window[p] == '\r') flags |= 1;
    if (window[p] == '\n') flags |= 2;
    if (n == 1) {
      n = ReadSome(fd, window, kScanWindow);
      p = 0;
    } else {
      ++p;
      --n;
    }
  }

  ::lseek(fd, 0, SEEK_SET);
  return minimum;
}

}  // namespace porten
