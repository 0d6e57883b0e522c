// Serial numbers and production records for the boards of one run: a write
// of several ports, or a station's boards one after the other.
//
// For a run: PrepareRecords checks the serial options against the image
// file and opens the store, once, before any board; put what it gives into
// WriteOptions::records. RunBoard (board_run.cpp) then does the rest for
// each board through BoardRecord: after the files have loaded and before
// anything is sent it draws the board's number, commits the draw with the
// board's row, patches the number into the board's image and records the
// SHA-256 of the bytes to be sent; when the board ends it ends the row. A
// station sets Board::attempt for each attempt (a retry draws a new number)
// and stops starting boards once RecordKeeper::lost is set.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "records/serial_format.h"
#include "records/store.h"

namespace porten {
class DownloadSession;
}

namespace porten::cli {

struct LogEntry;

// The store cannot be reached, is read-only or full.
inline constexpr int kExitStore = 3;

// The options as given on the command line; empty: not given.
struct RecordOptions {
  std::string serialAt, serialFormat, serialSeries, serialFirst, records;
  bool Any() const {
    return !serialAt.empty() || !serialFormat.empty() || !serialSeries.empty() ||
           !serialFirst.empty() || !records.empty();
  }
};

struct SerialPlan {
  uint32_t address = 0;
  records::SerialFormat format;
  std::string series = "default";
  uint64_t first = 1;
};

// Shared by the boards' threads.
struct RecordKeeper {
  std::unique_ptr<records::Store> store;
  std::optional<SerialPlan> serial;
  records::Writer writer = records::Writer::Self();
  // The store failed: no further board may start, and the run exits 3.
  std::atomic<bool> lost{false};
  // A drawn number would not fit the format: no further board may start,
  // and the run exits 1.
  std::atomic<bool> exhausted{false};
};

struct Prepared {
  int status = 0;                     // 0, or the exit status of the refusal
  std::string message;                // why, in one line
  std::shared_ptr<RecordKeeper> records;  // null without --records and --serial-at
};

// Usage errors (exit 1) and a serial place outside the image (exit 1), a
// refused image (exit 2), then the store (exit 3). Without any of the
// options it opens nothing. The store's open rows of this host whose process
// is gone are marked interrupted.
Prepared PrepareRecords(const RecordOptions& options, const std::string& image);

// One board's row. Not thread-safe: the board's own thread uses it.
class BoardRecord {
 public:
  explicit BoardRecord(RecordKeeper* run) : run_(run) {}

  struct Refusal {
    int status;
    std::string result;  // the board's result line
  };
  // Call once the image has loaded in session and before anything is sent;
  // fills the log's serial and sent_sha256. A refusal: nothing may be sent.
  std::optional<Refusal> Begin(DownloadSession& session, LogEntry& log, int attempt);
  // Ends the row, if one was opened; a store failure is added to detail.
  void End(int status, const std::string& result, std::string& detail);

 private:
  std::optional<Refusal> Lost(const records::StoreError& e);

  RecordKeeper* run_;
  std::optional<int64_t> row_;
};

}  // namespace porten::cli
