// The window system of the command line: a small event loop on the thread
// that calls Run (the "window thread"). Other threads post tasks, texts and
// timer requests to it and never wait for it; timers fire one at a time on
// the loop thread through the bound TimerTarget. Time is the given clock's,
// in milliseconds: tests run the loop on a manual one.
#pragma once

#include <climits>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/window_system.h"

namespace porten::cli {

struct ConsoleMessage {
  std::string text;
  std::string caption;
  bool operator==(const ConsoleMessage&) const = default;
};

class ConsoleLoop final : public WindowSystem {
 public:
  explicit ConsoleLoop(Clock& clock = SystemClock()) : clock_(clock) {}
  using TextCallback = std::function<void(Surface, const std::string&)>;

  // Set these before Run or from the loop thread; they are called on the
  // loop thread only.
  void Bind(TimerTarget* target) { target_ = target; }
  void OnText(TextCallback callback) { onText_ = std::move(callback); }

  // Any thread; the text reaches the callback on the loop thread, in the
  // order of the calls.
  void SetText(Surface surface, const std::string& text) override;
  // Recorded: the command line prints what it needs of them.
  void ShowMessage(const std::string& text, const std::string& caption) override;
  // Any thread. One-shot; arming an armed timer restarts it.
  void SetTimer(int id, int ms) override;
  void KillTimer(int id) override;

  // Any thread: runs task on the loop thread.
  void Post(std::function<void()> task);
  // Any thread: makes a running loop test its predicate again (for state
  // that another thread changed without posting).
  void Wake();

  int64_t NowMs() const { return clock_.NowMs(); }

  // Runs the loop on the calling thread until done() holds or the deadline
  // (NowMs) passes. done() is tested on the loop thread before and
  // after each task and timer and on every wake. Before returning because
  // done() holds, the tasks already queued (texts, typically) are run. The
  // result is done()'s last value.
  bool Run(const std::function<bool()>& done);
  bool RunUntil(const std::function<bool()>& done, int64_t deadlineMs);

  // Last text delivered to each surface ("" before any); any thread.
  std::string Text(Surface surface) const;
  std::vector<ConsoleMessage> Messages() const;

 private:
  struct Timer {
    int64_t due;
    uint64_t seq;
  };

  void Notify();  // mu_ held
  bool RunQueuedTasks(const std::function<bool()>& done);
  bool FireDueTimers(const std::function<bool()>& done);
  bool Finish();

  Clock& clock_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  std::map<int, Timer> timers_;
  uint64_t seq_ = 0;
  uint64_t epoch_ = 0;  // bumped by everything that should wake the loop
  // When the waiting loop wakes by itself; INT64_MIN while it is not waiting.
  int64_t asleepUntil_ = INT64_MIN;
  std::map<Surface, std::string> texts_;
  std::vector<ConsoleMessage> messages_;

  // Loop thread only.
  TimerTarget* target_ = nullptr;
  TextCallback onText_;
  bool textsRan_ = false;  // since the loop last went to sleep
};

}  // namespace porten::cli
