// A scripted serial port for unit tests: it records every open, close and
// write in order, hands out bytes the test feeds in, and can hold a write
// the way a stalled line does.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "core/port.h"

namespace porten::testing {

struct PortEvent {
  enum Kind { kOpen, kClose, kWrite } kind;
  int baud = 0;                // the rate at the time
  std::vector<uint8_t> bytes;  // kWrite
  bool operator==(const PortEvent&) const = default;
};

class FakePort final : public Port {
 public:
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

  // Script.
  void Feed(const std::vector<uint8_t>& bytes);  // bytes from the target
  void FailOpens(int count, OpenFailure why = OpenFailure::kNotFound);
  void ShortWriteAfter(size_t bytes);  // the write that crosses this total comes up short
  void SetLost(bool lost);
  // Writes from now on block, as on a stalled line, until InterruptWrites
  // or ReleaseWrites; WaitForBlockedWrite returns once one is blocked.
  void StallWrites();
  void ReleaseWrites();
  void WaitForBlockedWrite();
  void WaitForNoBlockedWrite();

  // Inspection.
  std::vector<PortEvent> Events() const;
  std::vector<uint8_t> Written() const;  // all bytes written, in order
  std::string LastPath() const;
  void ClearEvents();

 private:
  mutable std::mutex mu_;
  std::condition_variable changed_;
  bool interrupted_ = false;
  bool open_ = false;
  bool lost_ = false;
  int baud_ = 0;
  std::string path_;
  std::deque<uint8_t> input_;
  std::vector<PortEvent> events_;
  size_t totalWritten_ = 0;
  int failOpens_ = 0;
  OpenError error_;
  OpenFailure failWith_ = OpenFailure::kNotFound;
  size_t shortAfter_ = SIZE_MAX;
  bool stalled_ = false;
  bool writeBlocked_ = false;
  uint64_t writeInterrupts_ = 0;
};

}  // namespace porten::testing
