// The main dialog over a scripted port: enabling, the commands refused while
// busy, Enter, the remembered choices and the ways out.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "app/download_dlg.h"
#include "app/qt_window_system.h"
#include "app/remembered.h"
#include "app_test_util.h"
#include "core/texts.h"
#include "protocol/download_session.h"

namespace porten::app::testing {
namespace {

constexpr int kWaitMs = 20000;
using Names = std::vector<std::string>;
const Names kImageSide = {"IDC_FILE_PATH", "IDC_BROWSE", "IDC_WRITE"};

class MainDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto port = std::make_unique<FakePort>();
    fake_ = port.get();
    session_ = std::make_unique<DownloadSession>(window_, SystemClock(), std::move(port), Std(dir_.path()));
    window_.Bind(session_.get());
    ASSERT_TRUE(session_->OpenInitialPort("/dev/ttyFAKE0"));
    WriteSRecordFile(PathOf("A.MOT"), 0x0400, Pattern(64, 1));
    WriteSRecordFile(PathOf("B.MOT"), 0x0400, Pattern(3000, 1));  // loads in several batches
    WriteSRecordFile(PathOf("image.mot"), 0x1000, Pattern(300, 2));
  }
  void TearDown() override {
    dialog_.reset();
    window_.Bind(nullptr);
  }

  std::string PathOf(const char* name) const { return Std(dir_.filePath(QString::fromLatin1(name))); }

  void OpenDialog() {
    dialog_ = std::make_unique<CDownloadDlg>(*session_, window_, Std(dir_.path()), settings_.get());
    dialog_->SetBrowseHook([this](QWidget*) {
      ++browseCalls_;
      return browsePath_;
    });
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get(), kWaitMs));
  }

  QAbstractButton* Button(const char* name) { return Find<QAbstractButton>(dialog_.get(), name); }
  std::string Text(const char* name) {
    QWidget* w = Find<QWidget>(dialog_.get(), name);
    if (auto* label = qobject_cast<QLabel*>(w)) return Std(label->text());
    if (auto* edit = qobject_cast<QLineEdit*>(w)) return Std(edit->text());
    if (auto* combo = qobject_cast<QComboBox*>(w)) return Std(combo->currentText());
    return Std(static_cast<QAbstractButton*>(w)->text());
  }
  Names Disabled() {
    Names off;
    for (const char* name : {"IDOK", "IDC_FILE_PATH", "IDC_BROWSE", "IDC_WRITE", "IDC_BOOT_FILES",
                             "IDC_CPU_SELECT", "IDC_RAM_TRANSFER", "IDC_EXECUTE", "IDC_CPU_BOOT_IMITATION"}) {
      if (!Find<QWidget>(dialog_.get(), name)->isEnabled()) off.push_back(name);
    }
    return off;
  }

  void WaitLoaded(int slot) {
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          auto v = session_->Snapshot();
          return v.ready && !v.loading && v.slotLength[slot] > 0;
        },
        kWaitMs));
  }
  void LoadBoot(const char* name) {
    Find<QComboBox>(dialog_.get(), "IDC_BOOT_FILES")->setCurrentText(QString::fromLatin1(name));
    Button("IDC_CPU_SELECT")->click();
    WaitLoaded(0);
  }
  void LoadImage() {
    browsePath_ = PathOf("image.mot");
    Button("IDC_BROWSE")->click();
    WaitLoaded(1);
  }
  // Both loaded and Write pressed: the tool waits in the sync step.
  void StartTransfer() {
    OpenDialog();
    LoadBoot("A.MOT");
    LoadImage();
    Button("IDC_WRITE")->click();
    ASSERT_GT(session_->Snapshot().state, 0);
  }

  QTemporaryDir dir_, settingsDir_;
  std::unique_ptr<QSettings> settings_ = OpenSettings(settingsDir_.filePath(QStringLiteral("porten.conf")));
  QtWindowSystem window_;  // before the session, which holds on to it
  FakePort* fake_ = nullptr;
  std::unique_ptr<DownloadSession> session_;
  std::unique_ptr<CDownloadDlg> dialog_;
  std::string browsePath_;
  int browseCalls_ = 0;
  MessageRecorder boxes_;
};

