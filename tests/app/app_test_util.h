// Helpers for the dialog tests: a QApplication for the whole binary, files,
// recorded message boxes and controls found by their template names; and the
// headers every one of them needs.
#pragma once

#include <gtest/gtest.h>

#include <QTest>
#include <QtWidgets>

#include "app/download_app.h"
#include "app/message_box.h"
#include "app/remembered.h"
#include "core/texts.h"
#include "protocol/download_session.h"
#include "support/fakes.h"
#include "support/image_writer.h"

namespace porten::app::testing {

using namespace porten::testing;  // the fakes and the image writers
using Names = std::vector<std::string>;

// One QApplication for the binary, made when the tests run (not when ctest
// lists them), on the offscreen platform unless the caller chose one.
struct QtEnvironment final : ::testing::Environment {
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char* argv[] = {const_cast<char*>("test_app"), nullptr};
    app = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { app.reset(); }
  std::unique_ptr<QApplication> app;
};
inline ::testing::Environment* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

inline void WriteFile(const std::string& path, const std::string& text) {
  ASSERT_TRUE(WriteTextFile(path, text)) << path;
}

// Records every message box for the life of the object.
struct MessageRecorder {
  std::vector<Message> messages;
  MessageHook previous = SetMessageHook([this](const std::string& text, const std::string& caption) {
    messages.push_back({text, caption});
  });
  ~MessageRecorder() { SetMessageHook(std::move(previous)); }
};

template <typename T = QAbstractButton>
T* Find(QWidget* dialog, const char* name) {
  T* widget = dialog->findChild<T*>(QString::fromLatin1(name));
  EXPECT_NE(widget, nullptr) << name;
  return widget;
}

inline std::string Std(const QString& s) { return s.toStdString(); }
// A label's, an edit field's or a button's text.
inline std::string Text(QWidget* d, const char* id) { return Std(Find<QWidget>(d, id)->property("text").toString()); }

// A session over a fake port, starting in a directory of its own that also
// holds its settings.
struct Rig {
  QTemporaryDir dir;
  std::unique_ptr<QSettings> settings = OpenSettings(dir.filePath(QStringLiteral("porten.conf")));
  QtWindowSystem window;  // before the session, which holds on to it
  FakePort* fake = new FakePort;
  DownloadSession session{window, SystemClock(), std::unique_ptr<Port>(fake), Std(dir.path())};
  std::string PathOf(const char* name) const { return Std(dir.filePath(QString::fromLatin1(name))); }
};

}  // namespace porten::app::testing
