#include "app_test_util.h"

#include <QApplication>

namespace porten::app::testing {

namespace {

// One QApplication for the binary, made when the tests run (not when ctest
// lists them), on the offscreen platform unless the caller chose one.
class QtEnvironment final : public ::testing::Environment {
 public:
  void SetUp() override {
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

void WriteFile(const std::string& path, const std::string& text) {
  ASSERT_TRUE(porten::testing::WriteTextFile(path, text)) << path;
}

}  // namespace porten::app::testing