TEST_F(MainDialogTest, TypicalRunEnablesTheImageSideShowsWhatWasLoadedAndRemembersIt) {
  OpenDialog();
  EXPECT_EQ(text::kMainCaption, Std(dialog_->windowTitle()));
  EXPECT_EQ(kImageSide, Disabled());
  EXPECT_EQ("A.MOT", Text("IDC_BOOT_FILES"));
  EXPECT_EQ(text::kTwoSpaces, Text("IDC_STATUS"));
  EXPECT_EQ("", Text("IDC_ADDRESS"));

  LoadBoot("A.MOT");
  EXPECT_EQ(Names{}, Disabled());
  EXPECT_EQ("ｱﾄﾞﾚｽ: 00000400 - 0000043F", Text("IDC_STATUS"));
  EXPECT_EQ("A.MOT", Text("IDC_BOOT_FILE_NAME"));
  LoadImage();
  EXPECT_EQ(PathOf("image.mot"), Text("IDC_FILE_PATH"));
  EXPECT_EQ("ｱﾄﾞﾚｽ: 00001000 - 0000112B", Text("IDC_ADDRESS"));

  fake_->ClearEvents();
  Button("IDC_WRITE")->click();
  EXPECT_EQ(text::kAbort, Text("IDC_WRITE"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return fake_->Written().size() >= 3; }, kWaitMs));
  EXPECT_EQ((std::vector<uint8_t>{0x00, 0x00, 0x00}), fake_->Written()) << "the sync bytes";
  Button("IDC_WRITE")->click();
  EXPECT_EQ(0, session_->Snapshot().state);
  EXPECT_EQ(text::kWrite, Text("IDC_WRITE"));
  EXPECT_TRUE(boxes_.messages.empty());

  // Remembered for the next run: the boot file and the image, not the check boxes.
  Button("IDC_CPU_BOOT_IMITATION")->click();
  const QSettings saved(settings_->fileName(), QSettings::NativeFormat);
  EXPECT_EQ((QStringList{kBootFileKey, kImageKey}), saved.allKeys());
  EXPECT_EQ(PathOf("A.MOT"), Std(saved.value(kBootFileKey).toString()));
  EXPECT_EQ(PathOf("image.mot"), Std(saved.value(kImageKey).toString()));
}

class RamTransferTest : public MainDialogTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RamTransferTest, CheckingSwapsTheSidesAndUncheckingKeepsALoadedImageUsable) {
  const bool imageLoaded = GetParam();
  OpenDialog();
  Button("IDC_RAM_TRANSFER")->click();
  EXPECT_TRUE(session_->Snapshot().ramTransfer);
  EXPECT_EQ((Names{"IDC_BOOT_FILES", "IDC_CPU_SELECT"}), Disabled());
  if (imageLoaded) LoadImage();
  Button("IDC_RAM_TRANSFER")->click();
  EXPECT_FALSE(Button("IDC_RAM_TRANSFER")->isChecked());
  EXPECT_EQ(imageLoaded ? Names{} : kImageSide, Disabled());
}

