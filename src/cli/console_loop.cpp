#include "cli/console_loop.h"

#include <algorithm>
#include <chrono>

namespace porten::cli {

void ConsoleLoop::Notify() {
  ++epoch_;
  cv_.notify_all();
}

namespace {
// How late a text may be shown. The receive thread sets one for every byte
// of a boot loader upload; waking the loop thread for each would cost each
// answer on the line tens of microseconds (the woken thread takes a core
// from the one that answers), so a run of texts wakes it at most this often.
constexpr int64_t kTextEvery = 20;
}  // namespace

void ConsoleLoop::SetText(Surface surface, const std::string& text) {
  std::lock_guard lock(mu_);
  tasks_.push_back([this, surface, text] {
    {
      std::lock_guard lock(mu_);
      texts_[surface] = text;
    }
    textsRan_ = true;
    if (onText_) onText_(surface, text);
  });
  // In order with every other task; a loop that is awake, or wakes by itself
  // soon (it does after it has shown texts), takes it without a wake-up.
  if (asleepUntil_ > clock_.NowMs() + kTextEvery) Notify();
}

void ConsoleLoop::ShowMessage(const std::string& text, const std::string& caption) {
  std::lock_guard lock(mu_);
  messages_.push_back({text, caption});
}

void ConsoleLoop::SetTimer(int id, int ms) {
  std::lock_guard lock(mu_);
  timers_[id] = Timer{clock_.NowMs() + (ms < 0 ? 0 : ms), seq_++};
  Notify();
}

void ConsoleLoop::KillTimer(int id) {
  std::lock_guard lock(mu_);
  timers_.erase(id);
  Notify();
}

void ConsoleLoop::Post(std::function<void()> task) {
  std::lock_guard lock(mu_);
  tasks_.push_back(std::move(task));
  Notify();
}

void ConsoleLoop::Wake() {
  std::lock_guard lock(mu_);
  Notify();
}

std::string ConsoleLoop::Text(Surface surface) const {
  std::lock_guard lock(mu_);
  auto it = texts_.find(surface);
  return it == texts_.end() ? std::string() : it->second;
}

std::vector<ConsoleMessage> ConsoleLoop::Messages() const {
  std::lock_guard lock(mu_);
  return messages_;
}

bool ConsoleLoop::Run(const std::function<bool()>& done) {
  return RunUntil(done, INT64_MAX);
}

// Runs the tasks queued at the start, not those they post: a thread that
// keeps posting cannot starve the timers. True when done() came to hold.
bool ConsoleLoop::RunQueuedTasks(const std::function<bool()>& done) {
  size_t count;
  {
    std::lock_guard lock(mu_);
    count = tasks_.size();
  }
  for (size_t i = 0; i < count; ++i) {
    std::function<void()> task;
    {
      std::lock_guard lock(mu_);
      if (tasks_.empty()) break;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
    if (done()) return true;
  }
  return false;
}

// Fires, in order of due time, the timers due now that were armed before
// this call; one re-armed with 0 ms by its own handler waits for the next
// round, after the tasks posted meanwhile, like a window timer message.
bool ConsoleLoop::FireDueTimers(const std::function<bool()>& done) {
  const int64_t now = clock_.NowMs();
  uint64_t armedBefore;
  {
    std::lock_guard lock(mu_);
    armedBefore = seq_;
  }
  for (;;) {
    int id = 0;
    {
      std::lock_guard lock(mu_);
      auto next = timers_.end();
      for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        const Timer& t = it->second;
        if (t.due > now || t.seq >= armedBefore) continue;
        if (next == timers_.end() || t.due < next->second.due ||
            (t.due == next->second.due && t.seq < next->second.seq)) {
          next = it;
        }
      }
      if (next == timers_.end()) return false;
      id = next->first;
      timers_.erase(next);  // one-shot: gone before its handler runs
    }
    if (target_) target_->OnTimer(id);
    if (done()) return true;
  }
}

bool ConsoleLoop::Finish() {
  // Deliver what was posted before the end, so the caller sees final texts.
  RunQueuedTasks([] { return false; });
  return true;
}

bool ConsoleLoop::RunUntil(const std::function<bool()>& done, int64_t deadline) {
  for (;;) {
    // The wake count is read before done() is asked: a Wake() between the
    // two then ends the wait below at once instead of being lost.
    uint64_t seen;
    {
      std::lock_guard lock(mu_);
      seen = epoch_;
    }
    if (done()) return Finish();
    if (RunQueuedTasks(done) || FireDueTimers(done)) return Finish();

    const int64_t now = clock_.NowMs();
    if (now >= deadline) return done();
    std::unique_lock lock(mu_);
    if (!tasks_.empty()) continue;
    int64_t wakeAt = deadline;
    for (const auto& [id, t] : timers_) wakeAt = std::min(wakeAt, t.due);
    if (textsRan_) wakeAt = std::min(wakeAt, now + kTextEvery);  // more may follow
    textsRan_ = false;
    auto woken = [&] { return epoch_ != seen; };
    asleepUntil_ = wakeAt;
    if (wakeAt == INT64_MAX) {
      cv_.wait(lock, woken);
    } else if (wakeAt > now) {
      cv_.wait_for(lock, std::chrono::milliseconds(wakeAt - now), woken);
    }
    asleepUntil_ = INT64_MIN;
  }
}

}  // namespace porten::cli
