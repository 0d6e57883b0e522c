// One file load: reads an S-record file into an image in batches of at most
// 150 records, so that a window thread can go on handling its events between
// them. The load owns its file and its window on the file; it knows nothing
// of slots, transfers or texts on the screen: it reports progress, the image
// when the data has ended, or the message that refuses the file.
//
// Not thread-safe: one thread drives a load from Open to its end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/image.h"
#include "core/unique_fd.h"

namespace porten {

inline constexpr int kRecordsPerBatch = 150;
inline constexpr int kLoadWindowSize = 1024;

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

  // Opens path (a relative path against startDir), finds the lowest address,
  // reads the first window and fills the image with 0xFF. Only regular
  // files: a FIFO would block the caller on its open or read.
  Result Open(const std::string& path, const std::string& startDir);
  // Parses up to kRecordsPerBatch records.
  Result Batch();
  // Gives up the load: the file is closed, nothing is reported.
  void Close();
  bool IsOpen() const { return static_cast<bool>(fd_); }

  // The span loaded so far: one past the highest offset written.
  uint32_t length() const { return length_; }
  uint32_t base() const { return base_; }
  const LoadError& error() const { return error_; }
  // After kDone: the image, base to base + length - 1.
  Image TakeImage();

 private:
  enum class Step { kOk, kMalformed, kReadError };

  char* WindowEnd() { return window_ + windowLength_; }
  bool Refill(const char* from);
  Step StepOverLineEnd(char* cr, char** next);
  Result Fail(const char* message, std::string detail = {});

  UniqueFd fd_;
  char window_[kLoadWindowSize + 1] = {};
  int windowLength_ = 0;
  char* cursor_ = window_;
  uint32_t recordAddress_ = 0;
  uint32_t base_ = 0;
  uint32_t length_ = 0;
  std::vector<uint8_t> buffer_;  // kImageBufferSize bytes
  LoadError error_;
};

}  // namespace porten
