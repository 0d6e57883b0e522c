// The main dialog over a scripted port: enabling, the check boxes, the
// commands refused while busy, and the ways out.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "app/download_dlg.h"
#include "app/qt_window_system.h"
#include "app/remembered.h"
#include "app_test_util.h"
#include "core/texts.h"
#include "protocol/download_session.h"

namespace porten::app::testing {
namespace {

constexpr int kWaitMs = 20000;

// The controls whose enabling the dialog manages, in tab order.
const char* const kManaged[] = {"IDOK",           "IDC_FILE_PATH",    "IDC_BROWSE",
                                "IDC_WRITE",      "IDC_BOOT_FILES",   "IDC_CPU_SELECT",
                                "IDC_RAM_TRANSFER", "IDC_EXECUTE",    "IDC_CPU_BOOT_IMITATION"};

class MainDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    fake_ = std::make_shared<FakePort>();
    session_ = std::make_unique<DownloadSession>(window_, SystemClock(),
                                                 std::make_unique<SharedPort>(fake_), StartDir());
    window_.Bind(session_.get());
    ASSERT_TRUE(session_->OpenInitialPort("/dev/ttyFAKE0"));
  }

  void TearDown() override {
    dialog_.reset();
    window_.Bind(nullptr);
    session_.reset();
  }

  std::string StartDir() const { return dir_.path().toStdString(); }
  std::string PathOf(const char* name) const { return dir_.filePath(QString::fromLatin1(name)).toStdString(); }

  void WriteBootLoader(const char* name, size_t size = 64) {
    WriteSRecordFile(PathOf(name), 0x0400, Pattern(size, 1));
  }
  void WriteImage(const char* name, size_t size = 300) {
    WriteSRecordFile(PathOf(name), 0x1000, Pattern(size, 2));
  }

  void OpenDialog() {
    dialog_ = std::make_unique<CDownloadDlg>(*session_, window_, StartDir(), settings_.get());
    dialog_->SetBrowseHook([this](QWidget*) {
      ++browseCalls_;
      return browsePath_;
    });
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get(), kWaitMs));
  }

  QAbstractButton* Button(const char* name) { return Find<QAbstractButton>(dialog_.get(), name); }
  QString Status() { return Find<QLabel>(dialog_.get(), "IDC_STATUS")->text(); }

  std::vector<std::string> Disabled() {
    std::vector<std::string> off;
    for (const char* name : kManaged) {
      if (!Find<QWidget>(dialog_.get(), name)->isEnabled()) off.push_back(name);
    }
    return off;
  }

  bool WaitIdleLoad(int slot) {
    return QTest::qWaitFor(
        [&] {
          auto v = session_->Snapshot();
          return v.ready && !v.loading && v.slotLength[slot] > 0;
        },
        kWaitMs);
  }

  void LoadBoot(const char* name) {
    Find<QComboBox>(dialog_.get(), "IDC_BOOT_FILES")->setCurrentText(QString::fromLatin1(name));
    Button("IDC_CPU_SELECT")->click();
    ASSERT_TRUE(WaitIdleLoad(0));
  }

  void LoadImage(const char* name) {
    browsePath_ = PathOf(name);
    Button("IDC_BROWSE")->click();
    ASSERT_TRUE(WaitIdleLoad(1));
  }

  // Write pressed with both loads done: the tool waits in the sync step.
  void StartTransfer() {
    WriteBootLoader("A.MOT");
    WriteImage("image.mot");
    OpenDialog();
    LoadBoot("A.MOT");
    LoadImage("image.mot");
    Button("IDC_WRITE")->click();
    ASSERT_GT(session_->Snapshot().state, 0);
    ASSERT_EQ(text::kAbort, Std(Button("IDC_WRITE")->text()));
  }

  QTemporaryDir dir_;
  QTemporaryDir settingsDir_;
  std::unique_ptr<QSettings> settings_ = OpenSettings(settingsDir_.filePath(QStringLiteral("porten.conf")));
  QtWindowSystem window_;  // before the session, which holds on to it
  std::shared_ptr<FakePort> fake_;
  std::unique_ptr<DownloadSession> session_;
  std::unique_ptr<CDownloadDlg> dialog_;
  std::string browsePath_;
  int browseCalls_ = 0;
  MessageRecorder boxes_;
};

