// Whole downloads through the dialogs' own buttons, over the real serial
// code on a pseudo-terminal, against the simulated board that the port dialog
// offers after the serial ports; then both files rebuilt, and the image gone.
#include "app_test_util.h"
#include "link/board_links.h"
#include "link/termios_port.h"
#include "sim/sim_board.h"

namespace porten::app::testing {
namespace {

TEST(DownloadOverPty, BootLoaderFromTheStartDirectoryImageFromTheFileDialogThenWrite) {
  QTemporaryDir dir;  // the start directory, and the runtime one with the board's link
  qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
  std::string error;
  ASSERT_TRUE(EnsureBoardLinkDir(BoardLinkDir(), &error)) << error;
  // On wire time, so that the progress bar has time to show both phases.
  sim::SimBoard board({{}, DefaultBoardLink(), /*wireTime=*/true, {}});
  ASSERT_TRUE(board.Start()) << board.Error();
  const std::string startDir = Std(dir.path());
  const std::vector<uint8_t> loader = RandomBytes(120, 7), image = RandomBytes(1000, 9);  // not whole blocks
  WriteFile(startDir + "/LOADER.MOT", MakeSRecords({{0x0400, loader}}));
  WriteFile(startDir + "/x.elf", MakeElf({{0x00012340, image}}));

  QtWindowSystem window;
  DownloadSession session(window, SystemClock(), std::make_unique<TermiosPort>(), startDir);
  window.Bind(&session);
  MessageRecorder boxes;
  CPortSelectDlg portDialog(session);
  auto* ports = Find<QComboBox>(&portDialog, "IDC_PORT_LIST");
  ports->setCurrentIndex(ports->count() - 1);
  ASSERT_EQ(board.PortPath(), Std(ports->currentText()));
  Find(&portDialog, "IDOK")->click();
  ASSERT_EQ(QDialog::Accepted, portDialog.result()) << (boxes.messages.empty() ? "" : boxes.messages[0].text);

  CDownloadDlg dialog(session, window, startDir);
  dialog.show();
  const auto loaded = [&](int slot) { return session.Snapshot().ready && session.Snapshot().slotLength[slot] > 0; };
  EXPECT_EQ("LOADER.MOT", Std(Find<QComboBox>(&dialog, "IDC_BOOT_FILES")->currentText()));
  Find(&dialog, "IDC_CPU_SELECT")->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return loaded(0); }, 60000));
  auto* bar = Find<QProgressBar>(&dialog, "IDC_PROGRESS");
  const int boot = 120 * 16, full = boot + 1000;  // a boot loader byte weighs 16 image bytes
  std::vector<int> seen;
  QObject::connect(bar, &QProgressBar::valueChanged, [&](int value) { seen.push_back(value); });
  // The bar from empty through both phases to full, never back.
  uint32_t transfers = 0;
  const auto WriteAndFollow = [&] {
    const auto ended = [&, next = ++transfers] {
      const DownloadView view = session.Snapshot();
      return view.transfer == next && view.outcome != Outcome::kNone;
    };
    ASSERT_TRUE(QTest::qWaitFor(ended, 60000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return bar->value() == full; }, 60000));
    const auto in = [&](int from, int to) {
      return std::any_of(seen.begin(), seen.end(), [&](int v) { return v > from && v < to; });
    };
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()) && in(0, boot) && in(boot, full));
    seen.clear();
    QCoreApplication::processEvents();  // texts the link thread posted
  };
  dialog.SetBrowseHook([&](QWidget*) { return startDir + "/x.elf"; });
  Find(&dialog, "IDC_BROWSE")->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return loaded(1); }, 60000));
  EXPECT_EQ(0, bar->value()) << "empty before the first write";
  Find(&dialog, "IDC_WRITE")->click();
  EXPECT_TRUE(session.Snapshot().busy) << "an unchanged file is not read again";
  WriteAndFollow();
  EXPECT_EQ(std::tuple(Outcome::kWritten, std::string(text::kWriteDone), std::string(text::kWrite), loader, image),
            std::tuple(session.Snapshot().outcome, Text(&dialog, "IDC_STATUS"), Text(&dialog, "IDC_WRITE"),
                       board.BootLoader(), board.RomRange(0x00012340, uint32_t(image.size()))));
  EXPECT_TRUE(board.Anomalies().empty() && boxes.messages.empty()) << board.Anomalies().size();
  board.Reset();  // back to boot mode for the next one

  // Both files rebuilt since their load: loaded again, then written. Then the
  // image gone: its message, and nothing written.
  const std::vector<uint8_t> loader2 = RandomBytes(120, 8), image2 = RandomBytes(1000, 10);
  WriteFile(startDir + "/LOADER.MOT", MakeSRecords({{0x0400, loader2}}));
  WriteFile(startDir + "/x.elf", MakeElf({{0x00012340, image2}}));
  Find(&dialog, "IDC_WRITE")->click();
  EXPECT_EQ(std::pair(false, full), std::pair(session.Snapshot().busy, bar->value()));
  WriteAndFollow();
  EXPECT_EQ(std::tuple(Outcome::kWritten, loader2, image2),
            std::tuple(session.Snapshot().outcome, board.BootLoader(), board.RomRange(0x00012340, 1000)));
  board.Reset();
  board.ClearLog();
  ASSERT_TRUE(QFile::remove(QString::fromStdString(startDir + "/x.elf")));
  const uint32_t before = session.Snapshot().transfer;
  Find(&dialog, "IDC_WRITE")->click();  // the failed load is over when the click returns
  const std::vector<Message> gone = {{text::kFileOpenFailed, startDir + "/x.elf"}};
  EXPECT_EQ(std::tuple(gone, before, 0u, full), std::tuple(boxes.messages, session.Snapshot().transfer,
                                                           session.Snapshot().slotLength[1], bar->value()));
  EXPECT_FALSE(session.PortActionsPending());
  Find(&dialog, "IDOK")->click();
  EXPECT_TRUE(!dialog.isVisible() && session.ThreadExited());
}

}  // namespace
}  // namespace porten::app::testing
