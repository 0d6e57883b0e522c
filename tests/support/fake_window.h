// A recording window system with a manual clock: texts, message boxes and
// timers are recorded, and time only moves when a test says so.
#pragma once

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/window_system.h"

namespace porten::testing {

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
