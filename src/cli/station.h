// porten-cli station: a production station that writes every board that
// arrives, on fixed fixtures and on hot-plugged adapters, and logs each.
//
// Fixed fixtures. The adapter stays plugged in and boards are placed on it
// and taken off. Between boards the port repeats the Write's sync every
// syncPeriodMs and sends nothing else: while a board answered within the last
// removalQuiet seconds (the one just written, left on the fixture) the syncs
// go out bare, their answers only noted; once the port has been quiet that
// long (and at the start), each sync is a Write's own, so the board that
// answers it is written at once. A board that never answers is never counted.
//
// Hot-plugged adapters. Every serial device that appears in a watched
// directory, or is there at the start, is a new board, written once; one that
// vanishes mid-write ends that board at once.
//
// Each port runs on its own thread with its own download session and console
// loop, through the per-board path that write uses (RunBoardOnLine). The
// boot loader and the image are read once, at Start.
//
// Threads: Start, Wait, Stop and the views on one thread (the main thread);
// the ports' threads and the watcher's report to it under one lock.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "cli/write.h"
#include "core/image.h"

namespace porten {
class DeviceWatcher;
}

namespace porten::cli {

inline constexpr int kShortestSyncPeriodMs = 250;

struct StationOptions {
  WriteOptions write;               // loader or RAM, imitation, log, time-out
  std::vector<std::string> ports;   // fixed fixtures
  std::vector<std::string> watch;   // directories of hot-plugged adapters
  int count = 0;                    // stop after this many boards ended; 0: never
  int retries = 0;                  // further attempts for a board that failed
  double removalQuietS = 2;         // unanswered syncs that mean a board was taken off
  int syncPeriodMs = 500;           // between boards on a fixed port (250 at least)
};

// The directories watched when neither ports nor directories are given.
std::vector<std::string> DefaultWatchDirs();

// A board that ended, for the plain lines and the summary.
struct StationBoard {
  std::string port;
  std::chrono::system_clock::time_point time;  // when it ended
  int status = 0;                              // as write's
  std::string result;                          // the result line
  int attempts = 1;
};

// One port's line of the live view.
struct StationPortView {
  std::string port;
  std::string state;  // "waiting", "writing 42%", "written", "failed: ...", "gone"
  int written = 0;
  int failed = 0;
};

class Station {
 public:
  explicit Station(StationOptions options);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Reads the files, opens the fixed ports, starts watching and the ports'
  // threads. 0, or the exit status with what went wrong written to err.
  int Start(std::ostream& err);
  // Waits until something changed (a board ended, a port came or went) or
  // timeout passed; true once the station has ended: count boards ended and
  // every running board finished, or interrupted (g_interrupted) and every
  // port stopped.
  bool Wait(std::chrono::milliseconds timeout);
  // Stops every port at once (a running board as on Ctrl-C) and joins them.
  void Stop();

  std::vector<StationPortView> Ports() const;
  // The boards that ended since the last call, in order.
  std::vector<StationBoard> TakeEnded();
  // What the boards taken so far came to; main thread only. Only the
  // failures are kept whole: a station may run for a hundred thousand boards.
  struct Totals {
    int written = 0;
    int failed = 0;
    int retried = 0;  // boards that took more than one attempt
    std::vector<StationBoard> failures;
  };
  const Totals& Tally() const { return tally_; }
  // A file read at the start that has changed on the disk since ("" when
  // none); each file is named once.
  std::string ChangedFile();
  // The log's first failure to append, once; "" when none.
  std::string LogError();
  // 0 when every board ended was written, 4 when one failed, 130 when
  // interrupted.
  int ExitStatus() const;
  // The records stopped the run: the store was lost (exit 3), or the next
  // serial number would not fit its format (exit 1). Boards running finish.
  bool Halted() const;
  std::string HaltReason() const;  // "" unless halted
  std::chrono::steady_clock::time_point Began() const { return began_; }
  // For the benchmarks: when a fixed port sent the first sync byte after
  // each board it ended, i.e. was ready for the next.
  std::vector<std::chrono::steady_clock::time_point> ReadyAgain() const;

 private:
  struct Slot;
  int LoadFiles(std::ostream& err);
  void StartSlot(const std::string& port, bool fixed, std::unique_ptr<BoardLine> line);
  void RunFixed(Slot& slot);
  void RunHotPlugged(Slot& slot);
  // One board on slot's line, with its retries: true when it ran to an end
  // that counts (not interrupted).
  void RunAttempts(Slot& slot, bool syncStarted);
  bool Probe(Slot& slot, int64_t* heardMs, bool* answered, bool afterBoard);
  bool Prepare(BoardLine& line);
  bool LinesBefore(Slot& slot);
  void SetState(Slot& slot, const std::string& state);
  bool Stopping() const;
  // No new board starts: count reached, or the records stopped the run.
  bool Closed() const { return full_ || Halted(); }
  void WatchLoop();

  StationOptions options_;
  std::optional<Image> loader_;
  Image image_;
  std::string imageSha256_;
  std::optional<std::string> loaderSha256_;
  struct FileStamp {
    std::string path;
    struct stat st {};
    bool warned = false;
  };
  std::vector<FileStamp> files_;

  mutable std::mutex mu_;
  std::condition_variable changed_;
  bool changedFlag_ = false;
  std::list<std::unique_ptr<Slot>> slots_;
  Totals tally_;                     // main thread's (TakeEnded)
  std::vector<StationBoard> fresh_;  // ended, not yet taken
  int endedCount_ = 0;               // boards ended, counted for count
  std::atomic<bool> full_{false};    // count reached: no new board starts
  std::atomic<bool> stop_{false};    // Stop or Ctrl-C: everything ends now
  std::unique_ptr<DeviceWatcher> watcher_;
  std::thread watchThread_;
  std::chrono::steady_clock::time_point began_;
  std::vector<std::chrono::steady_clock::time_point> readyAgain_;  // under mu_
};

// The whole command after its options are parsed: the live view or plain
// lines on out, the summary, the exit status.
int RunStation(const StationOptions& options, std::ostream& out, std::ostream& err,
               bool terminal);

}  // namespace porten::cli
