// Whole downloads through the dialogs' own buttons, over the real serial
// code on a pseudo-terminal, against the simulated board that the port dialog
// offers after the serial ports: the same image as an S-record, an Intel HEX
// and an ELF file, one after the other.
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
  sim::SimBoard board({{}, DefaultBoardLink(), /*wireTime=*/false, {}});
  ASSERT_TRUE(board.Start()) << board.Error();
  const std::string startDir = Std(dir.path());
  const std::vector<uint8_t> loader = RandomBytes(300, 7), image = RandomBytes(1000, 9);  // not whole blocks
  WriteFile(startDir + "/LOADER.MOT", MakeSRecords({{0x0400, loader}}));
  const std::vector<Segment> segments = {{0x00012340, image}};
  const std::pair<std::string, std::string> files[] = {{"/x.mot", MakeSRecords(segments, 2)},
                                                       {"/x.hex", MakeIntelHex(segments, 32, "\n")},
                                                       {"/x.elf", MakeElf(segments)}};

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
  for (const auto& [name, content] : files) {
    SCOPED_TRACE(name);
    WriteFile(startDir + name, content);
    dialog.SetBrowseHook([&, name = name](QWidget*) { return startDir + name; });
    board.ClearLog();
    Find(&dialog, "IDC_BROWSE")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return loaded(1); }, 60000));
    Find(&dialog, "IDC_WRITE")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return session.Snapshot().outcome != Outcome::kNone; }, 60000));
    QCoreApplication::processEvents();  // texts the link thread posted
    EXPECT_EQ(std::tuple(Outcome::kWritten, std::string(text::kWriteDone), std::string(text::kWrite), loader, image),
              std::tuple(session.Snapshot().outcome, Text(&dialog, "IDC_STATUS"), Text(&dialog, "IDC_WRITE"),
                         board.BootLoader(), board.RomRange(segments[0].address, uint32_t(image.size()))));
    EXPECT_TRUE(board.Anomalies().empty() && boxes.messages.empty()) << board.Anomalies().size();
    board.Reset();  // back to boot mode for the next one
  }
  Find(&dialog, "IDOK")->click();
  EXPECT_TRUE(!dialog.isVisible() && session.ThreadExited());
}

}  // namespace
}  // namespace porten::app::testing
