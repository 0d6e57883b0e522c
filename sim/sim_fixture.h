// A production fixture of simulated boards: a board is placed, the tool
// writes it, a hand takes it off, and after a while the next, erased board
// is placed, in boot mode.
//
// Fixed mode: one adapter stays plugged in (one pty, one link) and the boards
// come and go on it; while the fixture is empty the tool's bytes are read and
// dropped. Hot-plug mode: every board brings its own adapter, a pty whose
// link appears in linkDir when the board is placed and is removed when it is
// taken off, as udev does under /dev/serial/by-id; several slots may hold a
// board at once.
//
// A board is taken off once its write has finished and its last answer has
// reached the tool, or when it hangs up (the hang-up fault knob). With
// keepSyncs it stays on after its write instead, back in boot mode at the
// tool's next sync and answering, until it has answered that many further
// syncs (-1: for good);
// a tool that writes it again shows as a second "write done" on one board.
//
// Threads: the boards' own threads report their events; one controller
// thread takes boards off and places new ones. Every public call may come
// from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/board_model.h"
#include "sim/sim_board.h"
#include "sim/sparse_memory.h"

namespace porten::sim {

struct FixtureOptions {
  BoardKnobs knobs;  // every fresh board's
  // When set, the knobs of board n (from 1) instead: a fault on one board only.
  std::function<BoardKnobs(int number)> knobsFor;
  bool wireTime = false;
  bool hotPlug = false;
  std::string link;     // fixed mode: the adapter's link (empty: none)
  std::string linkDir;  // hot-plug mode: where each board's link appears
  int slots = 1;        // hot-plug mode: boards plugged in at a time
  int offMs = 500;      // how long a slot stays empty after a board is taken off
  int keepSyncs = 0;    // see above; -1 keeps a written board for good
  int boards = 0;       // place no more boards than this (0: no limit)
  std::optional<SparseMemory> expect;  // what every written ROM must hold
  bool keepRoms = false;  // each board's ROM after its first write, in FixtureBoard::rom
  // Each board's events as "board N: EVENT", and the fixture's own; called
  // without any of the fixture's locks, from the boards' threads and the
  // controller.
  std::function<void(const std::string&)> onEvent;
};

// One board that was placed, as far as it got.
struct FixtureBoard {
  using Time = std::chrono::steady_clock::time_point;
  int number = 0;  // from 1, in the order placed
  int slot = 0;
  std::string port;  // the link the tool opens
  int writes = 0;    // finished writes on this board
  bool matched = false;  // the ROM after its first write held every byte of expect
  SparseMemory rom;      // that ROM, with keepRoms
  bool hungUp = false;
  bool off = false;  // taken off
  Time placed{}, firstAnswer{}, handshake{}, writeDone{};
  // Fixed mode: the tool's first byte on the empty fixture after this board.
  Time readyAgain{};
};

class SimFixture {
 public:
  explicit SimFixture(FixtureOptions options);
  ~SimFixture();
  SimFixture(const SimFixture&) = delete;
  SimFixture& operator=(const SimFixture&) = delete;

  // Places the first board (every slot's, in hot-plug mode). False with Error().
  bool Start();
  // Takes every board off (hot-plug: removes their links) and stops.
  void Stop();
  std::string Error() const;

  // Fixed mode: the path the tool opens.
  std::string PortPath() const;
  std::vector<FixtureBoard> Boards() const;
  // Boards written, and of those the ones whose ROM matched expect.
  int Written() const;
  int Matched() const;
  // Every board's anomalies, each as "board N: TEXT".
  std::vector<std::string> Anomalies() const;

  // Calls pred (without the fixture's lock) whenever a board's state changes,
  // until it holds or timeoutMs has passed.
  bool WaitFor(const std::function<bool()>& pred, int timeoutMs);

 private:
  struct Slot {
    std::unique_ptr<SimBoard> board;  // hot-plug: the current board's own line
    int current = -1;                 // index into boards_, -1 when empty
    int answersToGo = 0;              // keepSyncs left for a kept board
    std::chrono::steady_clock::time_point placeAt{};
    bool waiting = false;  // empty, a board due at placeAt
  };
  struct Note {
    int slot;
    int board;  // index into boards_
    std::string event;
    std::chrono::steady_clock::time_point at;
  };

  BoardKnobs KnobsOf(int number) const;
  bool PlaceLocked(int slot, std::unique_lock<std::mutex>& lock);
  void TakeOffLocked(int slot, std::unique_lock<std::mutex>& lock);
  void Handle(const Note& note, std::unique_lock<std::mutex>& lock);
  bool MatchesLocked(const SimBoard& board) const;
  void Say(const std::string& line);
  void Run();

  FixtureOptions options_;
  mutable std::mutex mu_;
  std::condition_variable changed_;
  uint64_t changes_ = 0;
  bool running_ = false;
  std::thread thread_;
  std::unique_ptr<SimBoard> fixed_;  // fixed mode: the one line
  std::vector<Slot> slots_;
  std::vector<FixtureBoard> boards_;
  std::vector<std::string> anomalies_;
  std::deque<Note> notes_;
  std::string error_;
};

}  // namespace porten::sim
