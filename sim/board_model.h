// The target board as the tool sees it from its end of the line: the
// microcontroller's boot mode at 4800 bit/s, then the uploaded boot loader's
// block write at 38400 bit/s, then the loader waiting for "2" (RAM
// transfer), "1" (run) or a fresh boot sync at 4800 bit/s.
//
// Bytes from the tool go in one at a time, each with the bit rate the tool
// sent it at; the board's reply bytes and events come out. There are no
// descriptors, threads or clocks here: SimBoard (sim_board.h) feeds the model
// from a pseudo-terminal and keeps the wire time. Every byte at the wrong
// rate or out of protocol is recorded as an anomaly; a normal download
// produces none.
//
// Events are these lines, with hex in upper case:
//   "sync answered"                      a 0x00 sent in answer to the sync
//   "sync marker 30" / "sync marker 33"  the tool's "0"/"3" before 00 00 00
//   "handshake"                          0x55 answered with 0xAA
//   "sync again"                         00, "0" or "3" instead of 0x55: a new sync
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

#include <cstdint>
#include <random>
#include <string>
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

// How the board behaves, and how it misbehaves.
struct BoardKnobs {
  SyncAnswer sync = SyncAnswer::kAfterPair;
  bool startInLoader = false;  // a loader already runs: listening for "2", "1" or a sync

  // Fault knobs.
  bool silent = false;                 // answers nothing at all
  bool syncNeverAnswered = false;      // boot mode ignores the sync
  int wrongEchoAt = -1;                // boot loader byte index whose echo is altered
  int errorAfterBlock = -1;            // 0x60 instead of the next request: 0 after the header, K after block K
  int64_t hangUpAfterBytes = -1;       // the line goes away when this many bytes have come from the tool
  int noiseBytes = 0;                  // random bytes ...
  NoiseAt noiseAt = NoiseAt::kBeforeSyncAnswer;
  uint32_t seed = 1;
  int burstBytes = 0;                  // sent at once right after the header arrived
  uint8_t burstValue = 0x5A;
  int64_t muteAfterBytesSent = -1;     // sends nothing more once it has sent this many bytes
  bool stallAfterHeader = false;       // stops reading once the header has come (with a
                                       // burst of 0x11 the tool's block writes fill the line)
  bool errorInHandshake = false;       // answers the first "3" with 0x60 before its 0x00
  bool requestBeyondImage = false;     // asks for one block more instead of acknowledging the last
};

struct BoardCounters {
  uint64_t bytesFromTool = 0;
  uint64_t bytesToTool = 0;
  uint64_t writesDone = 0;  // finished block writes (ROM and RAM)
  uint64_t ramTransfers = 0;
  uint64_t runs = 0;
};

// What the board does in answer to one byte (or to the reset button).
struct Reaction {
  std::vector<uint8_t> reply;  // bytes for the tool, in this order
  int replyRate = 0;           // the board's bit rate while it sends them
  std::vector<std::string> events;
  bool hangUp = false;         // the line must vanish now, as when the adapter is pulled
};

class BoardModel {
 public:
  explicit BoardModel(const BoardKnobs& knobs = {});

  // One byte from the tool. Where the rate is known only around the byte
  // (sampled before and after it came), the byte counts as sent at either.
  Reaction Receive(uint8_t b, int rateBefore, int rateAfter);
  Reaction Receive(uint8_t b, int rate) { return Receive(b, rate, rate); }

  // The reset button: boot mode (or the loader, with startInLoader) as at
  // power-on; the memories and the log stay. Nothing once hung up.
  Reaction Reset();
  // Turns every fault knob off (a hang-up stays): the next download goes
  // through. A stalled board reads again.
  void ClearFaults();

  bool Stalled() const { return stalled_; }  // reads nothing until ClearFaults
  bool Gone() const { return phase_ == Phase::kGone; }

  const SparseMemory& Rom() const { return rom_; }
  const SparseMemory& Ram() const { return ram_; }
  const std::vector<uint8_t>& BootLoader() const { return bootLoader_; }  // the last uploaded one
  const std::vector<std::string>& Events() const { return events_; }
  const std::vector<std::string>& Anomalies() const { return anomalies_; }
  // bytesFromTool counts the bytes received, bytesToTool the reply bytes.
  const BoardCounters& Counters() const { return counters_; }
  void ClearLog();  // events and anomalies

 private:
  enum class Phase {
    kSync, kHandshake, kSizeHigh, kSizeLow, kBootData,  // boot mode, 4800
    kPoll, kAck1, kAck2, kAck3, kHeader, kBlocks,      // loader, 38400
    kIdle,                                              // loader after a write, 4800
    kGone,
  };

  static int PhaseRate(Phase phase);
  static const char* PhaseName(Phase phase);
  Phase StartPhase() const { return knobs_.startInLoader ? Phase::kIdle : Phase::kSync; }
  void RestartSync();
  void Handle(uint8_t b, int rateBefore, int rateAfter);
  void HandleSync(uint8_t b);
  void HandleLoader(uint8_t b);
  void HandleHandshake(uint8_t b);
  void OnHeader();
  void OnBlock();
  void HandleIdle(uint8_t b);
  void Unexpected(uint8_t b, const char* want);
  void Send(uint8_t b);
  void SendNoise();
  void Event(std::string text);
  void Anomaly(std::string text) { anomalies_.push_back(std::move(text)); }

  BoardKnobs knobs_;
  Phase phase_;
  Reaction out_;  // the reaction being built
  bool ramTarget_ = false;  // the running loader writes RAM ("2") or ROM
  int syncZeros_ = 0;
  bool syncMarker_ = false;
  bool noiseSent_ = false;
  bool stalled_ = false;
  uint64_t sentSinceReset_ = 0;  // for muteAfterBytesSent
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

  std::vector<std::string> events_;
  std::vector<std::string> anomalies_;
  BoardCounters counters_;
};

}  // namespace porten::sim
