// The main dialog over a scripted port: enabling, the check boxes, the
// commands refused while busy, and the ways out.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "app/download_dlg.h"
#include "app/qt_window_system.h"
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
    dialog_ = std::make_unique<CDownloadDlg>(*session_, window_, StartDir());
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
  QtWindowSystem window_;  // before the session, which holds on to it
  std::shared_ptr<FakePort> fake_;
  std::unique_ptr<DownloadSession> session_;
  std::unique_ptr<CDownloadDlg> dialog_;
  std::string browsePath_;
  int browseCalls_ = 0;
  MessageRecorder boxes_;
};

TEST_F(MainDialogTest, StartsWithOnlyBootSideUsableAndListsBootFilesSorted) {
  WriteBootLoader("b.mot");
  WriteBootLoader("A.MOT");
  WriteBootLoader("c.Mot");
  WriteFile(PathOf("notes.txt"), "x");
  OpenDialog();

  EXPECT_EQ(text::kMainCaption, Std(dialog_->windowTitle()));
  EXPECT_EQ((std::vector<std::string>{"IDC_FILE_PATH", "IDC_BROWSE", "IDC_WRITE"}), Disabled());
  auto* list = Find<QComboBox>(dialog_.get(), "IDC_BOOT_FILES");
  ASSERT_EQ(3, list->count());
  EXPECT_EQ("A.MOT", Std(list->itemText(0)));
  EXPECT_EQ("b.mot", Std(list->itemText(1)));
  EXPECT_EQ("c.Mot", Std(list->itemText(2)));
  EXPECT_EQ("A.MOT", Std(list->currentText()));
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

TEST_F(MainDialogTest, EnterIsExit) {
  OpenDialog();
  QTest::keyClick(dialog_.get(), Qt::Key_Return);
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(QDialog::Accepted, dialog_->result());
  EXPECT_TRUE(session_->ThreadExited());
}

TEST_F(MainDialogTest, ControlsCarryTheirIdsCaptionsAndTabOrder) {
  OpenDialog();
  struct Expected {
    const char* name;
    int id;
    const char* caption;  // nullptr: no caption of its own
  };
  const Expected order[] = {
      {"IDOK", 1, "終了"},
      {"IDC_FILE_PATH", 1000, nullptr},
      {"IDC_BROWSE", 1001, "参照"},
      {"IDC_WRITE", 1022, "書込み"},
      {"IDC_ADDRESS", 1034, nullptr},
      {"IDC_BOOT_FILES", 1045, nullptr},
      {"IDC_CPU_SELECT", 1046, "CPU選択"},
      {"IDC_RAM_TRANSFER", 1048, "RAM転送"},
      {"IDC_EXECUTE", 1049, "実行"},
      {"IDC_CPU_BOOT_IMITATION", 1050, "CPU BOOTもどき"},
  };
  QWidget* w = Find<QWidget>(dialog_.get(), "IDOK");
  for (const Expected& e : order) {
    ASSERT_NE(w, nullptr);
    // Skip what takes no tab stop (labels, the group box, the combo box's own line edit).
    while (!(w->focusPolicy() & Qt::TabFocus) || !w->property("controlId").isValid()) {
      w = w->nextInFocusChain();
    }
    EXPECT_EQ(e.name, Std(w->objectName()));
    EXPECT_EQ(e.id, w->property("controlId").toInt()) << e.name;
    if (e.caption) {
      EXPECT_EQ(e.caption, Std(static_cast<QAbstractButton*>(w)->text())) << e.name;
    }
    w = w->nextInFocusChain();
  }
  EXPECT_EQ(1036, Find<QWidget>(dialog_.get(), "IDC_STATUS")->property("controlId").toInt());
  EXPECT_EQ(1047, Find<QWidget>(dialog_.get(), "IDC_BOOT_FILE_NAME")->property("controlId").toInt());
}

}  // namespace
}  // namespace porten::app::testing
