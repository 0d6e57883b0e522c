#include "app_test_util.h"

#include <QApplication>
#include <cstdio>
#include <fstream>

namespace porten::app::testing {

namespace {

// One QApplication for the binary, made when the tests run (not when ctest
// lists them).
class QtEnvironment final : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

std::string Record(char type, uint32_t address, int addressBytes, const uint8_t* data, size_t n) {
  std::vector<uint8_t> body;
  body.push_back(static_cast<uint8_t>(addressBytes + n + 1));
  for (int i = addressBytes - 1; i >= 0; --i) body.push_back(static_cast<uint8_t>(address >> (8 * i)));
  body.insert(body.end(), data, data + n);
  unsigned sum = 0;
  for (uint8_t b : body) sum += b;
  body.push_back(static_cast<uint8_t>(~sum));
  std::string line = {'S', type};
  char hex[3];
  for (uint8_t b : body) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    line += hex;
  }
  return line + "\r\n";
}

}  // namespace

std::string SRecordText(uint32_t base, const std::vector<uint8_t>& bytes) {
  const bool wide = base + bytes.size() > 0x10000;
  std::string text = Record('0', 0, 2, reinterpret_cast<const uint8_t*>("porten"), 6);
  for (size_t off = 0; off < bytes.size(); off += 16) {
    const size_t n = std::min<size_t>(16, bytes.size() - off);
    text += Record(wide ? '3' : '1', base + static_cast<uint32_t>(off), wide ? 4 : 2, &bytes[off], n);
  }
  text += wide ? Record('7', base, 4, nullptr, 0) : Record('9', base, 2, nullptr, 0);
  return text;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

MessageRecorder::MessageRecorder() {
  previous_ = SetMessageHook([this](const std::string& text, const std::string& caption) {
    messages.push_back({text, caption});
  });
}

MessageRecorder::~MessageRecorder() { SetMessageHook(std::move(previous_)); }

}  // namespace porten::app::testing
