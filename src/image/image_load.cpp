#include "image/image_load.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/texts.h"
#include "image/elf_image.h"
#include "image/hex.h"
#include "image/intel_hex.h"
#include "image/line_scan.h"
#include "image/span.h"
#include "image/srec.h"

namespace porten {

namespace {

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

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The format of the file at fd, from its first characters; the file
// position is left alone.
ImageFormat Sniff(int fd) {
  char head[512];
  off_t at = 0;
  for (;;) {
    ssize_t n = ::pread(fd, head, sizeof head, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ImageFormat::kSRecord;  // refused there as today
    if (at == 0 && n >= 4 && std::memcmp(head, "\177ELF", 4) == 0) return ImageFormat::kElf;
    for (ssize_t i = 0; i < n; ++i) {
      if (!IsBlank(head[i])) return head[i] == ':' ? ImageFormat::kIntelHex : ImageFormat::kSRecord;
    }
    at += n;
  }
}

// An S1, S2 or S3 record, or an Intel HEX data record, starts at line, of
// which available characters lie in the window.
bool IsDataRecordStart(ImageFormat format, const char* line, long available) {
  if (format == ImageFormat::kSRecord) {
    return available >= 2 && line[0] == 'S' && RecordPrefixLength(line[1]) != 0;
  }
  if (available < 9 || line[0] != ':' || line[7] != '0' || line[8] != '0') return false;
  for (int i = 1; i < 7; ++i) {
    if (hex::HexDigit(line[i]) < 0) return false;
  }
  return true;
}

}  // namespace

const char* FormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::kIntelHex:
      return "Intel HEX";
    case ImageFormat::kElf:
      return "ELF";
    case ImageFormat::kSRecord:
      break;
  }
  return "S-record";
}

std::string SpanProblem(uint64_t address, uint64_t n, uint32_t base) {
  char text[160];
  if (address > 0xFFFFFFFF || n > 0x100000000 - address) {
    return "the last byte would lie beyond address FFFFFFFF";
  } else if (address < base) {
    // Only a record the prescan did not see can lie below its lowest address.
    std::snprintf(text, sizeof text, "address %08llX lies below the lowest address %08X",
                  static_cast<unsigned long long>(address), base);
  } else if (address - base + n > kImageBufferSize) {
    std::snprintf(text, sizeof text,
                  "the data runs past the limit of 307,200 bytes from the lowest address %08X: "
                  "%08llX is the first address beyond it",
                  base, static_cast<unsigned long long>(base) + kImageBufferSize);
  } else {
    return {};
  }
  return text;
}

ImageLoad::ImageLoad() : buffer_(kImageBufferSize, 0xFF) {}

void ImageLoad::Close() { fd_.reset(); }

ImageLoad::Result ImageLoad::Fail(const char* message, std::string detail) {
  fd_.reset();
  error_ = LoadError{message, std::move(detail)};
  return Result::kFailed;
}

std::string ImageLoad::At() const { return "line " + std::to_string(line_) + ": "; }

Image ImageLoad::TakeImage() {
  Image image;
  image.base = base_;
  image.bytes.assign(buffer_.begin(), buffer_.begin() + length_);
  return image;
}

// Moves the text from `from` to the window's end to the front, reads behind
// it as much as fits and puts the cursor at the front. False on a read error.
bool ImageLoad::Refill(const char* from) {
  const int keep = static_cast<int>(WindowEnd() - from);
  std::memmove(window_, from, static_cast<size_t>(keep));
  windowLength_ = keep;
  window_[keep] = '\0';
  cursor_ = window_;
  const int got = ReadFull(fd_.get(), window_ + keep, kLoadWindowSize - keep);
  if (got < 0) return false;
  eof_ = got < kLoadWindowSize - keep;
  windowLength_ = keep + got;
  window_[windowLength_] = '\0';
  return true;
}

// Makes the line at the cursor whole in the window, refilling it when the
// line's line feed is not in it yet. *lineFeed gets the line feed, or the
// window's end when there is none.
ImageLoad::Line ImageLoad::TakeLine(char** lineFeed) {
  auto find = [this] {
    return static_cast<char*>(std::memchr(cursor_, '\n', static_cast<size_t>(WindowEnd() - cursor_)));
  };
  char* lf = find();
  if (!lf && !eof_ && cursor_ != window_) {
    if (!Refill(cursor_)) return Line::kReadError;
    lf = find();
  }
  *lineFeed = lf ? lf : WindowEnd();
  return lf ? Line::kWhole : eof_ ? Line::kLast : Line::kTooLong;
}

void ImageLoad::NextLine(Line line, char* lineFeed) {
  cursor_ = line == Line::kWhole ? lineFeed + 1 : WindowEnd();
  ++line_;
}

// What is wrong with the characters of a record's line before its line end:
// a NUL (text functions would stop at it) or a carriage return that ends no
// line. nullptr when neither is there.
const char* ImageLoad::BadLineEnd(const char* line, const char* end) {
  const size_t n = static_cast<size_t>(end - line);
  if (std::memchr(line, '\0', n)) return "a NUL character in the record";
  if (std::memchr(line, '\r', n)) return "a carriage return without a line feed";
  return nullptr;
}