TEST_F(MainDialogTest, StartsWithOnlyBootSideUsableAndTheFirstBootFileSelected) {
  WriteBootLoader("b.mot");
  WriteBootLoader("A.MOT");
  OpenDialog();

  EXPECT_EQ(text::kMainCaption, Std(dialog_->windowTitle()));
  EXPECT_EQ((std::vector<std::string>{"IDC_FILE_PATH", "IDC_BROWSE", "IDC_WRITE"}), Disabled());
  auto* list = Find<QComboBox>(dialog_.get(), "IDC_BOOT_FILES");
  EXPECT_EQ(2, list->count());
  EXPECT_EQ("A.MOT", Std(list->currentText()));
  EXPECT_EQ("", Std(Find<QLineEdit>(dialog_.get(), "IDC_ADDRESS")->text()));
  EXPECT_EQ(text::kTwoSpaces, Std(Status()));
  EXPECT_EQ(text::kTwoSpaces, Std(Find<QLabel>(dialog_.get(), "IDC_BOOT_FILE_NAME")->text()));
  EXPECT_EQ(text::kWrite, Std(Button("IDC_WRITE")->text()));
  EXPECT_TRUE(dialog_->minimumSize() == dialog_->maximumSize()) << "fixed size";
}

TEST_F(MainDialogTest, TypicalRunEnablesImageControlsAndShowsWhatWasLoaded) {
  WriteBootLoader("A.MOT", 64);
  WriteImage("image.mot", 300);
  OpenDialog();

  LoadBoot("A.MOT");
  EXPECT_TRUE(Disabled().empty());
  EXPECT_EQ("ｱﾄﾞﾚｽ: 00000400 - 0000043F", Std(Status()));
  EXPECT_EQ("A.MOT", Std(Find<QLabel>(dialog_.get(), "IDC_BOOT_FILE_NAME")->text()));

  LoadImage("image.mot");
  EXPECT_EQ(1, browseCalls_);
  EXPECT_TRUE(Disabled().empty());
  EXPECT_EQ(PathOf("image.mot"), Std(Find<QLineEdit>(dialog_.get(), "IDC_FILE_PATH")->text()));
  EXPECT_EQ("ｱﾄﾞﾚｽ: 00001000 - 0000112B", Std(Find<QLineEdit>(dialog_.get(), "IDC_ADDRESS")->text()));

  fake_->ClearEvents();
  Button("IDC_WRITE")->click();
  EXPECT_EQ(text::kAbort, Std(Button("IDC_WRITE")->text()));
  EXPECT_EQ(std::vector<uint8_t>{0x00}, fake_->Written()) << "the first sync byte";
  // The sync timer runs on the window thread and sends the next two.
  ASSERT_TRUE(QTest::qWaitFor([&] { return fake_->Written().size() >= 3; }, kWaitMs));
  EXPECT_EQ((std::vector<uint8_t>{0x00, 0x00, 0x00}), fake_->Written());
  EXPECT_EQ(STATE_BOOT_HANDSHAKE, session_->Snapshot().state);

  // A second press aborts.
  Button("IDC_WRITE")->click();
  EXPECT_EQ(0, session_->Snapshot().state);
  EXPECT_EQ(text::kWrite, Std(Button("IDC_WRITE")->text()));
  EXPECT_TRUE(boxes_.messages.empty());
}

struct RamCase {
  const char* name;
  bool imageLoaded;
  std::vector<std::string> disabledAfterUncheck;
};

void PrintTo(const RamCase& c, std::ostream* os) { *os << c.name; }

class RamTransferTest : public MainDialogTest, public ::testing::WithParamInterface<RamCase> {};

TEST_P(RamTransferTest, CheckingSwapsTheSidesAndUncheckingKeepsALoadedImageUsable) {
  WriteImage("image.mot");
  OpenDialog();
  auto* box = Find<QCheckBox>(dialog_.get(), "IDC_RAM_TRANSFER");

  box->click();
  EXPECT_TRUE(box->isChecked());
  EXPECT_TRUE(session_->Snapshot().ramTransfer);
  EXPECT_EQ((std::vector<std::string>{"IDC_BOOT_FILES", "IDC_CPU_SELECT"}), Disabled());

  if (GetParam().imageLoaded) LoadImage("image.mot");

  box->click();
  EXPECT_FALSE(box->isChecked());
  EXPECT_FALSE(session_->Snapshot().ramTransfer);
  EXPECT_EQ(GetParam().disabledAfterUncheck, Disabled());
}