INSTANTIATE_TEST_SUITE_P(Image, RamTransferTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Loaded" : "None"; });

TEST_F(MainDialogTest, CpuSelectWithAnEmptyListAsksForABootFileAndBrowseWaitsForLoadsAndTransfers) {
  OpenDialog();
  Find<QComboBox>(dialog_.get(), "IDC_BOOT_FILES")->setCurrentText({});
  Button("IDC_CPU_SELECT")->click();
  EXPECT_EQ((std::vector<Message>{{text::kSpecifyBootFile, text::kFileErrorCaption}}), boxes_.messages);
  EXPECT_EQ(kImageSide, Disabled());

  Find<QComboBox>(dialog_.get(), "IDC_BOOT_FILES")->setCurrentText(QStringLiteral("B.MOT"));
  Button("IDC_CPU_SELECT")->click();
  ASSERT_TRUE(session_->Snapshot().loading);
  Button("IDC_BROWSE")->click();
  EXPECT_EQ(0, browseCalls_) << "during the load";
  WaitLoaded(0);
  LoadImage();
  Button("IDC_WRITE")->click();
  Button("IDC_BROWSE")->click();
  EXPECT_EQ(1, browseCalls_) << "during the transfer";
}

// During a transfer: "終了" aborts and leaves, the close box only aborts,
// Escape does nothing at all.
struct ExitCase {
  const char* name;
  std::function<void(QDialog*)> act;
  bool open;
  bool aborted;
};

class ExitTest : public MainDialogTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ExitTest, DuringATransfer) {
  StartTransfer();
  GetParam().act(dialog_.get());
  EXPECT_EQ(GetParam().open, dialog_->isVisible());
  EXPECT_EQ(GetParam().aborted, session_->Snapshot().state == 0);
  EXPECT_EQ(!GetParam().open, session_->ThreadExited());
}

