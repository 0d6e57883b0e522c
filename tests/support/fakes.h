// The fakes of the unit tests. A scripted serial port: it records every
// open, close and write in order, hands out bytes the test feeds in, and can
// hold a write the way a stalled line does. A recording window system with a
// manual clock: texts, message boxes and timers are recorded, and time only
// moves when a test says so.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/port.h"
#include "core/window_system.h"

namespace porten::testing {

struct PortEvent {
  enum Kind { kOpen, kClose, kWrite } kind;
  int baud = 0;                // the rate at the time
  std::vector<uint8_t> bytes;  // kWrite
  bool operator==(const PortEvent&) const = default;
};

class FakePort : public Port {
  template <typename F>
  auto Locked(F f) const {
    std::lock_guard lock(mu_);
    return f();
  }
  template <typename F>
  void Notify(F f) {
    std::lock_guard lock(mu_);
    f();
    changed_.notify_all();
  }
  void WaitFor(bool blocked) {
    std::unique_lock lock(mu_);
    changed_.wait(lock, [&] { return blocked_ == blocked; });
  }

 public:
  // Whoever owns a port closes it before it goes.
  ~FakePort() override { EXPECT_FALSE(open_) << "a port left open by its owner"; }
  bool Open(const std::string& path, int baud, int, int) override {
    std::lock_guard lock(mu_);
    path_ = path;
    const bool fail = failOpens_ > 0 && failOpens_--;
    open_ = !fail;
    baud_ = fail ? 0 : baud;
    lost_ = false;
    error_ = fail ? OpenError{failWith_, "scripted failure", ""} : OpenError{};
    if (fail) return false;
    input_.clear();  // an open discards what was received before
    events_.push_back({PortEvent::kOpen, baud, {}});
    return true;
  }
  void Close() override {
    std::lock_guard lock(mu_);
    if (open_) events_.push_back({PortEvent::kClose, 0, {}});
    open_ = false;
    baud_ = 0;
  }
  bool IsOpen() const override { return Locked([&] { return open_; }); }
  size_t Write(const uint8_t* data, size_t count, int) override {
    std::unique_lock lock(mu_);
    if (stalled_ && open_) {
      const uint64_t interrupts = interrupts_;
      blocked_ = true;
      changed_.notify_all();
      changed_.wait(lock, [&] { return !stalled_ || interrupts_ != interrupts; });
      blocked_ = false;
      changed_.notify_all();
      if (interrupts_ != interrupts) return 0;
    }
    if (!open_) return 0;
    const size_t n = std::min(count, shortAfter_ > written_ ? shortAfter_ - written_ : 0);
    events_.push_back({PortEvent::kWrite, baud_, std::vector<uint8_t>(data, data + n)});
    written_ += n;
    return n;
  }
  void InterruptWrites() override { Notify([&] { ++interrupts_; }); }
  // Like the real port: nothing waiting means a full wait, never a spin.
  size_t WaitReadable(int timeoutMs) override {
    std::unique_lock lock(mu_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return doorbell_ || (open_ && !input_.empty()); });
    if (doorbell_) return doorbell_ = false, 0;
    return open_ ? input_.size() : 0;
  }
  void Interrupt() override { Notify([&] { doorbell_ = true, ++rung_; }); }
  size_t Read(uint8_t* buffer, size_t max) override {
    std::lock_guard lock(mu_);
    const size_t n = open_ ? std::min(max, input_.size()) : 0;
    std::copy_n(input_.begin(), n, buffer);
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
  }
  bool Lost() const override { return Locked([&] { return lost_; }); }
  int Baud() const override { return Locked([&] { return baud_; }); }
  OpenError LastOpenError() const override { return Locked([&] { return error_; }); }

