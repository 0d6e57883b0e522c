// A recording window system with a manual clock: texts, message boxes and
// timers are recorded, and time only moves when a test says so.
#pragma once

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
 public:
  void Bind(TimerTarget* target) { target_ = target; }

  void SetText(Surface surface, const std::string& text) override {
    std::lock_guard lock(mu_);
    texts_[surface] = text;
  }
  void ShowMessage(const std::string& text, const std::string& caption) override {
    std::lock_guard lock(mu_);
    messages_.push_back({text, caption});
  }
  void SetTimer(int id, int ms) override {
    std::lock_guard lock(mu_);
    timers_[id] = {now_ + ms, seq_++};
  }
  void KillTimer(int id) override {
    std::lock_guard lock(mu_);
    timers_.erase(id);
  }
  // Moves the clock on and is recorded; fires no timer (a sleeping window
  // thread handles none).
  void Sleep(int ms) override {
    std::lock_guard lock(mu_);
    sleeps_.push_back(ms);
    now_ += ms;
  }
  int64_t NowMs() override {
    std::lock_guard lock(mu_);
    return now_;
  }

  // Moves the clock on by ms, firing the timers that fall due on the way in
  // order of due time (and of arming, for equal times).
  void Advance(int ms) {
    std::unique_lock lock(mu_);
    const int64_t end = now_ + ms;
    for (;;) {
      auto next = timers_.end();
      for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->second.first <= end && (next == timers_.end() || it->second < next->second)) next = it;
      }
      if (next == timers_.end()) break;
      const int id = next->first;
      now_ = std::max(now_, next->second.first);
      timers_.erase(next);  // one-shot: gone before its handler runs
      lock.unlock();
      if (target_) target_->OnTimer(id);
      lock.lock();
    }
    now_ = std::max(now_, end);
  }

  std::string Text(Surface surface) const {
    std::lock_guard lock(mu_);
    auto it = texts_.find(surface);
    return it == texts_.end() ? std::string() : it->second;
  }
  std::vector<Message> Messages() const {
    std::lock_guard lock(mu_);
    return messages_;
  }
  std::vector<int> Sleeps() const {
    std::lock_guard lock(mu_);
    return sleeps_;
  }
  int64_t DueAt(int id) const {  // -1 when not armed
    std::lock_guard lock(mu_);
    auto it = timers_.find(id);
    return it == timers_.end() ? -1 : it->second.first;
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