INSTANTIATE_TEST_SUITE_P(
    Ways, ExitTest,
    ::testing::Values(
        ExitCase{"Exit", [](QDialog* d) { Find(d, "IDOK")->click(); }, false, true},
        ExitCase{"CloseBox", [](QDialog* d) { d->close(); }, true, true},
        ExitCase{"Escape", [](QDialog* d) { QTest::keyClick(d, Qt::Key_Escape); }, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Enter presses the push button that has the focus, and "終了" from anywhere
// else; Space presses the focused button.
struct KeyCase {
  const char* focus;
  Qt::Key key;
  const char* pressed;  // the button whose command ran
};

class EnterTest : public MainDialogTest, public ::testing::WithParamInterface<KeyCase> {
 protected:
  std::string Pressed() {  // told by its effect
    if (!dialog_->isVisible()) return "IDOK";
    if (browseCalls_ > 0) return "IDC_BROWSE";
    if (session_->Snapshot().state > 0) return "IDC_WRITE";
    if (session_->Snapshot().loading) return "IDC_CPU_SELECT";
    if (fake_->Written() == std::vector<uint8_t>{'1'}) return "IDC_EXECUTE";
    return "nothing";
  }
};

TEST_P(EnterTest, GoesToTheFocusedPushButtonElseToExit) {
  OpenDialog();
  LoadBoot("B.MOT");
  LoadImage();
  if (GetParam().pressed == std::string("IDC_EXECUTE")) Button("IDC_RAM_TRANSFER")->click();  // else it does nothing
  browseCalls_ = 0;
  fake_->ClearEvents();
  QWidget* target = Find<QWidget>(dialog_.get(), GetParam().focus);
  target->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([&] { return target->hasFocus(); }, kWaitMs));
  QTest::keyClick(QApplication::focusWidget(), GetParam().key);
  // Execute's "1" goes out on the link thread, a moment later.
  (void)QTest::qWaitFor([&] { return Pressed() == GetParam().pressed; }, kWaitMs);
  EXPECT_EQ(GetParam().pressed, Pressed());
}

INSTANTIATE_TEST_SUITE_P(
    Focus, EnterTest,
    ::testing::Values(KeyCase{"IDOK", Qt::Key_Return, "IDOK"}, KeyCase{"IDC_BROWSE", Qt::Key_Return, "IDC_BROWSE"},
                      KeyCase{"IDC_WRITE", Qt::Key_Enter, "IDC_WRITE"},
                      KeyCase{"IDC_CPU_SELECT", Qt::Key_Return, "IDC_CPU_SELECT"},
                      KeyCase{"IDC_EXECUTE", Qt::Key_Return, "IDC_EXECUTE"},
                      KeyCase{"IDC_WRITE", Qt::Key_Space, "IDC_WRITE"},
                      KeyCase{"IDC_BOOT_FILES", Qt::Key_Return, "IDOK"},
                      KeyCase{"IDC_FILE_PATH", Qt::Key_Return, "IDOK"},
                      KeyCase{"IDC_ADDRESS", Qt::Key_Enter, "IDOK"},
                      KeyCase{"IDC_RAM_TRANSFER", Qt::Key_Return, "IDOK"}),
    [](const auto& info) {
      return std::string(info.param.focus) + (info.param.key == Qt::Key_Space ? "_Space" : "");
    });

TEST_F(MainDialogTest, EnterOnTheAbortButtonAbortsAndStaysOpen) {
  StartTransfer();
  QTest::mouseClick(Button("IDC_WRITE"), Qt::LeftButton);  // 中断, and the focus with it
  QTest::mouseClick(Button("IDC_WRITE"), Qt::LeftButton);  // 書込み again
  ASSERT_GT(session_->Snapshot().state, 0);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  EXPECT_EQ(0, session_->Snapshot().state);
  EXPECT_TRUE(dialog_->isVisible());
}

TEST_F(MainDialogTest, AbortTakesEffectAtOnceWhileTheLineIsStalled) {
  OpenDialog();
  LoadBoot("A.MOT");
  LoadImage();
  fake_->StallWrites();
  Button("IDC_WRITE")->click();
  fake_->WaitForBlockedWrite();  // the sync byte hangs on the link thread
  Button("IDC_WRITE")->click();  // 中断: returns while the write still hangs
  EXPECT_EQ(text::kWrite, Text("IDC_WRITE"));
  EXPECT_EQ(Outcome::kAborted, session_->Snapshot().outcome);
  fake_->ReleaseWrites();
}

// What the last run chose comes back as far as it is still there; the image
// is shown, not loaded.
struct RecallCase {
  const char* name;
  const char* bootFile;  // remembered, in the start directory
  const char* image;
  const char* selected;
  bool imageShown;
  Names keysLeft;
};

class RecallTest : public MainDialogTest, public ::testing::WithParamInterface<RecallCase> {};

TEST_P(RecallTest, LastBootFileSelectedAndLastImageShown) {
  const RecallCase& c = GetParam();
  ASSERT_TRUE(QDir(dir_.path()).mkdir(QStringLiteral("other")));
  WriteSRecordFile(PathOf("other/B.MOT"), 0x0400, Pattern(64, 1));
  settings_->setValue(kBootFileKey, QString::fromStdString(PathOf(c.bootFile)));
  settings_->setValue(kImageKey, QString::fromStdString(PathOf(c.image)));
  OpenDialog();

  EXPECT_EQ(c.selected, Text("IDC_BOOT_FILES"));
  EXPECT_EQ(c.imageShown ? PathOf(c.image) : "", Text("IDC_FILE_PATH"));
  EXPECT_EQ(c.imageShown ? text::kPleaseLoad : "", Text("IDC_ADDRESS"));
  EXPECT_EQ(0u, session_->Snapshot().slotLength[1]);
  Names keys;
  for (const QString& key : settings_->allKeys()) keys.push_back(Std(key));
  EXPECT_EQ(c.keysLeft, keys);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, RecallTest,
    ::testing::Values(RecallCase{"Both", "B.MOT", "image.mot", "B.MOT", true, {kBootFileKey, kImageKey}},
                      RecallCase{"BothGone", "C.MOT", "gone.mot", "A.MOT", false, {}},
                      RecallCase{"BootFileElsewhere", "other/B.MOT", "gone.mot", "A.MOT", false, {kBootFileKey}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace porten::app::testing
