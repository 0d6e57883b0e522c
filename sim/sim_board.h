// A model of the target board on the master side of a pseudo-terminal: the
// microcontroller's boot mode at 4800 bit/s, then the uploaded boot loader's
// block write at 38400 bit/s, then the loader waiting for "2" (RAM transfer),
// "1" (run) or a fresh boot sync at 4800 bit/s.
//
// The tool opens SlavePath() (or the link) as it would a serial adapter. The
// board keeps a descriptor of its own on the slave, so the pty survives the
// tool's close and reopen, and reads the tool's bit rate from it whenever
// bytes arrive: every byte at the wrong rate or out of protocol is recorded
// as an anomaly. A normal download produces none. A byte counts as sent at
// the rate seen just before the poll that found it or just after reading it;
// the tool reopens at another rate only tens of milliseconds after its last
// byte at the old one, so only a board thread held up that long could judge
// a byte wrongly.
//
// Events (Events(), onEvent) are these lines, with hex in upper case:
//   "sync answered"                      a 0x00 sent in answer to the sync
//   "sync marker 30" / "sync marker 33"  the tool's "0"/"3" before 00 00 00
//   "handshake"                          0x55 answered with 0xAA
//   "boot loader size N"
//   "echo altered at byte K"             (fault knob)
//   "boot loader runs (N bytes)"         0xAA sent, now at 38400 bit/s
//   "loader ready"                       the first "3" answered
//   "header address XXXXXXXX length N"
//   "burst N bytes"                      (fault knob)
//   "error 60 after header" / "error 60 after block K"  (fault knob)
//   "write done: ROM XXXXXXXX-XXXXXXXX (N bytes)"  (or RAM)
//   "RAM transfer"                       "2" received
//   "run program"                        "1" received
//   "boot mode again"                    a fresh sync while the loader runs
//   "noise N bytes"                      (fault knob)
//   "hang-up after N bytes"              (fault knob)
//   "stalled"                            (fault knob: no more reading)
//   "error 60 in handshake"              (fault knob)
//   "reset"                              Reset()
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/sparse_memory.h"

namespace porten::sim {

// When boot mode answers the tool's sync bytes. The tool sends 00, and 100 ms
// later either 00 00 (nothing came back) or "0"/"3" and 00 00 00.
enum class SyncAnswer {
  kAtOnce,      // the first 00 at once, and again after "0"/"3" 00 00 00
  kAfterPair,   // after 00 + 00 00 (or after "0"/"3" 00 00 00)
  kAfterTriple  // only after "0"/"3" 00 00 00
};

enum class NoiseAt {
  kFirstByte,        // in reaction to the first byte the tool sends
  kBeforeSyncAnswer  // right before every sync answer
};

struct BoardOptions {
  std::string linkPath;  // symbolic link to the slave; empty for none
  SyncAnswer sync = SyncAnswer::kAfterPair;
  bool startInLoader = false;  // a loader already runs: listening for "2", "1" or a sync

  // Fault knobs.
  bool silent = false;                 // answers nothing at all
  bool syncNeverAnswered = false;      // boot mode ignores the sync
  int wrongEchoAt = -1;                // boot loader byte index whose echo is altered
  int errorAfterBlock = -1;            // 0x60 instead of the next request: 0 after the header, K after block K
  int64_t hangUpAfterBytes = -1;       // the pty goes away when this many bytes have come from the tool
  int noiseBytes = 0;                  // random bytes ...
  NoiseAt noiseAt = NoiseAt::kBeforeSyncAnswer;
  uint32_t seed = 1;
  int burstBytes = 0;                  // sent at once right after the header arrived
  uint8_t burstValue = 0x5A;
  bool wireTime = false;               // 10 bits per byte at the current rate, both ways
  int64_t muteAfterBytesSent = -1;     // sends nothing more once it has sent this many bytes
  bool stallAfterHeader = false;       // stops reading once the header has come (with a
                                       // burst of 0x11 the tool's block writes fill the line)
  bool errorInHandshake = false;       // answers the first "3" with 0x60 before its 0x00

  // Called on the board's thread, without the board's lock, for every event.
  std::function<void(const std::string&)> onEvent;
};

struct BoardCounters {
  uint64_t bytesFromTool = 0;
  uint64_t bytesToTool = 0;
  uint64_t writesDone = 0;  // finished block writes (ROM and RAM)
  uint64_t ramTransfers = 0;
  uint64_t runs = 0;
};

// Time from the board's last byte sent to the tool's next byte, per exchange.
struct LatencyStats {
  size_t count = 0;
  double p50Us = 0;
  double p99Us = 0;
  double maxUs = 0;
};

class SimBoard {
 public:
  explicit SimBoard(BoardOptions options = {});
  ~SimBoard();
  SimBoard(const SimBoard&) = delete;
  SimBoard& operator=(const SimBoard&) = delete;