bool ImageLoad::Store(uint64_t address, const uint8_t* bytes, uint32_t n) {
  if (n == 0) return true;
  std::string problem = SpanProblem(address, n, base_);
  if (!problem.empty()) {
    Fail(text::kMemoryOver, At() + problem);
    return false;
  }
  const uint32_t offset = static_cast<uint32_t>(address - base_);
  std::memcpy(buffer_.data() + offset, bytes, n);
  length_ = std::max(length_, offset + n);
  return true;
}

ImageLoad::Result ImageLoad::Open(const std::string& path, const std::string& startDir, const Options& options) {
  fd_.reset(OpenRegularFile(path, startDir));
  sections_ = options.sections;
  length_ = 0;
  base_ = 0;
  recordAddress_ = 0;
  hexBase_ = 0;
  line_ = 1;
  afterData_ = false;
  atLineStart_ = true;
  windowLength_ = 0;
  eof_ = false;
  if (!fd_) return Fail(text::kFileOpenFailed);

  format_ = Sniff(fd_.get());
  if (!sections_.empty() && format_ != ImageFormat::kElf) {
    return Fail(text::kNotElf, std::string("sections are named, but the file is ") + FormatName(format_));
  }
  std::fill(buffer_.begin(), buffer_.end(), uint8_t{0xFF});  // a byte value: one memset
  switch (format_) {
    case ImageFormat::kElf:
      return OpenElf();
    case ImageFormat::kIntelHex:
      return OpenIntelHex();
    case ImageFormat::kSRecord:
      break;
  }
  return OpenSRecord();
}

ImageLoad::Result ImageLoad::OpenElf() {
  ElfLoad elf = LoadElfImage(fd_.get(), buffer_, sections_);
  if (elf.message) return Fail(elf.message, std::move(elf.detail));
  base_ = elf.base;
  length_ = elf.length;
  return Result::kMore;  // the next batch reports the image
}

ImageLoad::Result ImageLoad::OpenIntelHex() {
  const std::optional<uint32_t> lowest = ScanHexLowestAddress(fd_.get());
  if (!lowest) return Fail(text::kNotIntelHex, "no data record");
  base_ = *lowest;
  if (!Refill(window_)) return Fail(text::kFileOpenFailed, "read error");
  return Result::kMore;
}

ImageLoad::Result ImageLoad::OpenSRecord() {
  base_ = ScanLowestAddress(fd_.get());
  if (base_ == kNoAddress) return Fail(text::kNotSRecord, "no S1, S2 or S3 record");
  if (!Refill(window_)) return Fail(text::kFileOpenFailed, "read error");

  if (window_[0] == 'S' && window_[1] == '0') {
    // The header's content and checksum are of no interest; its line end
    // must begin in the first window.
    char* end = window_;
    while (end < WindowEnd() && *end != '\r' && *end != '\n') ++end;
    if (end == WindowEnd()) return Fail(text::kNotSRecord, "line 1: no line end within 1024 characters");
    if (std::memchr(window_, '\0', static_cast<size_t>(end - window_))) {
      return Fail(text::kNotSRecord, "line 1: a NUL character in the record");
    }
    if (*end == '\r') {
      // Its line feed may still be in the file.
      if (end + 1 == WindowEnd() && !eof_) {
        if (!Refill(end)) return Fail(text::kFileOpenFailed, "read error");
        end = window_;
      }
      if (end + 1 < WindowEnd() && end[1] != '\n') {
        return Fail(text::kNotSRecord, "line 1: a carriage return without a line feed");
      }
      if (end + 1 < WindowEnd()) ++end;
    }
    // Top the window up, so a long header cannot leave the first data record
    // cut off at the window's end.
    if (!Refill(end + 1)) return Fail(text::kFileOpenFailed, "read error");
    line_ = 2;
  } else if (window_[0] != 'S' || RecordPrefixLength(window_[1]) == 0) {
    return Fail(text::kNotSRecord, "line 1: not an S0, S1, S2 or S3 record");
  }
  return Result::kMore;
}

ImageLoad::Result ImageLoad::Batch() {
  if (!fd_) return Result::kFailed;
  if (format_ == ImageFormat::kElf) {
    fd_.reset();
    return Result::kDone;
  }
  if (afterData_) return AfterDataBatch(0);
  return format_ == ImageFormat::kIntelHex ? IntelHexBatch() : SRecordBatch();
}

