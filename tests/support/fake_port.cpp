#include "support/fake_port.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace porten::testing {

bool FakePort::Open(const std::string& path, int baud, int, int) {
  std::lock_guard lock(mu_);
  path_ = path;
  if (failOpens_ > 0) {
    --failOpens_;
    open_ = false;
    baud_ = 0;
    error_ = OpenError{failWith_, "scripted failure", ""};
    return false;
  }
  open_ = true;
  lost_ = false;
  baud_ = baud;
  error_ = OpenError{};
  input_.clear();  // an open discards what was received before
  events_.push_back({PortEvent::kOpen, baud, {}});
  return true;
}

void FakePort::Close() {
  std::lock_guard lock(mu_);
  if (!open_) return;
  open_ = false;
  baud_ = 0;
  events_.push_back({PortEvent::kClose, 0, {}});
}

bool FakePort::IsOpen() const {
  std::lock_guard lock(mu_);
  return open_;
}

size_t FakePort::Write(const uint8_t* data, size_t count, int) {
  std::unique_lock lock(mu_);
  if (!open_) return 0;
  if (stalled_) {
    const uint64_t interrupts = writeInterrupts_;
    writeBlocked_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !stalled_ || writeInterrupts_ != interrupts; });
    writeBlocked_ = false;
    changed_.notify_all();
    if (writeInterrupts_ != interrupts) return 0;
  }
  size_t n = count;
  if (totalWritten_ + count > shortAfter_) {
    n = shortAfter_ > totalWritten_ ? shortAfter_ - totalWritten_ : 0;
  }
  events_.push_back({PortEvent::kWrite, baud_, std::vector<uint8_t>(data, data + n)});
  totalWritten_ += n;
  return n;
}

void FakePort::InterruptWrites() {
  std::lock_guard lock(mu_);
  ++writeInterrupts_;
  changed_.notify_all();
}

size_t FakePort::WaitReadable(int timeoutMs) {
  // Like the real port: nothing waiting means a full wait, never a spin.
  std::unique_lock lock(mu_);
  changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                    [&] { return interrupted_ || (open_ && !input_.empty()); });
  if (std::exchange(interrupted_, false)) return 0;
  return open_ ? input_.size() : 0;
}

void FakePort::Interrupt() {
  std::lock_guard lock(mu_);
  interrupted_ = true;
  changed_.notify_all();
}

size_t FakePort::Read(uint8_t* buffer, size_t max) {
  std::lock_guard lock(mu_);
  if (!open_) return 0;
  size_t n = std::min(max, input_.size());
  std::copy_n(input_.begin(), n, buffer);
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

bool FakePort::Lost() const {
  std::lock_guard lock(mu_);
  return lost_;
}

int FakePort::Baud() const {
  std::lock_guard lock(mu_);
  return baud_;
}

OpenError FakePort::LastOpenError() const {
  std::lock_guard lock(mu_);
  return error_;
}

void FakePort::Feed(const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(mu_);
  input_.insert(input_.end(), bytes.begin(), bytes.end());
  changed_.notify_all();
}

void FakePort::FailOpens(int count, OpenFailure why) {
  std::lock_guard lock(mu_);
  failOpens_ = count;
  failWith_ = why;
}

void FakePort::ShortWriteAfter(size_t bytes) {
  std::lock_guard lock(mu_);
  shortAfter_ = totalWritten_ + bytes;
}

void FakePort::SetLost(bool lost) {
  std::lock_guard lock(mu_);
  lost_ = lost;
}

void FakePort::StallWrites() {
  std::lock_guard lock(mu_);
  stalled_ = true;
}

void FakePort::ReleaseWrites() {
  std::lock_guard lock(mu_);
  stalled_ = false;
  changed_.notify_all();
}

void FakePort::WaitForBlockedWrite() {
  std::unique_lock lock(mu_);
  changed_.wait(lock, [&] { return writeBlocked_; });
}

void FakePort::WaitForNoBlockedWrite() {
  std::unique_lock lock(mu_);
  changed_.wait(lock, [&] { return !writeBlocked_; });
}

std::vector<PortEvent> FakePort::Events() const {
  std::lock_guard lock(mu_);
  return events_;
}

std::vector<uint8_t> FakePort::Written() const {
  std::lock_guard lock(mu_);
  std::vector<uint8_t> out;
  for (auto& e : events_) {
    if (e.kind == PortEvent::kWrite) out.insert(out.end(), e.bytes.begin(), e.bytes.end());
  }
  return out;
}

void FakePort::ClearEvents() {
  std::lock_guard lock(mu_);
  events_.clear();
}

std::string FakePort::LastPath() const {
  std::lock_guard lock(mu_);
  return path_;
}

}  // namespace porten::testing
