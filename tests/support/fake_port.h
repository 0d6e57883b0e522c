// A scripted serial port for unit tests: it records every open, close and
// write in order, and hands out bytes the test feeds in.
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
  int baud = 0;                // kOpen
  std::vector<uint8_t> bytes;  // kWrite
  bool operator==(const PortEvent&) const = default;
};

class FakePort final : public Port {
 public:
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

  // Script.
  void Feed(const std::vector<uint8_t>& bytes);  // bytes from the target
  void FailOpens(int count, OpenFailure why = OpenFailure::kNotFound);
  void ShortWriteAfter(size_t bytes);  // the write that crosses this total comes up short
  void ClearShortWrite();

  // Inspection.
  std::vector<PortEvent> Events() const;
  std::vector<uint8_t> Written() const;  // all bytes written, in order
  std::vector<uint8_t> TakeWritten();    // bytes written since the last take
  std::vector<std::vector<uint8_t>> Writes() const;  // one entry per Write call
  std::string LastPath() const;
  int LastTimeout() const;
  void ClearEvents();

 private:
  mutable std::mutex mu_;
  std::condition_variable fed_;
  bool interrupted_ = false;
  bool open_ = false;
  int baud_ = 0;
  std::string path_;
  std::deque<uint8_t> input_;
  std::vector<PortEvent> events_;
  size_t taken_ = 0;
  size_t totalWritten_ = 0;
  int failOpens_ = 0;
  OpenFailure failure_ = OpenFailure::kNone;
  OpenFailure failWith_ = OpenFailure::kNotFound;
  size_t shortAfter_ = SIZE_MAX;
  int lastTimeout_ = 0;
};

}  // namespace porten::testing
