// The record store: one row per board and attempt, and the series the
// serial numbers are drawn from. Two implementations share one schema: a
// SQLite file for one station, and PostgreSQL for a line of stations that
// share their series.
//
// A number is drawn and its row opened in one commit, before anything is
// sent to the board: a drawn number is never drawn again, and never lost
// without a row, whatever happens to the writer afterwards. A row that was
// opened but never ended, of a process that is gone, reads as "interrupted".
//
// Every call may throw StoreError: the store cannot be reached, is read-only
// or full. The stores are safe to share between threads.
#pragma once

#include <chrono>
#include <functional>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace porten::records {

struct StoreError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The version of the schema that this build creates and reads.
inline constexpr int kSchemaVersion = 1;

// The writing process, as the rows name it.
struct Writer {
  std::string station;  // the host name
  int64_t pid = 0;
  int64_t pidStart = 0;  // when the process started (clock ticks after boot): a reused
                         // pid is then not taken for the writer
  static Writer Self();
  // Whether this writer's process still runs; only meaningful on its host.
  bool Alive() const;
};

// What a row starts with.
struct AttemptStart {
  std::string port, device;
  std::optional<std::string> usbSerial;
  std::string image, imageSha256;
  int attempt = 1;
};

// A number to draw with the row.
struct Draw {
  std::string series = "default";
  uint64_t first = 1;    // where a new series starts
  uint64_t max = 0x7FFFFFFFFFFFFFFF;  // the largest number the format holds
};

struct Started {
  int64_t id = 0;
  std::optional<uint64_t> serial;
};

// The series' next number does not fit the format: nothing was drawn.
struct DoesNotFit : StoreError {
  DoesNotFit(uint64_t n, const std::string& what) : StoreError(what), next(n) {}
  uint64_t next;
};

enum class Outcome { kWritten, kFailed, kInterrupted, kRunning };
const char* OutcomeName(Outcome outcome);

struct Row {
  int64_t id = 0;
  std::optional<std::string> series;
  std::optional<uint64_t> serial;
  std::string station;
  int64_t pid = 0;
  std::string port, device;
  std::optional<std::string> usbSerial;
  std::string image, imageSha256;
  std::optional<std::string> sentSha256;
  std::string started;  // UTC, ISO 8601 with milliseconds
  std::optional<std::string> ended;
  std::optional<std::string> result;
  Outcome outcome = Outcome::kRunning;
  std::optional<int> exit;
  int attempt = 1;
};

struct RowFilter {
  std::optional<uint64_t> serial;
  std::optional<std::string> series;
  bool failedOnly = false;  // failed and interrupted
  std::optional<size_t> last;  // the last K rows only
};

struct SeriesState {
  std::string name;
  std::optional<uint64_t> next;  // none when the series has run out
};

class Store {
 public:
  virtual ~Store() = default;

  // What the board will be sent, once its number is known: the SHA-256 of
  // the bytes. It may throw; then nothing is drawn and no row is kept.
  using SentDigest = std::function<std::string(const Started&)>;

  // Opens a row for an attempt by writer, drawing a number when draw is
  // given, and records sent's digest of the bytes to be sent, in one commit.
  // Throws DoesNotFit (nothing drawn, no row) when the series' next number
  // exceeds draw->max.
  virtual Started Begin(const Writer& writer, const AttemptStart& start,
                        const std::optional<Draw>& draw, const SentDigest& sent) = 0;
  // Ends the row.
  virtual void Finish(int64_t id, bool written, const std::string& result, int exit) = 0;
  // Marks the open rows of station whose process is gone as interrupted.
  virtual void MarkInterrupted(const Writer& self) = 0;

  // Rows in the order they were opened, open rows of a live process on
  // self's station as running, of a dead one as interrupted.
  virtual std::vector<Row> Rows(const RowFilter& filter, const Writer& self) = 0;
  virtual std::vector<SeriesState> Series() = 0;

  // Where the store is, for messages (a path, or the URI without password).
  virtual std::string Where() const = 0;
};

// "postgresql://..." or "postgres://..." (any libpq URI): PostgreSQL; anything
// else is a SQLite file. create: make the file (and its directory) when it
// is not there; else a missing file throws.
std::unique_ptr<Store> OpenStore(const std::string& where, bool create);

// $XDG_STATE_HOME/porten/records.sqlite, or ~/.local/state/porten/records.sqlite.
std::string DefaultStorePath();

// UTC, ISO 8601 with milliseconds: 2026-12-07T08:15:02.123Z.
std::string IsoUtc(std::chrono::system_clock::time_point t);

}  // namespace porten::records
