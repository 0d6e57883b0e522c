#include "srec/load.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/texts.h"
#include "srec/srec.h"

namespace porten {

namespace {

// Reads up to max characters; short only at the end of the file. -1 when the
// file fails: that must not pass for its end, or the load would report a
// truncated image as complete.
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

char* WindowEnd(DownloadState& st) { return st.m_szLineBuf + st.m_nLineLen; }

// Moves the text from `from` to the window's end to the front, reads behind it
// as much as fits and puts the cursor at the front. False on a read error.
bool Refill(DownloadState& st, const char* from) {
  int keep = static_cast<int>(WindowEnd(st) - from);
  std::memmove(st.m_szLineBuf, from, static_cast<size_t>(keep));
  st.m_nLineLen = keep;
  st.m_szLineBuf[keep] = '\0';
  int got = ReadFull(st.m_hFile, st.m_szLineBuf + keep, kLineBufSize - keep);
  if (got < 0) return false;
  st.m_nLineLen = keep + got;
  st.m_szLineBuf[st.m_nLineLen] = '\0';
  st.m_pCursor = st.m_szLineBuf;
  return true;
}

void CloseFile(DownloadState& st) {
  if (st.m_hFile >= 0) ::close(st.m_hFile);
  st.m_hFile = -1;
}

enum class Step { kOk, kMalformed, kReadError };

// Steps over the line end whose CR is at cr; *next gets the start of the next
// line. A CR that ends the window's text has its LF still in the file, so the
// window is refilled first rather than stepping beyond its text. Only CR LF
// ends a line: a bare CR would swallow the next record's "S" unseen. A CR at
// the very end of the file leaves *next at the end of the text.
Step StepOverLineEnd(DownloadState& st, char* cr, char** next) {
  if (cr + 1 >= WindowEnd(st)) {
    if (!Refill(st, cr)) return Step::kReadError;
    cr = st.m_szLineBuf;
    if (cr + 1 >= WindowEnd(st)) {
      *next = WindowEnd(st);
      return Step::kOk;
    }
  }
  if (cr[1] != '\n') return Step::kMalformed;
  *next = cr + 2;
  return Step::kOk;
}

char* FindCr(char* from, char* end) {
  if (from >= end) return nullptr;
  return static_cast<char*>(std::memchr(from, '\r', static_cast<size_t>(end - from)));
}

// Ends a load that failed before the first batch was armed.
void RefuseFile(DownloadState& st, WindowSystem& win, const char* text) {
  CloseFile(st);
  win.ShowMessage(text, st.m_strFilePath);
}

// A load error inside a batch: the batch then closes the file.
void FailLoad(DownloadState& st, WindowSystem& win, const char* text) {
  st.m_nLength = 0;
  st.m_bLoading = 0;
  st.m_bReady = 1;
  win.ShowMessage(text, st.m_strFilePath);
}

void EndOfData(DownloadState& st, LinkVars& link, WindowSystem& win) {
  st.m_bReady = 1;
  st.m_bLoading = 0;

  // 32-bit arithmetic on purpose: an empty image reads base .. base - 1.
  char address[64];
  std::snprintf(address, sizeof address, text::kAddressFmt,
                static_cast<unsigned long>(st.m_nBaseAddr),
                static_cast<unsigned long>(static_cast<uint32_t>(st.m_nBaseAddr + st.m_nLength - 1)));

  const int target = st.m_nTarget == 0 ? 0 : 1;  // the slot index must stay in range
  if (target == 0) {
    if (st.m_nLength <= kBootImageSize) {
      std::copy_n(st.m_pImage, st.m_nLength, st.m_byBootImage.begin());
      win.SetText(Surface::kStatus, address);
    } else {
      win.SetText(Surface::kStatus, text::kBootLoaderInvalid);
    }
  } else {
    win.SetText(Surface::kAddress, address);
    SetTransfer(link, st.m_nLength, st.m_nBaseAddr);
    // Blocks are sent from this copy, never from the shared buffer that the
    // next boot loader load overwrites.
    st.m_byWriteImage.resize(kImageBufferSize);
    std::copy_n(st.m_pImage, st.m_nLength, st.m_byWriteImage.begin());
    std::fill(st.m_byWriteImage.begin() + st.m_nLength, st.m_byWriteImage.end(), uint8_t{0xFF});
  }
  st.m_nSlotLength[target] = st.m_nLength;
  st.m_nSlotBase[target] = st.m_nBaseAddr;
}

// Opens path for reading, relative paths against the start directory (a
// process may run several downloads, so the working directory is never
// changed). Only regular files: a FIFO would block the window thread on its
// open or read, and the prescan must be able to rewind.
int OpenSource(const DownloadState& st) {
  std::string path = st.m_strFilePath;
  if (!path.empty() && path[0] != '/' && !st.m_szStartDir.empty()) {
    path = st.m_szStartDir + "/" + path;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

void StartLoad(DownloadState& st, LinkVars& /*link*/, WindowSystem& win) {
  if (st.m_nState.load() > 0) return;
  if (st.m_bLoading) {
    // Cancel: the next batch closes the file; a further start loads anew.
    st.m_bLoading = 0;
    return;
  }
  if (!st.m_bReady) return;

  st.m_hFile = OpenSource(st);
  if (st.m_hFile < 0) {
    win.ShowMessage(text::kFileOpenFailed, st.m_strFilePath);
    return;
  }

  st.m_nBaseAddr = ScanLowestAddress(st.m_hFile);
  if (st.m_nBaseAddr == kNoAddress) return RefuseFile(st, win, text::kNotSRecord);

  st.m_nLineLen = 0;
  if (!Refill(st, st.m_szLineBuf)) return RefuseFile(st, win, text::kFileOpenFailed);
  st.m_nLength = 0;
  st.m_nRecordAddr = 0;

  char* start = st.m_szLineBuf;
  if (start[0] == 'S' && start[1] == '0') {
    // The header's content and checksum are of no interest.
    char* cr = FindCr(start, WindowEnd(st));
    if (!cr) return RefuseFile(st, win, text::kNotSRecord);
    char* next;
    switch (StepOverLineEnd(st, cr, &next)) {
      case Step::kOk:
        break;
      case Step::kMalformed:
        return RefuseFile(st, win, text::kNotSRecord);
      case Step::kReadError:
        return RefuseFile(st, win, text::kFileOpenFailed);
    }
    // Top the window up, so a long header cannot leave the first data record
    // cut off at the window's end.
    if (!Refill(st, next)) return RefuseFile(st, win, text::kFileOpenFailed);
  } else if (start[0] == 'S' && RecordPrefixLength(start[1]) != 0) {
    st.m_pCursor = start;
  } else {
    return RefuseFile(st, win, text::kNotSRecord);
  }

  std::fill_n(st.m_pImage, kImageBufferSize, uint8_t{0xFF});  // a byte value: one memset
  st.m_bReady = 0;
  st.m_bLoading = 1;
  win.SetText(Surface::kStatus, text::kLoadStart);
  win.SetTimer(TIMER_LOAD, kFirstBatchDelayMs);
}

void LoadBatch(DownloadState& st, LinkVars& link, WindowSystem& win) {
  win.KillTimer(TIMER_LOAD);
  // A stray tick with no load open must not clear m_nLength, which a
  // transfer may be using.
  if (st.m_bReady) return;

  uint8_t scratch[256];
  int records = 0;
  while (st.m_bLoading) {
    char* rec = st.m_pCursor;
    int P = rec[0] == 'S' ? RecordPrefixLength(rec[1]) : 0;
    if (P == 0) {
      EndOfData(st, link, win);
      break;
    }

    // An address without a digit would leave the previous record's address
    // in place and store the data there.
    if (!ReadRecordAddress(rec, P, &st.m_nRecordAddr)) {
      FailLoad(st, win, text::kNotSRecord);
      break;
    }
    int32_t n = ParseDataRecord(rec + 2, P, st.m_nRecordAddr, scratch);
    if (n <= 0) {
      FailLoad(st, win, n == kRecordChecksum ? text::kChecksum : text::kNotSRecord);
      break;
    }

    uint64_t offset = static_cast<uint64_t>(st.m_nRecordAddr) - st.m_nBaseAddr;
    if (st.m_nRecordAddr < st.m_nBaseAddr || offset + static_cast<uint64_t>(n) > kImageBufferSize) {
      FailLoad(st, win, text::kMemoryOver);
      break;
    }
    uint32_t end = static_cast<uint32_t>(offset) + static_cast<uint32_t>(n);
    if (st.m_nLength < end) st.m_nLength = end;
    std::memcpy(st.m_pImage + offset, scratch, static_cast<size_t>(n));

    char* cr = FindCr(rec, WindowEnd(st));
    if (!cr) {
      FailLoad(st, win, text::kNotSRecord);
      break;
    }
    char* next;
    Step step = StepOverLineEnd(st, cr, &next);
    if (step != Step::kOk) {
      FailLoad(st, win, step == Step::kMalformed ? text::kNotSRecord : text::kFileOpenFailed);
      break;
    }
    // Keep the window only while the next line lies whole inside it.
    char* windowEnd = WindowEnd(st);
    if (FindCr(next, windowEnd) && windowEnd - (next + 2) > P + 2) {
      st.m_pCursor = next;
    } else if (!Refill(st, next)) {
      FailLoad(st, win, text::kFileOpenFailed);
      break;
    }

    if (++records >= kRecordsPerBatch) break;
  }

  if (st.m_bLoading) {
    char progress[64];
    std::snprintf(progress, sizeof progress, text::kLoadProgressFmt,
                  static_cast<long>(st.m_nLength));
    win.SetText(Surface::kAddress, progress);
    win.SetTimer(TIMER_LOAD, 0);
  } else {
    st.m_nLength = 0;
    CloseFile(st);
    st.m_bReady = 1;
    st.m_bLoading = 0;
  }
}

}  // namespace porten
