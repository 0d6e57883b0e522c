#include "sim/sim_fixture.h"

#include <algorithm>

namespace porten::sim {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDrainMs = 2000;  // the board's last answer on its way to the tool

// Waits until the board's last answer has reached the tool. The pty counts a
// byte as waiting only once the kernel has moved it to the tool's side, which
// happens a moment after the board's write: a board taken off before then
// would take its last answer with it, so the hand waits a little longer.
void AwaitDrained(SimBoard& line) {
  line.WaitFor([&] { return line.Drained(); }, kDrainMs);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  line.WaitFor([&] { return line.Drained(); }, kDrainMs);
}

}  // namespace

SimFixture::SimFixture(FixtureOptions options) : options_(std::move(options)) {
  options_.slots = options_.hotPlug ? std::max(1, options_.slots) : 1;
}

SimFixture::~SimFixture() { Stop(); }

BoardKnobs SimFixture::KnobsOf(int number) const {
  return options_.knobsFor ? options_.knobsFor(number) : options_.knobs;
}

bool SimFixture::Start() {
  std::unique_lock lock(mu_);
  if (running_) return true;
  slots_.clear();
  slots_.resize(static_cast<size_t>(options_.slots));
  if (!options_.hotPlug) {
    BoardOptions o;
    static_cast<BoardKnobs&>(o) = KnobsOf(1);
    o.linkPath = options_.link;
    o.wireTime = options_.wireTime;
    o.onEvent = [this](const std::string& e) {
      std::unique_lock l(mu_);
      notes_.push_back({0, slots_[0].current, e, Clock::now()});
      changed_.notify_all();
    };
    fixed_ = std::make_unique<SimBoard>(o);
    if (!fixed_->Start()) {
      error_ = fixed_->Error();
      fixed_.reset();
      return false;
    }
    fixed_->TakeBoardOff();  // the first board goes on below, as every later one
  }
  for (int s = 0; s < options_.slots; ++s) {
    if (!PlaceLocked(s, lock)) return false;
  }
  running_ = true;
  thread_ = std::thread(&SimFixture::Run, this);
  return true;
}

void SimFixture::Stop() {
  std::unique_lock lock(mu_);
  running_ = false;
  changed_.notify_all();
  lock.unlock();
  if (thread_.joinable()) thread_.join();
  std::vector<std::unique_ptr<SimBoard>> boards;
  lock.lock();
  for (Slot& slot : slots_) {
    if (slot.board) boards.push_back(std::move(slot.board));
    if (slot.current >= 0) boards_[static_cast<size_t>(slot.current)].off = true;
    slot.current = -1;
  }
  if (fixed_) boards.push_back(std::move(fixed_));
  lock.unlock();
  // Outside the lock: a board's thread may be waiting for it with an event.
  for (auto& b : boards) b->Stop();
}

std::string SimFixture::Error() const {
  std::lock_guard lock(mu_);
  return error_;
}

std::string SimFixture::PortPath() const {
  std::lock_guard lock(mu_);
  return fixed_ ? fixed_->PortPath() : std::string();
}

std::vector<FixtureBoard> SimFixture::Boards() const {
  std::lock_guard lock(mu_);
  return boards_;
}

int SimFixture::Written() const {
  std::lock_guard lock(mu_);
  return static_cast<int>(std::count_if(boards_.begin(), boards_.end(), [](auto& b) { return b.writes > 0; }));
}

int SimFixture::Matched() const {
  std::lock_guard lock(mu_);
  return static_cast<int>(std::count_if(boards_.begin(), boards_.end(), [](auto& b) { return b.matched; }));
}

std::vector<std::string> SimFixture::Anomalies() const {
  std::lock_guard lock(mu_);
  std::vector<std::string> all = anomalies_;
  for (const Slot& slot : slots_) {
    SimBoard* line = fixed_ ? fixed_.get() : slot.board.get();
    if (!line || slot.current < 0) continue;
    for (const auto& a : line->Anomalies()) all.push_back("board " + std::to_string(slot.current + 1) + ": " + a);
  }
  return all;
}

bool SimFixture::WaitFor(const std::function<bool()>& pred, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock lock(mu_);
  for (;;) {
    const uint64_t seen = changes_;
    lock.unlock();
    if (pred()) return true;
    lock.lock();
    if (!changed_.wait_until(lock, deadline, [&] { return changes_ != seen; })) {
      lock.unlock();
      return pred();
    }
  }
}

void SimFixture::Say(const std::string& line) {
  if (options_.onEvent) options_.onEvent(line);
}

bool SimFixture::PlaceLocked(int s, std::unique_lock<std::mutex>& lock) {
  Slot& slot = slots_[static_cast<size_t>(s)];
  slot.waiting = false;
  const int number = static_cast<int>(boards_.size()) + 1;
  if (options_.boards > 0 && number > options_.boards) return true;
  FixtureBoard record;
  record.number = number;
  record.slot = s;
  record.placed = Clock::now();
  if (options_.hotPlug) {
    BoardOptions o;
    static_cast<BoardKnobs&>(o) = KnobsOf(number);
    o.linkPath = options_.linkDir + "/ttySIM" + std::to_string(number);
    o.wireTime = options_.wireTime;
    const int index = number - 1;
    o.onEvent = [this, s, index](const std::string& e) {
      std::unique_lock l(mu_);
      notes_.push_back({s, index, e, Clock::now()});
      changed_.notify_all();
    };
    auto board = std::make_unique<SimBoard>(o);
    if (!board->Start()) {
      error_ = board->Error();
      return false;
    }
    record.port = board->PortPath();
    slot.board = std::move(board);
  } else {
    fixed_->PlaceBoard(KnobsOf(number));
    record.port = fixed_->PortPath();
  }
  boards_.push_back(record);
  slot.current = number - 1;
  slot.answersToGo = 0;
  ++changes_;
  changed_.notify_all();
  const std::string line = "board " + std::to_string(number) + " placed on " + record.port;
  lock.unlock();
  Say(line);
  lock.lock();
  return true;
}

