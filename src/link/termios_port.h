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

#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "core/port.h"

namespace porten {

// Owns one file descriptor. The standard library has no such owner, and a
// plain int would leak on every early return of the open sequence.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

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
  size_t WaitReadable(int timeoutMs) override;
  void Interrupt() override;
  size_t Read(uint8_t* buffer, size_t max) override;
  int Baud() const override;
  OpenFailure LastFailure() const override;
  std::string LastError() const override;

 private:
  std::shared_lock<std::shared_mutex> LockShared() const;
  std::unique_lock<std::shared_mutex> LockExclusive() const;
  void CloseLocked();
  size_t TakeInterrupt();
  bool Fail(OpenFailure why, std::string detail);

  mutable std::mutex turnstile_;
  mutable std::shared_mutex mu_;
  UniqueFd fd_;
  // Interrupt's doorbell: an eventfd that lives as long as the object, so a
  // waiting poll never sees it closed.
  UniqueFd wake_{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
  int baud_ = 0;
  uint64_t generation_ = 0;  // bumped by every open and close
  OpenFailure failure_ = OpenFailure::kNone;
  std::string error_;
};

// Which processes hold the device at path open, as "PID (name)" (several
// joined by ", "); empty when none is found. A flock holder named in
// procRoot/locks comes first; otherwise procRoot/*/fd is searched for the
// device, other processes before our own.
std::string FindPortHolder(const std::string& path, const std::string& procRoot = "/proc");

// The failure class of an errno from open(2) of a serial device.
OpenFailure ClassifyOpenErrno(int err);

}  // namespace porten
