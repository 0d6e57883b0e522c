#include "link/line_keeping_port.h"

#include <chrono>

namespace porten {

bool LineKeepingPort::Open(const std::string& path, int baud, int stopBits, int parity) {
  open_ = false;
  SetError(std::nullopt);
  const bool sameLine = device_->IsOpen() && path == path_ && stopBits == stopBits_ &&
                        parity == parity_;
  if (sameLine) {
    if (device_->ChangeRate(baud)) return open_ = true;
    // Reopening for real would pulse the lines this port is here to keep.
    device_->Close();
    SetError(OpenError{OpenFailure::kOther,
                       "the device does not change to " + std::to_string(baud) + " bit/s in place",
                       ""});
    return false;
  }
  if (!device_->Open(path, baud, stopBits, parity)) return false;
  if (!device_->KeepLinesOnClose()) {
    device_->Close();
    SetError(OpenError{OpenFailure::kOther, "the device does not keep DTR and RTS over a close", ""});
    return false;
  }
  path_ = path;
  stopBits_ = stopBits;
  parity_ = parity;
  return open_ = true;
}

size_t LineKeepingPort::Write(const uint8_t* data, size_t count, int timeoutMs) {
  return open_ ? device_->Write(data, count, timeoutMs) : 0;
}

size_t LineKeepingPort::WaitReadable(int timeoutMs) {
  if (open_) return device_->WaitReadable(timeoutMs);
  // Closed: nothing waiting, after the full wait, unless the doorbell rings.
  std::unique_lock lock(mu_);
  rung_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return doorbell_; });
  doorbell_ = false;
  return 0;
}

void LineKeepingPort::Interrupt() {
  {
    std::lock_guard lock(mu_);
    doorbell_ = true;
  }
  rung_.notify_all();
  device_->Interrupt();
}

size_t LineKeepingPort::Read(uint8_t* buffer, size_t max) {
  return open_ ? device_->Read(buffer, max) : 0;
}

void LineKeepingPort::SetError(std::optional<OpenError> error) {
  std::lock_guard lock(mu_);
  error_ = std::move(error);
}

OpenError LineKeepingPort::LastOpenError() const {
  {
    std::lock_guard lock(mu_);
    if (error_) return *error_;
  }
  return device_->LastOpenError();
}

bool LineKeepingPort::SetModemLine(ModemLine line, bool asserted, std::string& why) {
  if (!open_) {
    why = "the port is closed";
    return false;
  }
  return device_->SetModemLine(line, asserted, why);
}

}  // namespace porten
