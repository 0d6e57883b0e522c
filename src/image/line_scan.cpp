#include "image/line_scan.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace porten {

int ReadFull(int fd, char* to, int max) {
  int got = 0;
  while (got < max) {
    ssize_t r = ::read(fd, to + got, static_cast<size_t>(max - got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    got += static_cast<int>(r);
  }
  return got;
}

void ForEachLineStart(int fd, int lookahead, const std::function<void(const char*, int)>& visit) {
  // Only this window is kept, never the file: any size scans in fixed memory.
  char window[kScanWindow];
  int n = std::max(0, ReadFull(fd, window, kScanWindow));
  bool eof = n < kScanWindow;
  int p = 0;
  bool lineStart = true;
  auto readNext = [&] {
    n = std::max(0, ReadFull(fd, window, kScanWindow));
    eof = n < kScanWindow;
    p = 0;
  };

  for (;;) {
    if (lineStart) {
      if (n - p < lookahead && !eof) {
        std::memmove(window, window + p, static_cast<size_t>(n - p));
        n -= p;
        p = 0;
        const int got = std::max(0, ReadFull(fd, window + n, kScanWindow - n));
        eof = got < kScanWindow - n;
        n += got;
      }
      if (p == n) break;
      visit(window + p, n - p);
      lineStart = false;
    }
    p = static_cast<int>(FindLineEnd(window + p, window + n) - window);
    if (p == n) {
      if (eof) break;
      readNext();
      continue;
    }
    if (window[p++] == '\r') {
      if (p == n && !eof) readNext();  // the LF that may belong to this CR
      if (p < n && window[p] == '\n') ++p;
    }
    lineStart = true;
  }
  ::lseek(fd, 0, SEEK_SET);
}

}  // namespace porten
