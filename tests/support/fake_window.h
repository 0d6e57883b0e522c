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

  void SetText(Surface surface, const std::string& text) override;
  void ShowMessage(const std::string& text, const std::string& caption) override;
  void SetTimer(int id, int ms) override;
  void KillTimer(int id) override;

  // Clock: Sleep moves the manual clock on and is recorded; it fires no timer
  // (a sleeping window thread handles none).
  void Sleep(int ms) override;
  int64_t NowMs() override;

  // Moves the clock on by ms, firing every timer that falls due on the way,
  // in order of due time, through the bound target.
  void Advance(int ms);
  // Fires the earliest armed timer (moving the clock to it); false if none.
  bool FireNext();

  std::string Text(Surface surface) const;
  std::vector<std::string> History(Surface surface) const;
  std::vector<Message> Messages() const;
  std::vector<int> Sleeps() const;
  bool Armed(int id) const;
  int64_t DueAt(int id) const;  // -1 when not armed
  void ClearHistory();

 private:
  mutable std::mutex mu_;
  TimerTarget* target_ = nullptr;
  int64_t now_ = 0;
  uint64_t seq_ = 0;
  std::map<int, std::pair<int64_t, uint64_t>> timers_;  // id -> (due, order)
  std::map<Surface, std::vector<std::string>> texts_;
  std::vector<Message> messages_;
  std::vector<int> sleeps_;
};

}  // namespace porten::testing
