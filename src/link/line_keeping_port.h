// A port that keeps DTR and RTS where a line sequence put them. Linux raises
// both lines at every open and HUPCL drops them at every close, so the close
// and reopen of a rate change would pulse the reset of a fixture that wires
// RTS (or DTR) to it, in the middle of a write. This port opens the device
// once, clears HUPCL, and turns a close followed by an open of the same path
// into a rate change in place (input received before discarded, as an open
// does). The download runner is not told: it closes, pauses and opens as
// ever, and its pauses stay.
//
// Between such a close and the next open the port counts as closed: writes
// and reads do nothing and a wait waits its full time. The device itself is
// let go when this object is destroyed or another path is opened; the lines
// then stay as they were.
//
// Threads: as any Port. The open flag is atomic, so IsOpen and the
// interrupts may come from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/port.h"

namespace porten {

class LineKeepingPort final : public Port {
 public:
  explicit LineKeepingPort(std::unique_ptr<Port> device) : device_(std::move(device)) {}
  ~LineKeepingPort() override { device_->Close(); }  // the lines stay: HUPCL is cleared

  bool Open(const std::string& path, int baud, int stopBits, int parity) override;
  void Close() override { open_ = false; }
  bool IsOpen() const override { return open_ && device_->IsOpen(); }
  size_t Write(const uint8_t* data, size_t count, int timeoutMs) override;
  void InterruptWrites() override { device_->InterruptWrites(); }
  size_t WaitReadable(int timeoutMs) override;
  void Interrupt() override;
  size_t Read(uint8_t* buffer, size_t max) override;
  bool Lost() const override { return device_->Lost(); }
  int Baud() const override { return open_ ? device_->Baud() : 0; }
  OpenError LastOpenError() const override;
  bool HasModemLines() const override { return open_ && device_->HasModemLines(); }
  bool SetModemLine(ModemLine line, bool asserted, std::string& why) override;
  bool ChangeRate(int baud) override { return open_ && device_->ChangeRate(baud); }
  bool KeepLinesOnClose() override { return open_; }  // always, by construction

 private:
  void SetError(std::optional<OpenError> error);

  std::unique_ptr<Port> device_;
  std::atomic<bool> open_{false};
  // Set up by the open that reached the device (link thread only).
  std::string path_;
  int stopBits_ = 0, parity_ = 0;
  // Guards error_ and the doorbell.
  mutable std::mutex mu_;
  std::optional<OpenError> error_;  // why the last open failed here, not in the device
  // The doorbell of a wait while closed.
  std::condition_variable rung_;
  bool doorbell_ = false;
};

}  // namespace porten
