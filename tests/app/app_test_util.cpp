#include "app_test_util.h"

#include <QApplication>

#include "support/image_writer.h"

namespace porten::app::testing {

namespace {

// One QApplication for the binary, made when the tests run (not when ctest
// lists them).
class QtEnvironment final : public ::testing::Environment {
 public:
  void SetUp() override {
    // No display needed, whoever runs the binary.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
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

}  // namespace

void WriteSRecordFile(const std::string& path, uint32_t base, const std::vector<uint8_t>& bytes) {
  ASSERT_TRUE(porten::testing::WriteTextFile(path, porten::testing::MakeSRecords({{base, bytes}}))) << path;
}

void WriteFile(const std::string& path, const std::string& text) {
  ASSERT_TRUE(porten::testing::WriteTextFile(path, text)) << path;
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
