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
    failure_ = failWith_;
    return false;
  }
  open_ = true;
  baud_ = baud;
  failure_ = OpenFailure::kNone;
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

size_t FakePort::Write(const uint8_t* data, size_t count, int timeoutMs) {
  std::lock_guard lock(mu_);
  lastTimeout_ = timeoutMs;
  if (!open_) return 0;
  size_t n = count;
  if (totalWritten_ + count > shortAfter_) {
    n = shortAfter_ > totalWritten_ ? shortAfter_ - totalWritten_ : 0;
  }
  events_.push_back({PortEvent::kWrite, baud_, std::vector<uint8_t>(data, data + n)});
  totalWritten_ += n;
  return n;
}

size_t FakePort::WaitReadable(int timeoutMs) {
  // Like the real port: nothing waiting means a full wait, never a spin.
  std::unique_lock lock(mu_);
  fed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                [&] { return interrupted_ || (open_ && !input_.empty()); });
  if (std::exchange(interrupted_, false)) return 0;
  return open_ ? input_.size() : 0;
}

void FakePort::Interrupt() {
  std::lock_guard lock(mu_);
  interrupted_ = true;
  fed_.notify_all();
}

size_t FakePort::Read(uint8_t* buffer, size_t max) {
  std::lock_guard lock(mu_);
  if (!open_) return 0;
  size_t n = std::min(max, input_.size());
  std::copy_n(input_.begin(), n, buffer);
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

int FakePort::Baud() const {
  std::lock_guard lock(mu_);
  return baud_;
}

OpenFailure FakePort::LastFailure() const {
  std::lock_guard lock(mu_);
  return failure_;
}

std::string FakePort::LastError() const {
  return LastFailure() == OpenFailure::kNone ? "" : "scripted failure";
}

void FakePort::Feed(const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(mu_);
  input_.insert(input_.end(), bytes.begin(), bytes.end());
  fed_.notify_all();
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

void FakePort::ClearShortWrite() {
  std::lock_guard lock(mu_);
  shortAfter_ = SIZE_MAX;
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

std::vector<uint8_t> FakePort::TakeWritten() {
  auto all = Written();
  std::lock_guard lock(mu_);
  std::vector<uint8_t> out(all.begin() + static_cast<std::ptrdiff_t>(std::min(taken_, all.size())), all.end());
  taken_ = all.size();
  return out;
}

std::vector<std::vector<uint8_t>> FakePort::Writes() const {
  std::lock_guard lock(mu_);
  std::vector<std::vector<uint8_t>> out;
  for (auto& e : events_) {
    if (e.kind == PortEvent::kWrite) out.push_back(e.bytes);
  }
  return out;
}

std::string FakePort::LastPath() const {
  std::lock_guard lock(mu_);
  return path_;
}

int FakePort::LastTimeout() const {
  std::lock_guard lock(mu_);
  return lastTimeout_;
}

void FakePort::ClearEvents() {
  std::lock_guard lock(mu_);
  events_.clear();
  taken_ = 0;
}

}  // namespace porten::testing