  // Creates the pty (and the link) and starts serving. False with Error().
  bool Start();
  // Stops serving, closes the pty and removes the link. Idempotent.
  void Stop();
  std::string Error() const;

  std::string SlavePath() const;
  // The path the tool should open: the link if there is one, else the slave.
  std::string PortPath() const;
  bool HungUp() const;
  // Every reply has gone out and the tool has read it from the pty.
  bool Drained() const;
  // The tool's rate as the board last sampled it before waiting for bytes;
  // a byte is judged against this and the rate when it is read.
  int SampledToolRate() const;
  // Turns every fault knob off (a hang-up stays): the next download goes
  // through. A stalled board reads again.
  void ClearFaults();
  // The reset button: boot mode (or the loader, with startInLoader) as at
  // power-on; the memories and the log stay.
  void Reset();

  std::vector<uint8_t> RomRange(uint32_t address, uint32_t length) const;
  std::vector<uint8_t> RamRange(uint32_t address, uint32_t length) const;
  SparseMemory Rom() const;
  SparseMemory Ram() const;
  std::vector<uint8_t> BootLoader() const;  // the last uploaded boot loader
  std::vector<std::string> Events() const;
  std::vector<std::string> Anomalies() const;
  BoardCounters Counters() const;
  LatencyStats ReplyLatency() const;
  void ClearLog();  // events, anomalies and latency samples

  // Polls pred (called without the board's lock) whenever the board's state
  // changes, until it holds or timeoutMs has passed.
  bool WaitFor(const std::function<bool()>& pred, int timeoutMs);
  bool WaitForEvent(const std::string& event, int timeoutMs);

 private:
  enum class Phase {
    kSync, kHandshake, kSizeHigh, kSizeLow, kBootData,      // boot mode, 4800
    kPoll, kAck1, kAck2, kAck3, kHeader, kBlocks,          // loader, 38400
    kIdle,                                                  // loader after a write, 4800
    kGone,
  };
  struct RxByte {
    uint8_t value;
    int rateBefore;  // the tool's rate sampled before and after the byte came
    int rateAfter;
    std::chrono::steady_clock::time_point due;
  };
  struct TxByte {
    uint8_t value;
    std::chrono::steady_clock::time_point due;
  };

  void Run();
  int ToolRate() const;
  static int PhaseRate(Phase phase);
  static const char* PhaseName(Phase phase);
  void Handle(uint8_t b, int rateBefore, int rateAfter);  // under mu_
  void HandleSync(uint8_t b);
  void HandleLoader(uint8_t b);
  void Send(uint8_t b);
  void Send(const std::vector<uint8_t>& bytes);
  void SendNoise();
  void Event(std::string text);
  void Anomaly(std::string text);
  void HangUpLocked();
  void Touch() { ++changes_; }

  BoardOptions options_;
  mutable std::mutex mu_;
  std::condition_variable changed_;
  uint64_t changes_ = 0;
  std::thread thread_;
  bool running_ = false;
  int master_ = -1;
  int slave_ = -1;  // ours: keeps the pty alive, tells the tool's rate
  int wake_ = -1;   // eventfd that ends the thread's poll
  int sampledRate_ = 0;
  std::string slavePath_;
  std::string linkMade_;
  std::string error_;

  Phase phase_ = Phase::kSync;
  bool ramTarget_ = false;  // the running loader writes RAM ("2") or ROM
  int syncZeros_ = 0;
  bool syncMarker_ = false;
  bool syncAnsweredOnce_ = false;
  bool noiseSent_ = false;
  bool stalled_ = false;
  uint64_t queued_ = 0;  // bytes ever queued for the tool (muteAfterBytesSent)
  uint32_t bootSize_ = 0;
  std::vector<uint8_t> bootLoader_;
  std::vector<uint8_t> header_;
  uint32_t address_ = 0;
  uint32_t length_ = 0;
  uint32_t blocks_ = 0;  // blocks received in this write
  std::vector<uint8_t> block_;
  SparseMemory rom_;
  SparseMemory ram_;
  std::mt19937 random_;

  std::deque<RxByte> rx_;
  std::deque<TxByte> tx_;
  std::chrono::steady_clock::time_point rxLineFree_{};
  std::chrono::steady_clock::time_point txLineFree_{};
  bool latencyArmed_ = false;
  std::chrono::steady_clock::time_point lastTx_{};
  std::vector<double> latencyUs_;

  std::vector<std::string> events_;
  std::vector<std::string> pendingEvents_;  // for onEvent, outside the lock
  std::vector<std::string> anomalies_;
  BoardCounters counters_;
};

}  // namespace porten::sim
