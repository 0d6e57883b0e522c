// The simulated target board on the master side of a pseudo-terminal: the
// line around a BoardModel (board_model.h), which decides every answer.
//
// The tool opens SlavePath() (or the link) as it would a serial adapter. The
// board keeps a descriptor of its own on the slave, so the pty survives the
// tool's close and reopen, and reads the tool's bit rate from it whenever
// bytes arrive. A byte counts as sent at the rate seen just before the poll
// that found it or just after reading it; the tool reopens at another rate
// only tens of milliseconds after its last byte at the old one, so only a
// board thread held up that long could judge a byte wrongly.
//
// With wire time a byte takes 10 bits at the current rate, both ways: the
// tool's bytes reach the model, and the board's replies reach the tool, only
// when the line would have carried them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/board_model.h"
#include "sim/sparse_memory.h"

namespace porten::sim {

// The model's knobs and the line's.
struct BoardOptions : BoardKnobs {
  std::string linkPath;  // symbolic link to the slave; empty for none
  bool wireTime = false;  // 10 bits per byte at the current rate, both ways
  // Called on the board's thread, without the board's lock, for every event.
  std::function<void(const std::string&)> onEvent;
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
  // Bytes from the tool that the board has not read (a stalled board).
  size_t UnreadFromTool() const;
  // The tool's rate as the board last sampled it before waiting for bytes;
  // a byte is judged against this and the rate when it is read.
  int SampledToolRate() const;
  // Turns every fault knob off (a hang-up stays): the next download goes
  // through. A stalled board reads again.
  void ClearFaults();
  // The reset button: boot mode (or the loader, with startInLoader) as at
  // power-on; the memories and the log stay.
  void Reset();
  // A fixture's hand. TakeBoardOff leaves the line in place and empty: what
  // the tool sends is read and dropped, nothing answers, and the first byte
  // the tool sends then is reported as the event "byte on an empty fixture".
  // PlaceBoard puts a fresh board there: erased memories, an empty log,
  // these knobs.
  void TakeBoardOff();
  void PlaceBoard(const BoardKnobs& knobs);

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
  void Apply(Reaction reaction);  // under mu_
  void HangUpLocked();
  void Wake();  // ends the thread's wait
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

  BoardModel model_;
  bool empty_ = false;            // taken off the fixture
  bool heardWhileEmpty_ = false;  // the tool sent a byte since
  uint64_t bytesFromTool_ = 0;  // read from the pty
  uint64_t bytesToTool_ = 0;    // written to it
  std::deque<RxByte> rx_;
  std::deque<TxByte> tx_;
  std::chrono::steady_clock::time_point rxLineFree_{};
  std::chrono::steady_clock::time_point txLineFree_{};
  bool latencyArmed_ = false;
  std::chrono::steady_clock::time_point lastTx_{};
  std::vector<double> latencyUs_;
  std::vector<std::string> pendingEvents_;  // for onEvent, outside the lock
};

}  // namespace porten::sim
