// porten-cli write, inside: one board's download and what it shares with the
// main thread, which draws the progress and the results.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/console_loop.h"
#include "cli/run_records.h"
#include "link/line_sequence.h"
#include "protocol/download_session.h"

namespace CLI {
class App;
}

namespace porten::cli {

inline constexpr int kExitFile = 2;
inline constexpr int kExitPort = 3;
inline constexpr int kExitTransfer = 4;
inline constexpr int kExitTimeout = 5;
inline constexpr int kExitInterrupted = 130;

class LogWriter;

struct WriteOptions {
  std::vector<std::string> ports;
  std::string loader;
  std::string image;
  std::string log;
  std::vector<std::string> sections;  // of an ELF image; empty: all it loads
  bool ram = false;
  bool execute = false;
  bool imitation = false;
  bool quiet = false;
  int timeoutSeconds = 10;
  // --before, --after (or --lines): with either, the port keeps the lines
  // where they put them (LineKeepingPort); with neither, it behaves as ever.
  LineSequence linesBefore;
  LineSequence linesAfter;
  // --serial-at and the others as given; PrepareRecords (run_records.h)
  // turns them into records, which the boards share. Null: no store opened.
  RecordOptions recording;
  std::shared_ptr<RecordKeeper> records;
  // A station's: the boards' log lines go through it instead.
  std::shared_ptr<LogWriter> logWriter;
};

// Declares the options of a write, in the order the help lists them:
// --port, --boot, --ram, --execute, --imitation, --section, --timeout, --log,
// --quiet, --before, --after, --lines.
// Any subcommand that writes boards declares them here; one that has no use
// for one of them removes it (CLI::App::remove_option).
void DeclareWriteOptions(CLI::App& app, WriteOptions& opt);
// What is wrong with them once parsed, in one line; "" when nothing is.
std::string CheckWriteOptions(const WriteOptions& opt);

// porten-cli write's help, options, IMAGE and checks.
void DeclareWriteCommand(CLI::App& app, WriteOptions& opt);

// Set by SIGINT and SIGTERM.
extern std::atomic<bool> g_interrupted;

// One board: written by its own thread, read by the main thread.
struct Board {
  std::string port;  // as given
  std::mutex mu;
  // Notified under *endedMu once finished, so a waiter cannot miss it.
  std::mutex* endedMu = nullptr;
  std::condition_variable* ended = nullptr;
  std::string phase;                         // "boot", "write" or "" before and after
  uint32_t done = 0;
  uint32_t total = 0;
  bool finished = false;
  int status = 0;
  std::string result;  // the result line
  std::string detail;  // extra lines for standard error
  uint32_t bytes = 0;  // image bytes the board confirmed
  double seconds = 0;
  int attempt = 1;  // set by the caller before RunBoard: the row's attempt number
  std::optional<uint64_t> serial;  // the number drawn for this board, once drawn
};

// What the log records of a board; filled in as the board goes.
struct LogEntry {
  std::chrono::system_clock::time_point start;
  std::string port, device;
  std::optional<std::string> usbSerial;
  bool ram = false;
  std::string image;
  std::optional<std::string> loader;
  std::optional<std::string> imageSha256, loaderSha256;
  std::optional<uint64_t> serial;         // the board's serial number
  std::optional<std::string> sentSha256;  // the image as sent, the serial number in it
  std::optional<uint32_t> base, length;
  std::string result;  // the status text as the dialog would show it
  int exit = 0;
  double seconds = 0;
  std::optional<int> attempt;  // a station's try at this board, from 1
};

// The log can be appended to (made when missing): refused at the start, not
// after the first board. 0, or kExitFile with the reason written to err.
int CheckLog(const std::string& log, const char* command, std::ostream& err);

// One JSON object on one line, without the line end.
std::string LogLine(const LogEntry& entry);
// Appends line and a line end to path, flushed and synced; false on failure.
bool AppendLogLine(const std::string& path, const std::string& line);

// A station's log: lines appended and synced on a thread of their own, in
// the order given, so that a slow disk never holds up a port between
// boards. A line is on the disk one sync after its board has ended.
class LogWriter {
 public:
  explicit LogWriter(std::string path);
  ~LogWriter();  // after writing every line given
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  void Append(std::string line);
  // Returns once every line given so far has been written, or has failed to.
  void Flush();
  // The first failure, once; "" when none (or already taken).
  std::string TakeError();

 private:
  void Run();

  const std::string path_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::string queued_;  // whole lines, each with its line end
  bool writing_ = false;
  bool stop_ = false;
  bool failed_ = false;
  std::string error_;
  std::thread thread_;  // last: starts once the rest is in place
};

// Runs one board's download from the port's open to its close.
void RunBoard(const WriteOptions& options, Board& board);

// A port's console loop (its "window thread") and download session: one
// board's in write, board after board's in a station.
struct BoardLine {
  explicit BoardLine(std::unique_ptr<Port> port);
  ConsoleLoop loop;
  DownloadSession session;
  std::optional<Ended> ended;  // the download's ending, once the loop has it (loop thread)
};

// A station's board on a line whose port is open, receive thread running and
// images in place (DownloadSession::UseImage): its record and serial number,
// then its download as write runs it, from the sync (already begun when
// syncStarted: the number goes in while the boot loader goes up), to its
// end, its log line marked with attempt. The port stays open for the next
// board.
struct LineAttempt {
  bool syncStarted = false;
  int attempt = 1;
  std::string imageSha256;  // of the files, read once
  std::optional<std::string> loaderSha256;
};
void RunBoardOnLine(const WriteOptions& options, Board& board, BoardLine& line, const LineAttempt& attempt);

// A port for options: one that keeps the modem lines where --before and
// --after put them, when either is given.
std::unique_ptr<Port> MakeBoardPort(const WriteOptions& options);
// Why the open port cannot run the options' line sequences; "" when it can.
std::string LinesMissing(const WriteOptions& options, const Port& port, const std::string& device);

// What is known when a board stops answering, and what to try.
std::string NoAnswerHint(const DownloadView& v, bool ram, bool heardAnything);

}  // namespace porten::cli
