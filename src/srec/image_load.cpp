#include "srec/image_load.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/texts.h"
#include "srec/srec.h"

namespace porten {

namespace {

// Reads up to max characters; short only at the end of the file. -1 when the
// file fails: that must not pass for its end, or a truncated image would
// load as complete.
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

char* FindCr(char* from, char* end) {
  if (from >= end) return nullptr;
  return static_cast<char*>(std::memchr(from, '\r', static_cast<size_t>(end - from)));
}

// Opens path for reading, a relative one against startDir (a process may run
// several downloads, so the working directory is never changed).
int OpenRegularFile(const std::string& path, const std::string& startDir) {
  std::string full = path;
  if (!full.empty() && full[0] != '/' && !startDir.empty()) full = startDir + "/" + full;
  int fd = ::open(full.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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

ImageLoad::ImageLoad() : buffer_(kImageBufferSize, 0xFF) {}

void ImageLoad::Close() { fd_.reset(); }

ImageLoad::Result ImageLoad::Fail(const char* message, std::string detail) {
  fd_.reset();
  error_ = LoadError{message, std::move(detail)};
  return Result::kFailed;
}

Image ImageLoad::TakeImage() {
  Image image;
  image.base = base_;
  image.bytes.assign(buffer_.begin(), buffer_.begin() + length_);
  return image;
}

// Moves the text from `from` to the window's end to the front, reads behind
// it as much as fits and puts the cursor at the front. False on a read error.
bool ImageLoad::Refill(const char* from) {
  int keep = static_cast<int>(WindowEnd() - from);
  std::memmove(window_, from, static_cast<size_t>(keep));
  windowLength_ = keep;
  window_[keep] = '\0';
  int got = ReadFull(fd_.get(), window_ + keep, kLoadWindowSize - keep);
  if (got < 0) return false;
  windowLength_ = keep + got;
  window_[windowLength_] = '\0';
  cursor_ = window_;
  return true;
}

// Steps over the line end whose CR is at cr; *next gets the start of the next
// line. A CR that ends the window's text has its LF still in the file, so the
// window is refilled first rather than stepping beyond its text. Only CR LF
// ends a line: a bare CR would swallow the next record's "S" unseen. A CR at
// the very end of the file leaves *next at the end of the text.
ImageLoad::Step ImageLoad::StepOverLineEnd(char* cr, char** next) {
  if (cr + 1 >= WindowEnd()) {
    if (!Refill(cr)) return Step::kReadError;
    cr = window_;
    if (cr + 1 >= WindowEnd()) {
      *next = WindowEnd();
      return Step::kOk;
    }
  }
  if (cr[1] != '\n') return Step::kMalformed;
  *next = cr + 2;
  return Step::kOk;
}

ImageLoad::Result ImageLoad::Open(const std::string& path, const std::string& startDir) {
  fd_.reset(OpenRegularFile(path, startDir));
  length_ = 0;
  recordAddress_ = 0;
  if (!fd_) return Fail(text::kFileOpenFailed);

  base_ = ScanLowestAddress(fd_.get());
  if (base_ == kNoAddress) return Fail(text::kNotSRecord, "no S1, S2 or S3 record");

  windowLength_ = 0;
  if (!Refill(window_)) return Fail(text::kFileOpenFailed, "read error");

  char* start = window_;
  if (start[0] == 'S' && start[1] == '0') {
    // The header's content and checksum are of no interest.
    char* cr = FindCr(start, WindowEnd());
    if (!cr) return Fail(text::kNotSRecord, "line 1: no line end within 1024 characters");
    char* next;
    switch (StepOverLineEnd(cr, &next)) {
      case Step::kOk:
        break;
      case Step::kMalformed:
        return Fail(text::kNotSRecord, "line 1: a carriage return without a line feed");
      case Step::kReadError:
        return Fail(text::kFileOpenFailed, "read error");
    }
    // Top the window up, so a long header cannot leave the first data record
    // cut off at the window's end.
    if (!Refill(next)) return Fail(text::kFileOpenFailed, "read error");
  } else if (start[0] == 'S' && RecordPrefixLength(start[1]) != 0) {
    cursor_ = start;
  } else {
    return Fail(text::kNotSRecord, "line 1: not an S0, S1, S2 or S3 record");
  }

  std::fill(buffer_.begin(), buffer_.end(), uint8_t{0xFF});  // a byte value: one memset
  return Result::kMore;
}

ImageLoad::Result ImageLoad::Batch() {
  if (!fd_) return Result::kFailed;
  uint8_t scratch[256];
  for (int records = 0; records < kRecordsPerBatch; ++records) {
    char* rec = cursor_;
    int P = rec[0] == 'S' ? RecordPrefixLength(rec[1]) : 0;
    if (P == 0) {
      fd_.reset();
      return Result::kDone;  // any other line ends the data
    }

    // An address without a digit would leave the previous record's address
    // in place and store the data there.
    if (!ReadRecordAddress(rec, P, &recordAddress_)) return Fail(text::kNotSRecord);
    int32_t n = ParseDataRecord(rec + 2, P, recordAddress_, scratch);
    if (n <= 0) return Fail(n == kRecordChecksum ? text::kChecksum : text::kNotSRecord);

    uint64_t offset = static_cast<uint64_t>(recordAddress_) - base_;
    if (recordAddress_ < base_ || offset + static_cast<uint64_t>(n) > kImageBufferSize) {
      return Fail(text::kMemoryOver);
    }
    uint32_t end = static_cast<uint32_t>(offset) + static_cast<uint32_t>(n);
    if (length_ < end) length_ = end;
    std::memcpy(buffer_.data() + offset, scratch, static_cast<size_t>(n));

    char* cr = FindCr(rec, WindowEnd());
    if (!cr) return Fail(text::kNotSRecord);
    char* next;
    Step step = StepOverLineEnd(cr, &next);
    if (step != Step::kOk) {
      return Fail(step == Step::kMalformed ? text::kNotSRecord : text::kFileOpenFailed);
    }
    // Keep the window only while the next line lies whole inside it.
    char* windowEnd = WindowEnd();
    if (FindCr(next, windowEnd) && windowEnd - (next + 2) > P + 2) {
      cursor_ = next;
    } else if (!Refill(next)) {
      return Fail(text::kFileOpenFailed);
    }
  }
  return Result::kMore;
}

}  // namespace porten