  // Script.
  void Feed(const std::vector<uint8_t>& bytes) {
    Notify([&] { input_.insert(input_.end(), bytes.begin(), bytes.end()); });
  }
  void FailOpens(int count, OpenFailure why = OpenFailure::kNotFound) {
    Notify([&] { failOpens_ = count, failWith_ = why; });
  }
  // The write that crosses this many more bytes comes up short.
  void ShortWriteAfter(size_t bytes) { Notify([&] { shortAfter_ = written_ + bytes; }); }
  void SetLost(bool lost) { Notify([&] { lost_ = lost; }); }
  // Writes from now on block, as on a stalled line, until InterruptWrites or
  // ReleaseWrites.
  void StallWrites() { Notify([&] { stalled_ = true; }); }
  void ReleaseWrites() { Notify([&] { stalled_ = false; }); }
  void WaitForBlockedWrite() { WaitFor(true); }
  void WaitForNoBlockedWrite() { WaitFor(false); }

  // Inspection.
  std::vector<PortEvent> Events() const { return Locked([&] { return events_; }); }
  std::string LastPath() const { return Locked([&] { return path_; }); }
  int Rung() const { return Locked([&] { return rung_; }); }  // Interrupt calls: the link thread woken

 private:
  mutable std::mutex mu_;
  std::condition_variable changed_;
  bool doorbell_ = false, open_ = false, lost_ = false, stalled_ = false, blocked_ = false;
  int baud_ = 0, failOpens_ = 0, rung_ = 0;
  uint64_t interrupts_ = 0;
  size_t written_ = 0, shortAfter_ = SIZE_MAX;
  std::string path_;
  std::deque<uint8_t> input_;
  std::vector<PortEvent> events_;
  OpenError error_;
  OpenFailure failWith_ = OpenFailure::kNotFound;
};

struct Message {
  std::string text;
  std::string caption;
  bool operator==(const Message&) const = default;
};

class FakeWindow final : public WindowSystem, public Clock {
  template <typename F>
  auto Locked(F f) const {
    std::lock_guard lock(mu_);
    return f();
  }

 public:
  void Bind(TimerTarget* target) { target_ = target; }

  void SetText(Surface s, const std::string& text) override { Locked([&] { texts_[s] = text; }); }
  void ShowMessage(const std::string& text, const std::string& caption) override {
    Locked([&] { messages_.push_back({text, caption}); });
  }
  void SetTimer(int id, int ms) override { Locked([&] { timers_[id] = {now_ + ms, seq_++}; }); }
  void KillTimer(int id) override { Locked([&] { timers_.erase(id); }); }
  // Moves the clock on and is recorded; fires no timer (a sleeping window
  // thread handles none).
  void Sleep(int ms) override { Locked([&] { sleeps_.push_back(ms), now_ += ms; }); }
  int64_t NowMs() override { return Locked([&] { return now_; }); }

  // Moves the clock on by ms, firing the timers that fall due on the way in
  // order of due time (and of arming, for equal times).
  void Advance(int ms) {
    const int64_t end = NowMs() + ms;
    for (int id; (id = Locked([&] {
                    auto next = std::min_element(timers_.begin(), timers_.end(),
                                                 [](auto& a, auto& b) { return a.second < b.second; });
                    if (next == timers_.end() || next->second.first > end) return -1;
                    const int due = next->first;
                    now_ = std::max(now_, next->second.first);
                    timers_.erase(next);  // one-shot: gone before its handler runs
                    return due;
                  })) >= 0;) {
      if (target_) target_->OnTimer(id);
    }
    Locked([&] { now_ = std::max(now_, end); });
  }

  std::string Text(Surface s) const { return Locked([&] { return texts_.count(s) ? texts_.at(s) : ""; }); }
  std::vector<Message> Messages() const { return Locked([&] { return messages_; }); }
  std::vector<int> Sleeps() const { return Locked([&] { return sleeps_; }); }
  int64_t DueAt(int id) const {  // -1 when not armed
    return Locked([&] { return timers_.count(id) ? timers_.at(id).first : int64_t{-1}; });
  }

 private:
  mutable std::mutex mu_;
  TimerTarget* target_ = nullptr;
  int64_t now_ = 0;
  uint64_t seq_ = 0;
  std::map<int, std::pair<int64_t, uint64_t>> timers_;  // id -> (due, order)
  std::map<Surface, std::string> texts_;
  std::vector<Message> messages_;
  std::vector<int> sleeps_;
};

}  // namespace porten::testing