INSTANTIATE_TEST_SUITE_P(
    Image, RamTransferTest,
    ::testing::Values(RamCase{"none", false, {"IDC_FILE_PATH", "IDC_BROWSE", "IDC_WRITE"}},
                      RamCase{"loaded", true, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainDialogTest, CpuSelectWithEmptyListAsksForABootFileAndEnablesNothing) {
  WriteFile(PathOf("image.txt"), "S9030000FC\r\n");
  OpenDialog();
  ASSERT_EQ(0, Find<QComboBox>(dialog_.get(), "IDC_BOOT_FILES")->count());

  Button("IDC_CPU_SELECT")->click();
  EXPECT_EQ((std::vector<Message>{{text::kSpecifyBootFile, text::kFileErrorCaption}}), boxes_.messages);
  EXPECT_EQ((std::vector<std::string>{"IDC_FILE_PATH", "IDC_BROWSE", "IDC_WRITE"}), Disabled());
}

TEST_F(MainDialogTest, BrowseDuringALoadOrATransferDoesNotAskForAFile) {
  WriteBootLoader("big.MOT", 4000);  // several batches
  WriteImage("image.mot");
  OpenDialog();
  Find<QComboBox>(dialog_.get(), "IDC_BOOT_FILES")->setCurrentText(QStringLiteral("big.MOT"));
  Button("IDC_CPU_SELECT")->click();
  ASSERT_TRUE(session_->Snapshot().loading);
  Button("IDC_BROWSE")->click();
  EXPECT_EQ(0, browseCalls_) << "during the load";
  ASSERT_TRUE(WaitIdleLoad(0));

  LoadImage("image.mot");
  Button("IDC_WRITE")->click();
  ASSERT_GT(session_->Snapshot().state, 0);
  Button("IDC_BROWSE")->click();
  EXPECT_EQ(1, browseCalls_) << "during the transfer";
}

TEST_F(MainDialogTest, BootFileNameShowsAsPlainText) {
  WriteBootLoader("<b>x.MOT");
  OpenDialog();
  LoadBoot("<b>x.MOT");
  auto* name = Find<QLabel>(dialog_.get(), "IDC_BOOT_FILE_NAME");
  EXPECT_EQ("<b>x.MOT", Std(name->text()));
  EXPECT_EQ(Qt::PlainText, name->textFormat());
  EXPECT_EQ(Qt::PlainText, Find<QLabel>(dialog_.get(), "IDC_STATUS")->textFormat());
}

TEST_F(MainDialogTest, BrowseCancelledChangesNothing) {
  WriteBootLoader("A.MOT");
  OpenDialog();
  LoadBoot("A.MOT");
  browsePath_.clear();
  Button("IDC_BROWSE")->click();
  EXPECT_EQ(1, browseCalls_);
  EXPECT_TRUE(session_->Snapshot().ready);
  EXPECT_EQ("", Std(Find<QLineEdit>(dialog_.get(), "IDC_FILE_PATH")->text()));
}

TEST_F(MainDialogTest, ExitDuringATransferAbortsAndCloses) {
  StartTransfer();
  Button("IDOK")->click();
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(QDialog::Accepted, dialog_->result());
  EXPECT_EQ(0, session_->Snapshot().state);
  EXPECT_EQ(text::kWrite, Std(Button("IDC_WRITE")->text()));
  EXPECT_TRUE(session_->ThreadExited());
}

TEST_F(MainDialogTest, CloseBoxDuringATransferOnlyAbortsThenCloses) {
  StartTransfer();
  EXPECT_FALSE(dialog_->close());
  EXPECT_TRUE(dialog_->isVisible());
  EXPECT_EQ(0, session_->Snapshot().state);
  EXPECT_EQ(text::kWrite, Std(Button("IDC_WRITE")->text()));
  EXPECT_FALSE(session_->ThreadExited());

  EXPECT_TRUE(dialog_->close());
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_TRUE(session_->ThreadExited());
}

TEST_F(MainDialogTest, EscapeDoesNotEndTheDialogWhileTheReceiveThreadRuns) {
  StartTransfer();
  QTest::keyClick(dialog_.get(), Qt::Key_Escape);
  EXPECT_TRUE(dialog_->isVisible());
  EXPECT_GT(session_->Snapshot().state, 0) << "Escape touches no transfer either";
  EXPECT_FALSE(session_->ThreadExited());
}

// Enter presses the push button that has the focus, and "終了" from
// anywhere else; Space presses the focused button.
struct KeyCase {
  const char* focus;
  Qt::Key key;
  const char* pressed;  // the button whose command ran
};

void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.focus << " " << c.key; }

class EnterTest : public MainDialogTest, public ::testing::WithParamInterface<KeyCase> {
 protected:
  // Which command the key ran, told by its effect.
  std::string Pressed() {
    if (!dialog_->isVisible()) return "IDOK";
    if (browseCalls_ > 0) return "IDC_BROWSE";
    if (session_->Snapshot().state > 0) return "IDC_WRITE";
    if (session_->Snapshot().loading || !session_->Snapshot().ready) return "IDC_CPU_SELECT";
    if (fake_->Written() == std::vector<uint8_t>{'1'}) return "IDC_EXECUTE";
    return "nothing";
  }
};

TEST_P(EnterTest, GoesToTheFocusedPushButtonElseToExit) {
  WriteBootLoader("A.MOT", 3000);  // loads in more than one batch
  WriteImage("image.mot");
  OpenDialog();
  LoadBoot("A.MOT");
  LoadImage("image.mot");
  if (GetParam().pressed == std::string("IDC_EXECUTE")) Button("IDC_RAM_TRANSFER")->click();  // 実行 acts only then
  browseCalls_ = 0;
  fake_->ClearEvents();

  QWidget* target = Find<QWidget>(dialog_.get(), GetParam().focus);
  target->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([&] { return target->hasFocus(); }, kWaitMs));
  QTest::keyClick(QApplication::focusWidget(), GetParam().key);
  EXPECT_EQ(GetParam().pressed, Pressed());
}

