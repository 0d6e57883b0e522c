// Helpers for the dialog tests: a QApplication for the whole binary, S-record
// files, recorded message boxes and a fake port the test keeps hold of.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/message_box.h"
#include "core/port.h"
#include "support/fake_port.h"
#include "support/fake_window.h"

namespace porten::app::testing {

using porten::testing::FakePort;
using porten::testing::Message;

// An S-record file of bytes at base.
void WriteSRecordFile(const std::string& path, uint32_t base, const std::vector<uint8_t>& bytes);
void WriteFile(const std::string& path, const std::string& text);
// Pseudo-random bytes, a different run for each seed.
std::vector<uint8_t> Pattern(size_t size, uint8_t seed);

// Records every message box for the life of the object.
class MessageRecorder {
 public:
  MessageRecorder();
  ~MessageRecorder();
  std::vector<Message> messages;

 private:
  MessageHook previous_;
};

// A port that forwards to a FakePort the test keeps, so the test can still
// look at it after the session that owned the port is gone.
class SharedPort final : public Port {
 public:
  explicit SharedPort(std::shared_ptr<FakePort> fake) : fake_(std::move(fake)) {}
  bool Open(const std::string& path, int baud, int stopBits, int parity) override {
    return fake_->Open(path, baud, stopBits, parity);
  }
  void Close() override { fake_->Close(); }
  bool IsOpen() const override { return fake_->IsOpen(); }
  size_t Write(const uint8_t* data, size_t count, int timeoutMs) override {
    return fake_->Write(data, count, timeoutMs);
  }
  void InterruptWrites() override { fake_->InterruptWrites(); }
  size_t WaitReadable(int timeoutMs) override { return fake_->WaitReadable(timeoutMs); }
  void Interrupt() override { fake_->Interrupt(); }
  size_t Read(uint8_t* buffer, size_t max) override { return fake_->Read(buffer, max); }
  bool Lost() const override { return fake_->Lost(); }
  int Baud() const override { return fake_->Baud(); }
  OpenError LastOpenError() const override { return fake_->LastOpenError(); }

 private:
  std::shared_ptr<FakePort> fake_;
};

template <typename T = QAbstractButton>
T* Find(QWidget* dialog, const char* name) {
  T* widget = dialog->findChild<T*>(QString::fromLatin1(name));
  EXPECT_NE(widget, nullptr) << name;
  return widget;
}

inline std::string Std(const QString& s) { return s.toStdString(); }

}  // namespace porten::app::testing