void SimFixture::TakeOffLocked(int s, std::unique_lock<std::mutex>& lock) {
  Slot& slot = slots_[static_cast<size_t>(s)];
  if (slot.current < 0) return;
  FixtureBoard& record = boards_[static_cast<size_t>(slot.current)];
  record.off = true;
  const std::string line = "board " + std::to_string(record.number) + " taken off";
  for (const auto& a : (fixed_ ? fixed_.get() : slot.board.get())->Anomalies()) {
    anomalies_.push_back("board " + std::to_string(record.number) + ": " + a);
  }
  slot.current = -1;
  std::unique_ptr<SimBoard> gone = std::move(slot.board);
  if (fixed_) fixed_->TakeBoardOff();
  slot.waiting = true;
  slot.placeAt = Clock::now() + std::chrono::milliseconds(options_.offMs);
  ++changes_;
  changed_.notify_all();
  lock.unlock();
  if (gone) gone->Stop();  // its link goes with it
  Say(line);
  lock.lock();
}

bool SimFixture::MatchesLocked(const SimBoard& board) const {
  if (!options_.expect) return true;
  const SparseMemory rom = board.Rom();
  for (const auto& [first, last] : options_.expect->WrittenRanges()) {
    for (uint64_t a = first; a <= last; ++a) {
      if (rom.At(static_cast<uint32_t>(a)) != options_.expect->At(static_cast<uint32_t>(a))) return false;
    }
  }
  return true;
}

void SimFixture::Handle(const Note& note, std::unique_lock<std::mutex>& lock) {
  Slot& slot = slots_[static_cast<size_t>(note.slot)];
  if (note.event == "byte on an empty fixture") {
    // Attributed to the board taken off last.
    for (auto it = boards_.rbegin(); it != boards_.rend(); ++it) {
      if (it->slot == note.slot && it->off) {
        if (it->readyAgain == FixtureBoard::Time{}) it->readyAgain = note.at;
        break;
      }
    }
    return;
  }
  if (note.board < 0 || note.board != slot.current) return;  // from a board already taken off
  FixtureBoard& record = boards_[static_cast<size_t>(note.board)];
  SimBoard& line = fixed_ ? *fixed_ : *slot.board;
  const std::string name = "board " + std::to_string(record.number);
  if (note.event == "sync answered") {
    if (record.firstAnswer == FixtureBoard::Time{}) record.firstAnswer = note.at;
    if (slot.answersToGo > 0 && --slot.answersToGo == 0) {
      lock.unlock();
      AwaitDrained(line);
      lock.lock();
      if (slot.current == note.board) TakeOffLocked(note.slot, lock);
    }
  } else if (note.event == "handshake") {
    if (record.handshake == FixtureBoard::Time{}) record.handshake = note.at;
  } else if (note.event.rfind("write done: ROM", 0) == 0) {
    if (record.writes++ == 0) {
      record.writeDone = note.at;
      record.matched = MatchesLocked(line);
      if (options_.keepRoms) record.rom = line.Rom();
      const std::string verdict = options_.expect ? (record.matched ? ": ROM matches" : ": ROM differs") : "";
      if (!verdict.empty()) {
        lock.unlock();
        Say(name + verdict);
        lock.lock();
      }
    }
    ++changes_;
    changed_.notify_all();
    if (options_.keepSyncs == 0) {
      lock.unlock();
      AwaitDrained(line);
      lock.lock();
      if (slot.current == note.board) TakeOffLocked(note.slot, lock);
    } else if (record.writes == 1) {
      // Left as it is: its loader takes the tool's next sync for a reset into
      // boot mode and answers it. A reset here could fall between the sync's
      // zeros and leave that sync unanswered.
      slot.answersToGo = options_.keepSyncs;  // -1: never counts down to 0
    }
  } else if (note.event.rfind("hang-up after", 0) == 0) {
    record.hungUp = true;
    TakeOffLocked(note.slot, lock);
  }
}

void SimFixture::Run() {
  std::unique_lock lock(mu_);
  while (running_) {
    auto next = Clock::now() + std::chrono::hours(1);
    for (const Slot& slot : slots_) {
      if (slot.waiting) next = std::min(next, slot.placeAt);
    }
    changed_.wait_until(lock, next, [&] { return !running_ || !notes_.empty() || Clock::now() >= next; });
    if (!running_) break;
    while (!notes_.empty()) {
      const Note note = notes_.front();
      notes_.pop_front();
      // The board's own line first, then what the fixture makes of it.
      const std::string who = note.board >= 0 ? "board " + std::to_string(note.board + 1) : "fixture";
      lock.unlock();
      Say(who + ": " + note.event);
      lock.lock();
      Handle(note, lock);
      ++changes_;  // WaitFor looks at every event
      changed_.notify_all();
      if (!running_) return;
    }
    const auto now = Clock::now();
    for (int s = 0; s < static_cast<int>(slots_.size()); ++s) {
      if (slots_[static_cast<size_t>(s)].waiting && slots_[static_cast<size_t>(s)].placeAt <= now) {
        if (!PlaceLocked(s, lock)) {
          lock.unlock();
          Say("cannot place a board: " + Error());
          lock.lock();
        }
      }
    }
  }
}

}  // namespace porten::sim
