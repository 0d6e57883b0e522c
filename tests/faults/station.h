// One dialog's worth of the tool, in-process, for the end-to-end tests: a
// download session on a real termios port with its receive thread, and the
// console loop as its window thread, which is the test's own thread. Also
// the shared bits of the fault and integrity tests: images, CPU metering.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/console_loop.h"
#include "core/texts.h"
#include "link/termios_port.h"
#include "protocol/download_session.h"

namespace porten::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  for (auto& byte : b) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(seed >> 16);
  }
  return b;
}

// What the board's memory holds after a write: whole 128-byte blocks.
inline Bytes Padded(Bytes b) {
  b.resize((b.size() + 127) / 128 * 128, 0xFF);
  return b;
}

// Process CPU time against wall time since construction: a thread that
// spins shows as a share near (or above) one core.
class CpuMeter {
 public:
  CpuMeter() : cpu0_(Cpu()), wall0_(std::chrono::steady_clock::now()) {}
  double CpuSeconds() const { return Cpu() - cpu0_; }
  double WallSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0_).count();
  }
  double Share() const { return CpuSeconds() / std::max(WallSeconds(), 1e-3); }

 private:
  static double Cpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  }
  double cpu0_;
  std::chrono::steady_clock::time_point wall0_;
};

class Station {
 public:
  explicit Station(std::string startDir = "/")
      : session_(loop_, SystemClock(), std::make_unique<TermiosPort>(), std::move(startDir)) {
    loop_.Bind(&session_);
  }
  ~Station() { session_.JoinReceiveThread(); }

  bool Open(const std::string& path) {
    if (!session_.OpenInitialPort(path)) return false;
    session_.StartReceiveThread();
    return true;
  }

  // Runs the window thread until pred holds or ms have passed. Some state
  // changes on the receive thread post nothing, so pred is also looked at
  // every few milliseconds.
  bool Until(const std::function<bool()>& pred, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    bool held = false;
    for (;;) {
      const auto slice = std::min(end, std::chrono::steady_clock::now() + std::chrono::milliseconds(2));
      if ((held = loop_.RunUntil(pred, slice)) || std::chrono::steady_clock::now() >= end) break;
    }
    // Deliver the texts posted so far, so Status() is up to date.
    loop_.RunUntil([] { return true; }, std::chrono::steady_clock::now());
    return held || pred();
  }
  // Lets the window thread run for ms, whatever happens.
  void Idle(int ms) {
    Until([] { return false; }, ms);
  }

  // The two loads; "" when they went through, else the message shown.
  std::string LoadBootLoader(const std::string& path) { return Load([&] { session_.OnCpuSelect(path); }); }
  std::string LoadImage(const std::string& path) { return Load([&] { session_.OnBrowse(path); }); }

  // Presses Write and runs until the transfer has ended; false when it
  // still runs after ms.
  bool Download(int ms) {
    session_.OnWrite();
    return Until([&] { return State() == STATE_IDLE; }, ms);
  }

  int32_t State() { return session_.Snapshot().state; }
  std::string Status() const { return loop_.Text(Surface::kStatus); }
  std::string Caption() const { return loop_.Text(Surface::kWriteCaption); }
  DownloadSession& session() { return session_; }
  cli::ConsoleLoop& loop() { return loop_; }

 private:
  std::string Load(const std::function<void()>& start) {
    const size_t before = loop_.Messages().size();
    start();
    Until(
        [&] {
          auto v = session_.Snapshot();
          return v.ready && !v.loading;
        },
        30000);
    auto messages = loop_.Messages();
    return messages.size() > before ? messages.back().text : std::string();
  }

  cli::ConsoleLoop loop_;
  DownloadSession session_;
};

}  // namespace porten::testing