ImageLoad::Result ImageLoad::SRecordBatch() {
  uint8_t scratch[256];
  for (int records = 0; records < kRecordsPerBatch; ++records) {
    char* lf;
    const Line line = TakeLine(&lf);
    if (line == Line::kReadError) return Fail(text::kFileOpenFailed, "read error");
    char* rec = cursor_;
    const int P = rec[0] == 'S' ? RecordPrefixLength(rec[1]) : 0;
    if (P == 0) {
      // Any other line ends the data; what follows it must hold no more.
      afterData_ = true;
      dataEndLine_ = line_;
      return AfterDataBatch(records);
    }
    if (line == Line::kTooLong) return Fail(text::kNotSRecord, At() + "longer than 1024 characters");
    // A carriage return as the file's last character ends its last line.
    char* end = lf;
    if (line == Line::kLast && end[-1] != '\r') return Fail(text::kNotSRecord, At() + "no line end");
    if (end[-1] == '\r') --end;
    if (const char* bad = BadLineEnd(rec, end)) return Fail(text::kNotSRecord, At() + bad);

    // The record ends with its line, whatever its count says: a count too
    // large or an address cut short must not take the next line's digits.
    const char lineEnd = *end;
    *end = '\0';
    // An address without a digit would leave the previous record's address
    // in place and store the data there.
    const bool addressRead = ReadRecordAddress(rec, P, &recordAddress_);
    const int32_t n = addressRead ? ParseDataRecord(rec + 2, P, recordAddress_, scratch) : 0;
    *end = lineEnd;
    if (!addressRead) return Fail(text::kNotSRecord, At() + "an address without a digit");
    if (n == kRecordChecksum) return Fail(text::kChecksum, At() + "the checksum does not match");
    if (n <= 0) return Fail(text::kNotSRecord, At() + "a malformed record");
    if (!Store(recordAddress_, scratch, static_cast<uint32_t>(n))) return Result::kFailed;
    NextLine(line, lf);
  }
  return Result::kMore;
}

ImageLoad::Result ImageLoad::IntelHexBatch() {
  HexRecord record;
  for (int records = 0; records < kRecordsPerBatch; ++records) {
    char* lf;
    const Line line = TakeLine(&lf);
    if (line == Line::kReadError) return Fail(text::kFileOpenFailed, "read error");
    char* rec = cursor_;
    if (line == Line::kLast && rec == lf) return Fail(text::kNotIntelHex, "no end record (type 01)");
    if (line == Line::kTooLong) return Fail(text::kNotIntelHex, At() + "longer than 1024 characters");
    char* end = lf;
    if (end > rec && end[-1] == '\r') --end;
    while (end > rec && (end[-1] == ' ' || end[-1] == '\t')) --end;
    if (const char* bad = BadLineEnd(rec, end)) return Fail(text::kNotIntelHex, At() + bad);
    if (end == rec) {  // blank lines carry nothing
      NextLine(line, lf);
      continue;
    }
    if (*rec != ':') return Fail(text::kNotIntelHex, At() + "not a record");
    const HexParse parsed = ParseHexRecord(rec, static_cast<size_t>(end - rec), &record);
    if (parsed.status == HexParse::kChecksum) return Fail(text::kChecksum, At() + "the checksum does not match");
    if (parsed.status != HexParse::kOk) return Fail(text::kNotIntelHex, At() + parsed.why);

    if (record.type == kHexData) {
      if (!Store(static_cast<uint64_t>(hexBase_) + record.offset, record.data, record.count)) {
        return Result::kFailed;
      }
    } else if (record.type == kHexSegment || record.type == kHexLinear) {
      hexBase_ = HexBaseAddress(record);
    } else if (record.type == kHexEnd) {
      afterData_ = true;
      dataEndLine_ = line_;
      NextLine(line, lf);
      return AfterDataBatch(records + 1);
    }
    NextLine(line, lf);
  }
  return Result::kMore;
}

// After the end of the data: reads on to the end of the file, a line start
// at a time (or a window of a long line), and refuses the file at a further
// data record.
ImageLoad::Result ImageLoad::AfterDataBatch(int steps) {
  for (; steps < kRecordsPerBatch; ++steps) {
    if (atLineStart_) {
      if (WindowEnd() - cursor_ < 9 && !eof_ && !Refill(cursor_)) return Fail(text::kFileOpenFailed, "read error");
      if (IsDataRecordStart(format_, cursor_, WindowEnd() - cursor_)) {
        char detail[120];
        if (format_ == ImageFormat::kSRecord) {
          std::snprintf(detail, sizeof detail, "an S%c record after the end of the data at line %u", cursor_[1],
                        dataEndLine_);
          return Fail(text::kNotSRecord, At() + detail);
        }
        std::snprintf(detail, sizeof detail, "a data record after the end record at line %u", dataEndLine_);
        return Fail(text::kNotIntelHex, At() + detail);
      }
      atLineStart_ = false;
    }
    char* p = cursor_;
    while (p < WindowEnd() && *p != '\n' && *p != '\r') ++p;
    if (p == WindowEnd()) {
      if (eof_) break;
      if (!Refill(p)) return Fail(text::kFileOpenFailed, "read error");  // keeps nothing of a long line
      continue;
    }
    if (*p == '\r' && p + 1 == WindowEnd() && !eof_) {  // its line feed may still be in the file
      if (!Refill(p)) return Fail(text::kFileOpenFailed, "read error");
      p = window_;
    }
    cursor_ = p + 1;
    if (*p == '\r' && *cursor_ == '\n') ++cursor_;
    atLineStart_ = true;
    ++line_;
  }
  if (steps < kRecordsPerBatch) {  // the end of the file
    fd_.reset();
    return Result::kDone;
  }
  return Result::kMore;
}

}  // namespace porten
