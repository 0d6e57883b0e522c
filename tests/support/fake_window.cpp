#include "support/fake_window.h"

namespace porten::testing {

void FakeWindow::SetText(Surface surface, const std::string& text) {
  std::lock_guard lock(mu_);
  texts_[surface].push_back(text);
}

void FakeWindow::ShowMessage(const std::string& text, const std::string& caption) {
  std::lock_guard lock(mu_);
  messages_.push_back({text, caption});
}

void FakeWindow::SetTimer(int id, int ms) {
  std::lock_guard lock(mu_);
  timers_[id] = {now_ + ms, seq_++};
}

void FakeWindow::KillTimer(int id) {
  std::lock_guard lock(mu_);
  timers_.erase(id);
}

void FakeWindow::Sleep(int ms) {
  std::lock_guard lock(mu_);
  sleeps_.push_back(ms);
  now_ += ms;
}

int64_t FakeWindow::NowMs() {
  std::lock_guard lock(mu_);
  return now_;
}

bool FakeWindow::FireNext() {
  int id;
  {
    std::lock_guard lock(mu_);
    if (timers_.empty()) return false;
    auto next = timers_.begin();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (it->second < next->second) next = it;
    }
    id = next->first;
    if (next->second.first > now_) now_ = next->second.first;
    // Hosts deliver a timer until it is killed; the handlers kill it first
    // thing, as one-shot use requires. Remove it here so a handler that
    // forgets cannot loop the test forever.
    timers_.erase(next);
  }
  if (target_) target_->OnTimer(id);
  return true;
}

void FakeWindow::Advance(int ms) {
  int64_t end;
  {
    std::lock_guard lock(mu_);
    end = now_ + ms;
  }
  for (;;) {
    {
      std::lock_guard lock(mu_);
      bool due = false;
      for (auto& [id, when] : timers_) {
        if (when.first <= end) due = true;
      }
      if (!due) {
        if (now_ < end) now_ = end;
        return;
      }
    }
    FireNext();
  }
}

std::string FakeWindow::Text(Surface surface) const {
  std::lock_guard lock(mu_);
  auto it = texts_.find(surface);
  return it == texts_.end() || it->second.empty() ? std::string() : it->second.back();
}

std::vector<std::string> FakeWindow::History(Surface surface) const {
  std::lock_guard lock(mu_);
  auto it = texts_.find(surface);
  return it == texts_.end() ? std::vector<std::string>() : it->second;
}

std::vector<Message> FakeWindow::Messages() const {
  std::lock_guard lock(mu_);
  return messages_;
}

std::vector<int> FakeWindow::Sleeps() const {
  std::lock_guard lock(mu_);
  return sleeps_;
}

bool FakeWindow::Armed(int id) const {
  std::lock_guard lock(mu_);
  return timers_.count(id) != 0;
}

int64_t FakeWindow::DueAt(int id) const {
  std::lock_guard lock(mu_);
  auto it = timers_.find(id);
  return it == timers_.end() ? -1 : it->second.first;
}

void FakeWindow::ClearHistory() {
  std::lock_guard lock(mu_);
  texts_.clear();
  messages_.clear();
  sleeps_.clear();
}

}  // namespace porten::testing
