// The main dialog over a scripted port: what it enables, what it refuses
// while busy, where Enter goes, what it remembers and the ways out; and the
// window system it shows the session's texts and runs its timers through.
#include <thread>

#include "app_test_util.h"
#include "image/digest.h"

namespace porten::app::testing {
namespace {

constexpr int kWaitMs = 20000;
const Names kImageSide = {"IDC_FILE_PATH", "IDC_BROWSE", "IDC_WRITE"};

// Texts and boxes asked for on another thread arrive later, and lose to a
// newer text from the GUI thread; timers armed there fire on the GUI thread,
// once, unless killed there.
TEST(QtWindowSystem, RequestsFromAnotherThreadArriveLaterAndLoseToNewerOnesFromTheGuiThread) {
  struct Target final : TimerTarget {
    void OnTimer(int id) override { fired.push_back(id); }
    std::vector<int> fired;
  } target;
  QtWindowSystem window;
  window.Bind(&target);
  MessageRecorder boxes;
  std::thread([&] {
    window.SetText(Surface::kStatus, "128/300");
    window.ShowMessage("text", "caption");
    for (int id : {TIMER_BOOT_SYNC, TIMER_WRITE_POLL, TIMER_LOAD}) window.SetTimer(id, 1);
  }).join();
  window.KillTimer(TIMER_BOOT_SYNC);
  EXPECT_TRUE(window.Text(Surface::kStatus).isEmpty() && boxes.messages.empty())
      << "not before the GUI thread handles its events";
  ASSERT_TRUE(QTest::qWaitFor([&] { return target.fired.size() >= 2; }, kWaitMs));
  EXPECT_EQ(std::pair(Std(window.Text(Surface::kStatus)), boxes.messages),
            std::pair(std::string("128/300"), std::vector<Message>{{"text", "caption"}}));

  std::thread([&] { window.SetText(Surface::kStatus, "300/300"); }).join();
  window.SetText(Surface::kStatus, "書込み終了");
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ("書込み終了", Std(window.Text(Surface::kStatus))) << "the older posted text must not come back";
  std::sort(target.fired.begin(), target.fired.end());
  EXPECT_EQ((std::vector<int>{TIMER_LOAD, TIMER_WRITE_POLL}), target.fired) << "each once";
}

class MainDialogTest : public ::testing::Test, protected Rig {
 protected:
  void SetUp() override {
    window.Bind(&session);
    ASSERT_TRUE(session.OpenInitialPort("/dev/ttyFAKE0"));
    WriteFile(PathOf("A.MOT"), MakeSRecords({{0x0400, RandomBytes(64)}}));
    WriteFile(PathOf("B.MOT"), MakeSRecords({{0x0400, RandomBytes(3000)}}));  // loads in several batches
    WriteFile(PathOf("image.mot"), MakeSRecords({{0x1000, RandomBytes(300, 2)}}));
  }

  void OpenDialog() {
    dialog_.reset();
    dialog_ = std::make_unique<CDownloadDlg>(session, window, Std(dir.path()), settings.get());
    dialog_->SetBrowseHook([this](QWidget*) { return ++browseCalls_, browsePath_; });
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog_.get(), kWaitMs));
  }
  QAbstractButton* Button(const char* name) { return Find(dialog_.get(), name); }
  QComboBox* BootFiles() { return Find<QComboBox>(dialog_.get(), "IDC_BOOT_FILES"); }
  Names Disabled() {  // of the controls the operator uses, in template order
    Names off;
    for (QWidget* w : dialog_->findChildren<QWidget*>(QRegularExpression(QStringLiteral("^ID")))) {
      if (!w->isEnabled()) off.push_back(Std(w->objectName()));
    }
    return off;
  }
  void WaitLoaded(int slot) {
    const auto loaded = [&] { return session.Snapshot().ready && !session.Snapshot().loading; };
    ASSERT_TRUE(QTest::qWaitFor([&] { return loaded() && session.Snapshot().slotLength[slot] > 0; }, kWaitMs));
  }
  void OpenWithBothLoaded() {
    OpenDialog();
    BootFiles()->setCurrentText(QStringLiteral("A.MOT"));
    Button("IDC_CPU_SELECT")->click();
    WaitLoaded(0);
    LoadImage();
  }
  void LoadImage() {
    browsePath_ = PathOf("image.mot");
    Button("IDC_BROWSE")->click();
    WaitLoaded(1);
  }

