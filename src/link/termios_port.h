// The serial port on Linux: a tty device driven through termios.
//
// Locking: the descriptor is guarded by a shared mutex. Write, WaitReadable
// and Read take it shared, Open and Close exclusive, so no I/O call can reach
// a closed descriptor or a number the kernel has handed out again. A waiting
// Open/Close passes through a turnstile that holds back new I/O, so two
// threads doing I/O in turn cannot starve it.
//
// WaitReadable polls with the shared lock held; Open and Close wait for that
// poll to end. Callers pass a few milliseconds (the receive thread does); a
// longer wait is cut into slices of at most kMaxLockedWaitMs so that even then
// an Open or Close is held up by one slice only. Write waits the same way.
#pragma once

#include <sys/eventfd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "core/port.h"
#include "core/unique_fd.h"

namespace porten {

class TermiosPort final : public Port {
 public:
  static constexpr int kMaxLockedWaitMs = 20;

  TermiosPort() = default;
  ~TermiosPort() override;
  TermiosPort(const TermiosPort&) = delete;
  TermiosPort& operator=(const TermiosPort&) = delete;

  bool Open(const std::string& path, int baud, int stopBits, int parity) override;
  void Close() override;
  bool IsOpen() const override;
  size_t Write(const uint8_t* data, size_t count, int timeoutMs) override;
  void InterruptWrites() override;
  size_t WaitReadable(int timeoutMs) override;
  void Interrupt() override;
  size_t Read(uint8_t* buffer, size_t max) override;
  bool Lost() const override;
  int Baud() const override;
  OpenError LastOpenError() const override;
  // The modem lines through TIOCMGET/TIOCMBIS/TIOCMBIC; a pty answers ENOTTY.
  bool HasModemLines() const override;
  bool SetModemLine(ModemLine line, bool asserted, std::string& why) override;
  // tcsetattr on the open descriptor, after the output has drained.
  bool ChangeRate(int baud) override;
  bool KeepLinesOnClose() override;

 private:
  std::shared_lock<std::shared_mutex> LockShared() const;
  std::unique_lock<std::shared_mutex> LockExclusive() const;
  void CloseLocked();
  size_t TakeInterrupt();
  bool Fail(OpenFailure why, std::string detail, std::string holder = {});

  mutable std::mutex turnstile_;
  mutable std::shared_mutex mu_;
  UniqueFd fd_;
  // Interrupt's doorbell: an eventfd that lives as long as the object, so a
  // waiting poll never sees it closed.
  UniqueFd wake_{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
  // InterruptWrites' doorbell, and the count of calls a Write compares
  // against the count at its start.
  UniqueFd cancel_{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
  std::atomic<uint64_t> cancels_{0};
  std::atomic<bool> lost_{false};
  int baud_ = 0;
  uint64_t generation_ = 0;  // bumped by every open and close
  OpenError error_;
};

}  // namespace porten
