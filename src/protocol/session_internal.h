// Pieces of DownloadSession shared by its source files.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "protocol/download_session.h"

namespace porten {

// Passes texts and timers straight through, but holds message boxes back
// until the download lock is released: a modal box runs the window
// thread's event loop, whose timers need that lock.
class DownloadSession::DeferredWindow final : public WindowSystem {
 public:
  explicit DeferredWindow(WindowSystem& inner) : inner_(inner) {}

  void SetText(Surface surface, const std::string& text) override { inner_.SetText(surface, text); }
  void ShowMessage(const std::string& text, const std::string& caption) override {
    pending_.emplace_back(text, caption);
  }
  void SetTimer(int id, int ms) override { inner_.SetTimer(id, ms); }
  void KillTimer(int id) override { inner_.KillTimer(id); }

  using Pending = std::vector<std::pair<std::string, std::string>>;
  Pending Take() { return std::exchange(pending_, {}); }  // under the lock
  void Show(const Pending& pending) {  // lock released
    for (auto& [text, caption] : pending) inner_.ShowMessage(text, caption);
  }

 private:
  WindowSystem& inner_;
  Pending pending_;  // guarded by the session lock
};

// The lock for a command on the window thread; shows the message boxes the
// command produced once it has been released.
struct DownloadSession::Locked {
  explicit Locked(DownloadSession& s) : session(s), lock(s.mu_) {}
  ~Locked() {
    lock.unlock();
    session.FlushMessages();
  }
  DownloadSession& session;
  std::unique_lock<std::mutex> lock;
};

}  // namespace porten