  std::unique_ptr<CDownloadDlg> dialog_;
  std::string browsePath_;
  int browseCalls_ = 0;
  MessageRecorder boxes_;
};

// What is enabled (RAM転送 swaps the sides; unchecked, it leaves a loaded
// image usable), what is refused while busy, what shows, and what is
// remembered for the next run (not the check boxes).
TEST_F(MainDialogTest, TypicalRun) {
  OpenDialog();
  BootFiles()->setCurrentText({});
  Button("IDC_CPU_SELECT")->click();  // asks for a boot file
  EXPECT_EQ(kImageSide, Disabled());
  for (bool imageLoaded : {false, true}) {
    Button("IDC_RAM_TRANSFER")->click();
    EXPECT_EQ((Names{"IDC_BOOT_FILES", "IDC_CPU_SELECT"}), Disabled());
    if (imageLoaded) LoadImage();
    Button("IDC_RAM_TRANSFER")->click();
    EXPECT_EQ(imageLoaded ? Names{} : kImageSide, Disabled()) << imageLoaded;
  }
  EXPECT_EQ(PathOf("image.mot"), Text(dialog_.get(), "IDC_FILE_PATH"));
  BootFiles()->setCurrentText(QStringLiteral("B.MOT"));
  Button("IDC_CPU_SELECT")->click();
  ASSERT_TRUE(session.Snapshot().loading);
  Button("IDC_BROWSE")->click();
  WaitLoaded(0);
  EXPECT_EQ("B.MOT", Text(dialog_.get(), "IDC_BOOT_FILE_NAME"));
  Button("IDC_WRITE")->click();
  EXPECT_EQ(text::kAbort, Text(dialog_.get(), "IDC_WRITE"));
  EXPECT_EQ(Names{"IDC_EXECUTE"}, Disabled()) << "no \"1\" among the blocks";
  Button("IDC_BROWSE")->click();
  EXPECT_EQ(1, browseCalls_) << "refused during the load and the transfer";
  Button("IDC_CPU_BOOT_IMITATION")->click();
  const QSettings saved(settings->fileName(), QSettings::NativeFormat);
  EXPECT_EQ((QStringList{kBootFileKey, kImageKey}), saved.allKeys());
  EXPECT_EQ(PathOf("B.MOT") + " " + PathOf("image.mot"),
            Std(saved.value(kBootFileKey).toString() + " " + saved.value(kImageKey).toString()));
}

// A drop loads as "参照" does, and only when "参照" would take it: one file,
// after a boot loader is chosen, not during a load. The address line's tool
// tip then gives the digests as `porten-cli info` prints them.
TEST_F(MainDialogTest, DropLoadsOneFileWhenBrowseWould) {
  const auto Drop = [this](const QStringList& paths) {
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& path : paths) urls.append(QUrl::fromLocalFile(path));
    mime.setUrls(urls);
    // As a drag would: the drop goes where the entering drag was accepted.
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(dialog_.get(), &enter);
    QApplication::sendEvent(dialog_.get(), &drop);
    return !Text(dialog_.get(), "IDC_FILE_PATH").empty();  // shown when its load starts
  };
  const QString image = dir.filePath(QStringLiteral("image.mot"));
  const QString other = dir.filePath(QStringLiteral("A.MOT"));
  OpenDialog();
  EXPECT_FALSE(Drop({image})) << "before a boot loader is chosen";
  BootFiles()->setCurrentText(QStringLiteral("B.MOT"));
  Button("IDC_CPU_SELECT")->click();
  EXPECT_FALSE(Drop({image})) << "during a load";
  WaitLoaded(0);
  EXPECT_FALSE(Drop({image, other}) || Drop({dir.path()})) << "several files, a directory";
  ASSERT_TRUE(Drop({image}));
  auto* address = Find<QWidget>(dialog_.get(), "IDC_ADDRESS");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !address->toolTip().isEmpty(); }, kWaitMs));
  const std::vector<uint8_t> bytes = RandomBytes(300, 2);
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08x", Crc32(bytes));
  const std::string digests = "sha256: " + Sha256Hex(bytes) + "\ncrc32: " + crc;
  EXPECT_EQ(std::tuple(Std(image), std::string("ｱﾄﾞﾚｽ: 00001000 - 0000112B"), digests),
            std::tuple(Text(dialog_.get(), "IDC_FILE_PATH"), Text(dialog_.get(), "IDC_ADDRESS"),
                       Std(address->toolTip())));
}