INSTANTIATE_TEST_SUITE_P(
    Focus, EnterTest,
    ::testing::Values(KeyCase{"IDOK", Qt::Key_Return, "IDOK"},
                      KeyCase{"IDC_BROWSE", Qt::Key_Return, "IDC_BROWSE"},
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
  ASSERT_EQ(0, session_->Snapshot().state);
  QTest::mouseClick(Button("IDC_WRITE"), Qt::LeftButton);  // 書込み again
  ASSERT_GT(session_->Snapshot().state, 0);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  EXPECT_EQ(0, session_->Snapshot().state);
  EXPECT_TRUE(dialog_->isVisible());
}

// What the last run chose comes back as far as it is still there.
struct RecallCase {
  const char* name;
  const char* bootFile;  // remembered, relative to the start directory
  const char* image;     // remembered, relative to the start directory
  const char* selected;  // in the boot file list
  const char* path;      // in the path box
  const char* address;   // in the address box
  std::vector<std::string> keysLeft;
};

void PrintTo(const RecallCase& c, std::ostream* os) { *os << c.name; }

class RecallTest : public MainDialogTest, public ::testing::WithParamInterface<RecallCase> {};

TEST_P(RecallTest, LastBootFileSelectedAndLastImageShownButNotLoaded) {
  const RecallCase& c = GetParam();
  WriteBootLoader("A.MOT");
  WriteBootLoader("B.MOT");
  WriteImage("image.mot");
  ASSERT_TRUE(QDir(dir_.path()).mkdir(QStringLiteral("other")));
  WriteBootLoader("other/B.MOT");
  settings_->setValue(kBootFileKey, dir_.filePath(QString::fromLatin1(c.bootFile)));
  settings_->setValue(kImageKey, dir_.filePath(QString::fromLatin1(c.image)));
  OpenDialog();

  EXPECT_EQ(c.selected, Std(Find<QComboBox>(dialog_.get(), "IDC_BOOT_FILES")->currentText()));
  const std::string path = c.path[0] ? PathOf(c.path) : "";
  EXPECT_EQ(path, Std(Find<QLineEdit>(dialog_.get(), "IDC_FILE_PATH")->text()));
  EXPECT_EQ(c.address, Std(Find<QLineEdit>(dialog_.get(), "IDC_ADDRESS")->text()));
  EXPECT_EQ(0u, session_->Snapshot().slotLength[1]);
  EXPECT_EQ(0, browseCalls_);
  std::vector<std::string> keys;
  for (const QString& key : settings_->allKeys()) keys.push_back(Std(key));
  EXPECT_EQ(c.keysLeft, keys);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, RecallTest,
    ::testing::Values(RecallCase{"Both", "B.MOT", "image.mot", "B.MOT", "image.mot", text::kPleaseLoad,
                                 {kBootFileKey, kImageKey}},
                      RecallCase{"BothGone", "C.MOT", "gone.mot", "A.MOT", "", "", {}},
                      RecallCase{"BootFileOfAnotherDirectory", "other/B.MOT", "gone.mot", "A.MOT", "", "",
                                 {kBootFileKey}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainDialogTest, RemembersTheBootFileAndImageButNeitherCheckBox) {
  WriteBootLoader("A.MOT");
  WriteImage("image.mot");
  OpenDialog();
  LoadBoot("A.MOT");
  LoadImage("image.mot");
  Button("IDC_RAM_TRANSFER")->click();
  Button("IDC_CPU_BOOT_IMITATION")->click();

  const QSettings saved(settings_->fileName(), QSettings::NativeFormat);
  EXPECT_EQ((QStringList{kBootFileKey, kImageKey}), saved.allKeys());
  EXPECT_EQ(PathOf("A.MOT"), Std(saved.value(kBootFileKey).toString()));
  EXPECT_EQ(PathOf("image.mot"), Std(saved.value(kImageKey).toString()));
}

}  // namespace
}  // namespace porten::app::testing
