// One file load: reads an image file into an image. S-record and Intel HEX
// files are read in batches of at most 150 records, so that a window thread
// can go on handling its events between them; ELF files, which are small, in
// one step. The format is told from the content. The load owns its file and
// its window on the file; it knows nothing of slots, transfers or texts on
// the screen: it reports progress, the image when the data has ended, or the
// message that refuses the file.
//
// What a load yields is what the file's data records describe, or nothing:
// after the end of the data the file is read on to its end, and a further
// data record refuses it, as a record running past address FFFFFFFF does.
//
// Not thread-safe: one thread drives a load from Open to its end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/image.h"
#include "core/unique_fd.h"

namespace porten {

namespace text {
inline constexpr char kNotIntelHex[] = "ｲﾝﾃﾙHEXﾌｫｰﾏｯﾄでありません";
inline constexpr char kNotElf[] = "ELFﾌｫｰﾏｯﾄでありません";
}  // namespace text

inline constexpr int kRecordsPerBatch = 150;
inline constexpr int kLoadWindowSize = 1024;

// Told from the first characters: "\177ELF", a ":" as the first
// character that is not blank, or else (an "S" first) S-records.
enum class ImageFormat { kSRecord, kIntelHex, kElf };
// "S-record", "Intel HEX", "ELF".
const char* FormatName(ImageFormat format);

// Why a file was refused.
struct LoadError {
  std::string message;  // the text of the message box, exactly
  std::string detail;   // one line in English: where and what, for the command line
};

class ImageLoad {
 public:
  enum class Result {
    kMore,    // opened, or a batch done: call Batch again
    kDone,    // the data has ended: TakeImage
    kFailed,  // refused: error(); the file is closed
  };

  ImageLoad();
  ImageLoad(const ImageLoad&) = delete;
  ImageLoad& operator=(const ImageLoad&) = delete;

  struct Options {
    // Only these sections, at their load addresses; a file that is not ELF
    // is then refused. Empty: the whole image.
    std::vector<std::string> sections;
  };

  // Opens path (a relative path against startDir), tells its format, finds
  // the lowest address, reads the first window and fills the image with
  // 0xFF; an ELF file is read whole here. Only regular files: a FIFO would
  // block the caller on its open or read.
  Result Open(const std::string& path, const std::string& startDir, const Options& options = {});
  // Parses up to kRecordsPerBatch records (or lines after the data).
  Result Batch();
  // Gives up the load: the file is closed, nothing is reported.
  void Close();
  bool IsOpen() const { return static_cast<bool>(fd_); }

  // The span loaded so far: one past the highest offset written.
  uint32_t length() const { return length_; }
  uint32_t base() const { return base_; }
  // After a successful Open.
  ImageFormat format() const { return format_; }
  const LoadError& error() const { return error_; }
  // After kDone: the image, base to base + length - 1.
  Image TakeImage();

 private:
  // The line at the cursor: whole in the window up to its line feed, the
  // last line of the file (no line feed), longer than the window, or a read
  // failed while it was made whole.
  enum class Line { kWhole, kLast, kTooLong, kReadError };

  char* WindowEnd() { return window_ + windowLength_; }
  bool Refill(const char* from);
  Line TakeLine(char** lineFeed);
  void NextLine(Line line, char* lineFeed);
  Result OpenSRecord();
  Result OpenIntelHex();
  Result OpenElf();
  Result SRecordBatch();
  Result IntelHexBatch();
  Result AfterDataBatch(int steps);
  bool Store(uint64_t address, const uint8_t* bytes, uint32_t n);
  const char* BadLineEnd(const char* line, const char* end);
  std::string At() const;
  Result Fail(const char* message, std::string detail = {});

  UniqueFd fd_;
  std::vector<std::string> sections_;  // of this load
  ImageFormat format_ = ImageFormat::kSRecord;
  char window_[kLoadWindowSize + 1] = {};
  int windowLength_ = 0;
  bool eof_ = false;  // nothing of the file lies beyond the window
  char* cursor_ = window_;
  uint32_t line_ = 1;  // the number of the line at the cursor
  bool afterData_ = false;
  bool atLineStart_ = true;  // after the data: the cursor is at a line start
  uint32_t dataEndLine_ = 0;
  uint32_t recordAddress_ = 0;
  uint32_t hexBase_ = 0;  // the upper address bits of HEX data records
  uint32_t base_ = 0;
  uint32_t length_ = 0;
  std::vector<uint8_t> buffer_;  // kImageBufferSize bytes
  LoadError error_;
};

}  // namespace porten