// What the last run chose comes back as far as it is still there; the image
// is shown, not loaded. (The case that shows one comes last: the window
// system keeps a text for the next dialog.)
TEST_F(MainDialogTest, LastBootFileSelectedAndLastImageShown) {
  ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("other")));
  WriteFile(PathOf("other/B.MOT"), MakeSRecords({{0x0400, RandomBytes(64)}}));
  const struct { const char *bootFile, *image, *selected; QStringList keysLeft; } cases[] = {
      {"C.MOT", "gone.mot", "A.MOT", {}},
      {"other/B.MOT", "gone.mot", "A.MOT", {kBootFileKey}},  // not in the start directory
      {"B.MOT", "image.mot", "B.MOT", {kBootFileKey, kImageKey}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bootFile);
    settings->setValue(kBootFileKey, QString::fromStdString(PathOf(c.bootFile)));
    settings->setValue(kImageKey, QString::fromStdString(PathOf(c.image)));
    OpenDialog();
    const bool shown = c.keysLeft.size() == 2;
    EXPECT_EQ(std::tuple(c.selected, shown ? PathOf(c.image) : "", shown ? text::kPleaseLoad : "", 0u, c.keysLeft),
              std::tuple(Std(BootFiles()->currentText()), Text(dialog_.get(), "IDC_FILE_PATH"),
                         Text(dialog_.get(), "IDC_ADDRESS"), session.Snapshot().slotLength[1], settings->allKeys()));
  }
}

// With both files loaded, idle or writing: Enter presses the push button that
// has the focus, and "終了" from anywhere else. During a transfer "終了" aborts
// and leaves, the close box and Enter on "中断" only abort, Escape does
// nothing at all. The close box is the case without a focus. A write hangs
// on a stalled line: each way out takes effect at once all the same.
struct ActCase { const char* name; bool writing; const char* focus; Qt::Key key; const char* effect; };

class ActTest : public MainDialogTest, public ::testing::WithParamInterface<ActCase> {};

TEST_P(ActTest, TheEffect) {
  const ActCase& c = GetParam();
  OpenWithBothLoaded();
  if (c.writing) {
    fake->StallWrites();
    Button("IDC_WRITE")->click();
    fake->WaitForBlockedWrite();  // the sync byte hangs on the link thread
  }
  if (c.focus) {
    Find<QWidget>(dialog_.get(), c.focus)->setFocus();
    QTest::keyClick(QApplication::focusWidget(), c.key);
  } else {
    dialog_->close();
  }
  const bool left = !dialog_->isVisible() && session.ThreadExited();
  EXPECT_EQ(c.effect, left ? "left" : session.Snapshot().busy ? "writing" : "idle");
  EXPECT_EQ(session.Snapshot().busy ? text::kAbort : text::kWrite, Text(dialog_.get(), "IDC_WRITE"));
  fake->ReleaseWrites();
}

INSTANTIATE_TEST_SUITE_P(
    Acts, ActTest,
    ::testing::Values(ActCase{"EnterOnWrite", false, "IDC_WRITE", Qt::Key_Enter, "writing"},
                      ActCase{"EnterOnBootFiles", false, "IDC_BOOT_FILES", Qt::Key_Return, "left"},
                      ActCase{"EnterOnExitWhileWriting", true, "IDOK", Qt::Key_Return, "left"},
                      ActCase{"EnterOnAbort", true, "IDC_WRITE", Qt::Key_Return, "idle"},
                      ActCase{"CloseBoxWhileWriting", true, nullptr, Qt::Key_unknown, "idle"},
                      ActCase{"EscapeWhileWriting", true, "IDC_FILE_PATH", Qt::Key_Escape, "writing"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace porten::app::testing
