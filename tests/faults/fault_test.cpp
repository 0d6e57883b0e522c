// Faults injected end to end: the simulated board on a real pty misbehaves,
// and the tool (the download session with its receive thread, or porten-cli
// write in-process) must tell the operator, must not report success, must
// not spin while it waits, and must write the next image without a restart.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "faults/station.h"
#include "sim_board.h"
#include "support/image_writer.h"

namespace porten {
namespace {

using sim::BoardOptions;
using sim::NoiseAt;
using sim::SimBoard;
using testing::Bytes;
using testing::CpuMeter;
using testing::Padded;
using testing::Pattern;
using testing::Station;
using testing::TempDir;

constexpr uint32_t kLoaderBase = 0x00FFE000;
constexpr uint32_t kImageBase = 0x00002000;
constexpr size_t kLoaderSize = 200;
constexpr size_t kImageSize = 1000;  // eight blocks, the last one padded
constexpr int kBlocks = (kImageSize + 127) / 128;

// A spinning thread costs a whole core; waiting costs next to nothing. The
// limit leaves room for sanitizer builds and the short busy stretches.
constexpr double kMaxCpuShareWhileWaiting = 0.35;

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    loader_ = Pattern(kLoaderSize, 3);
    image_ = Pattern(kImageSize, 5);
    nextImage_ = Pattern(kImageSize, 77);
    ASSERT_TRUE(Write("LOADER.MOT", {{kLoaderBase, loader_}}, 2));
    ASSERT_TRUE(Write("image.mot", {{kImageBase, image_}}, 3));
    ASSERT_TRUE(Write("next.mot", {{kImageBase, nextImage_}}, 1));
  }

  bool Write(const std::string& name, const std::vector<testing::Segment>& segments, int type) {
    return testing::WriteTextFile(dir_.File(name), testing::MakeSRecords(segments, type));
  }

  void StartBoard(BoardOptions o = {}) {
    o.linkPath = dir_.File("ttyBOARD");
    board_ = std::make_unique<SimBoard>(o);
    ASSERT_TRUE(board_->Start()) << board_->Error();
  }

  // The dialog: port open, boot loader and image loaded.
  void StartStation() {
    station_ = std::make_unique<Station>(dir_.path());
    ASSERT_TRUE(station_->Open(board_->PortPath()));
    ASSERT_EQ("", station_->LoadBootLoader("LOADER.MOT"));
    ASSERT_EQ("", station_->LoadImage(dir_.File("image.mot")));
  }

  // The operator resets the board and writes another image with the same
  // dialog: it must go through, byte for byte.
  void ExpectNextDownloadWorks() {
    board_->ClearFaults();
    board_->Reset();
    ASSERT_EQ("", station_->LoadImage(dir_.File("next.mot")));
    ASSERT_TRUE(station_->Download(30000)) << "state " << station_->State();
    EXPECT_EQ(text::kWriteDone, station_->Status());
    EXPECT_EQ(text::kWrite, station_->Caption());
    EXPECT_EQ(Padded(nextImage_), board_->RomRange(kImageBase, kBlocks * 128));
  }

  // True once the board has read nothing from the tool for ms, while the
  // dialog keeps running; false when that does not happen within `within`.
  bool QuietFor(int ms, int within) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(within);
    while (std::chrono::steady_clock::now() < end) {
      const uint64_t before = board_->Counters().bytesFromTool;
      station_->Idle(ms);
      if (board_->Counters().bytesFromTool == before) return true;
    }
    return false;
  }

  // porten-cli write in this process; the exit status and the last line.
  struct Cli {
    int status = -1;
    std::string lastLine;
    std::string err;
  };
  Cli RunCli(const std::string& image, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"porten-cli", "write",  "--port", board_->PortPath(),
                                     "--boot",     dir_.File("LOADER.MOT"), image};
    args.insert(args.end(), extra.begin(), extra.end());
    std::ostringstream out, err;
    Cli r;
    r.status = cli::Dispatch(args, out, err);
    std::string s = out.str();
    while (!s.empty() && s.back() == '\n') s.pop_back();
    r.lastLine = s.substr(s.rfind('\n') == std::string::npos ? 0 : s.rfind('\n') + 1);
    r.err = err.str();
    return r;
  }

  TempDir dir_;
  Bytes loader_, image_, nextImage_;
  std::unique_ptr<SimBoard> board_;
  std::unique_ptr<Station> station_;
};

// ---- Faults the dialog reports in its status line ---------------------------

struct ReportedFault {
  const char* name;
  void (*configure)(BoardOptions&);
  std::string expectedStatus;
};
// Test names stay readable (and free of addresses) in CTest's list.
void PrintTo(const ReportedFault& c, std::ostream* os) { *os << c.name; }


class Reported : public Faults, public ::testing::WithParamInterface<ReportedFault> {};

TEST_P(Reported, TheOperatorIsToldAndTheNextDownloadWorks) {
  BoardOptions o;
  GetParam().configure(o);
  StartBoard(o);
  StartStation();

  CpuMeter cpu;
  ASSERT_TRUE(station_->Download(30000)) << "still in state " << station_->State();
  // Wait on a little, as an operator would: nothing may run on.
  station_->Idle(700);
  EXPECT_EQ(GetParam().expectedStatus, station_->Status());
  EXPECT_EQ(text::kWrite, station_->Caption());
  EXPECT_EQ(STATE_IDLE, station_->State());
  EXPECT_LT(cpu.Share(), kMaxCpuShareWhileWaiting) << cpu.CpuSeconds() << " s CPU in " << cpu.WallSeconds() << " s";

  ExpectNextDownloadWorks();
}

std::string EchoMismatch(long at) {
  char text[96];
  std::snprintf(text, sizeof text, text::kEchoMismatchFmt, at, static_cast<long>(kLoaderSize),
                static_cast<unsigned long>(kLoaderBase));
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Board, Reported,
    ::testing::Values(
        ReportedFault{"WrongEchoAtTheFirstByte", [](BoardOptions& o) { o.wrongEchoAt = 0; }, EchoMismatch(0)},
        ReportedFault{"WrongEchoInTheMiddle", [](BoardOptions& o) { o.wrongEchoAt = kLoaderSize / 2; },
                      EchoMismatch(kLoaderSize / 2)},
        ReportedFault{"WrongEchoAtTheLastByte", [](BoardOptions& o) { o.wrongEchoAt = kLoaderSize - 1; },
                      EchoMismatch(kLoaderSize - 1)},
        ReportedFault{"ErrorRightAfterTheHeader", [](BoardOptions& o) { o.errorAfterBlock = 0; },
                      text::kWriteError},
        ReportedFault{"ErrorAfterTheFirstBlock", [](BoardOptions& o) { o.errorAfterBlock = 1; },
                      text::kWriteError},
        ReportedFault{"ErrorAfterTheLastBlock", [](BoardOptions& o) { o.errorAfterBlock = kBlocks; },
                      text::kWriteError},
        // The noise (seeded) holds a 0x01 or 0xFF before any 0xAA: in the
        // handshake that is the chip refusing the boot mode.
        ReportedFault{"NoiseBeforeTheSyncAnswer",
                      [](BoardOptions& o) {
                        o.noiseBytes = 40;
                        o.noiseAt = NoiseAt::kBeforeSyncAnswer;
                      },
                      text::kBootRefused}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Disturbances a download must ride out ------------------------------------

struct Disturbance {
  const char* name;
  void (*configure)(BoardOptions&);
};
// Test names stay readable (and free of addresses) in CTest's list.
void PrintTo(const Disturbance& c, std::ostream* os) { *os << c.name; }


class RiddenOut : public Faults, public ::testing::WithParamInterface<Disturbance> {};

TEST_P(RiddenOut, TheImageStillArrivesWhole) {
  BoardOptions o;
  GetParam().configure(o);
  StartBoard(o);
  StartStation();
  ASSERT_TRUE(station_->Download(30000)) << "still in state " << station_->State();
  EXPECT_EQ(text::kWriteDone, station_->Status());
  EXPECT_EQ(Padded(image_), board_->RomRange(kImageBase, kBlocks * 128));
  ExpectNextDownloadWorks();
}

INSTANTIATE_TEST_SUITE_P(
    Board, RiddenOut,
    ::testing::Values(
        Disturbance{"ErrorByteInTheHandshake", [](BoardOptions& o) { o.errorInHandshake = true; }},
        Disturbance{"NoiseAtTheFirstByte",
                    [](BoardOptions& o) {
                      o.noiseBytes = 40;
                      o.noiseAt = NoiseAt::kFirstByte;
                    }},
        Disturbance{"BurstOf2000BytesDuringTheTransfer", [](BoardOptions& o) { o.burstBytes = 2000; }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- A board that stops reading: the block write times out --------------------

TEST_F(Faults, BlockWriteThatTimesOutFailsTheWrite) {
  // The loader asks for far more blocks than the line can buffer and stops
  // reading: the tool's writes fill the pty and must time out. (No 0x00 in
  // the image: the board reads the blocks left in the line after its reset,
  // in boot mode, where a zero would count as a sync byte.)
  const Bytes big(256 * 1024, 0xA5);
  ASSERT_TRUE(Write("big.mot", {{kImageBase, big}}, 3));
  BoardOptions o;
  o.stallAfterHeader = true;
  o.burstBytes = 1500;
  o.burstValue = 0x11;
  StartBoard(o);
  StartStation();
  ASSERT_EQ("", station_->LoadImage(dir_.File("big.mot")));
  {
    std::lock_guard lock(station_->session().mutex());
    station_->session().link().writeTimeoutPerByteMs = 1;
    station_->session().link().writeTimeoutConstantMs = 300;
  }
  CpuMeter cpu;
  ASSERT_TRUE(station_->Download(60000)) << "still in state " << station_->State();
  EXPECT_EQ(text::kWriteError, station_->Status());
  EXPECT_EQ(text::kWrite, station_->Caption());
  EXPECT_TRUE(board_->WaitForEvent("stalled", 1000));
  EXPECT_LT(cpu.Share(), kMaxCpuShareWhileWaiting) << cpu.CpuSeconds() << " s CPU in " << cpu.WallSeconds() << " s";
  ExpectNextDownloadWorks();
}

// ---- Abort in every state ------------------------------------------------------

struct AbortCase {
  const char* name;
  int32_t state;     // where the tool waits when Abort is pressed
  int64_t answered;  // bytes the board sends before it falls silent (-1: all)
};
// Test names stay readable (and free of addresses) in CTest's list.
void PrintTo(const AbortCase& c, std::ostream* os) { *os << c.name; }


class AbortIn : public Faults, public ::testing::WithParamInterface<AbortCase> {};

TEST_P(AbortIn, AbortStopsEverythingAndTheNextDownloadWorks) {
  BoardOptions o;
  o.muteAfterBytesSent = GetParam().answered;
  StartBoard(o);
  StartStation();

  const bool sync = GetParam().state == STATE_SYNC_BOOT || GetParam().state == STATE_SYNC_IMITATION;
  if (GetParam().state == STATE_SYNC_IMITATION) station_->session().OnCpuBootImitation();
  station_->session().OnWrite();
  // The sync state lasts the 100 ms of the first timer: press at once.
  if (!sync) {
    ASSERT_TRUE(station_->Until([&] { return station_->State() == GetParam().state; }, 20000))
        << "reached state " << station_->State() << " only";
  }
  // The tool sits in that state once the board has said all it will say.
  if (GetParam().answered > 0) {
    ASSERT_TRUE(board_->WaitFor(
        [&] { return board_->Counters().bytesToTool == static_cast<uint64_t>(GetParam().answered); }, 20000));
    station_->Idle(100);
  }
  ASSERT_EQ(GetParam().state, station_->State());

  CpuMeter cpu;
  station_->session().OnWrite();  // the button reads "中断" now
  station_->Idle(300);
  EXPECT_EQ(STATE_IDLE, station_->State());
  EXPECT_EQ(text::kWrite, station_->Caption());
  EXPECT_NE(text::kWriteDone, station_->Status());
  // Nothing goes out any more: no sync step, no poll, no block. (Once the
  // line is quiet: on a slow machine the board may read what was sent
  // before the press a little later.)
  ASSERT_TRUE(QuietFor(600, 10000)) << "the tool keeps sending";
  const uint64_t sent = board_->Counters().bytesFromTool;
  station_->Idle(1200);
  EXPECT_EQ(sent, board_->Counters().bytesFromTool);
  EXPECT_LT(cpu.Share(), kMaxCpuShareWhileWaiting) << cpu.CpuSeconds() << " s CPU in " << cpu.WallSeconds() << " s";

  ExpectNextDownloadWorks();
}

// Bytes the board sends in a download: 00 (sync), AA, the two size echoes,
// one echo per loader byte, AA (loader runs), 00 for "3", "D", "D" and 0x88,
// then one 0x11 per block and 00 at the end.
constexpr int64_t kL = kLoaderSize;
INSTANTIATE_TEST_SUITE_P(
    EveryState, AbortIn,
    ::testing::Values(AbortCase{"Sync", STATE_SYNC_BOOT, 0}, AbortCase{"SyncImitation", STATE_SYNC_IMITATION, 0},
                      AbortCase{"Handshake", STATE_BOOT_HANDSHAKE, 0},
                      AbortCase{"SizeHigh", STATE_BOOT_SIZE_HIGH, 2}, AbortCase{"SizeLow", STATE_BOOT_SIZE_LOW, 3},
                      AbortCase{"BootData", STATE_BOOT_DATA, 4 + kL / 2},
                      AbortCase{"BootWaitStart", STATE_BOOT_WAIT_START, 4 + kL},
                      AbortCase{"WritePoll", STATE_WRITE_POLL, 5 + kL}, AbortCase{"WriteAck1", STATE_WRITE_ACK1, 6 + kL},
                      AbortCase{"WriteAck2", STATE_WRITE_ACK2, 7 + kL},
                      AbortCase{"WriteHeader", STATE_WRITE_HEADER, 8 + kL},
                      AbortCase{"WriteData", STATE_WRITE_DATA, 9 + kL + kBlocks / 2},
                      AbortCase{"WriteFinish", STATE_WRITE_FINISH, 9 + kL + kBlocks}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Faults porten-cli write reports by its exit status -------------------------

struct CliFault {
  const char* name;
  void (*configure)(BoardOptions&);
};
// Test names stay readable (and free of addresses) in CTest's list.
void PrintTo(const CliFault& c, std::ostream* os) { *os << c.name; }


class CliReports : public Faults, public ::testing::WithParamInterface<CliFault> {};

TEST_P(CliReports, NoAnswerEndsWithStatus5WithoutSpinning) {
  BoardOptions o;
  GetParam().configure(o);
  StartBoard(o);
  CpuMeter cpu;
  Cli r = RunCli(dir_.File("image.mot"), {"--timeout", "1"});
  EXPECT_EQ(5, r.status) << r.lastLine << r.err;
  EXPECT_NE(text::kWriteDone, r.lastLine);
  EXPECT_NE(std::string::npos, r.err.find("no answer from the board for 1 s")) << r.err;
  EXPECT_LT(cpu.Share(), kMaxCpuShareWhileWaiting) << cpu.CpuSeconds() << " s CPU in " << cpu.WallSeconds() << " s";

  // The same process writes the next board once it answers.
  board_->ClearFaults();
  board_->Reset();
  r = RunCli(dir_.File("next.mot"));
  EXPECT_EQ(0, r.status) << r.lastLine << r.err;
  EXPECT_EQ(text::kWriteDone, r.lastLine);
  EXPECT_EQ(Padded(nextImage_), board_->RomRange(kImageBase, kBlocks * 128));
}

INSTANTIATE_TEST_SUITE_P(Board, CliReports,
                         ::testing::Values(CliFault{"SilentBoard", [](BoardOptions& o) { o.silent = true; }},
                                           CliFault{"SyncNeverAnswered",
                                                    [](BoardOptions& o) { o.syncNeverAnswered = true; }}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The adapter pulled in each phase -------------------------------------------

struct HangUpCase {
  const char* name;
  int64_t afterBytes;  // bytes from the tool before the pty goes away
};
// Test names stay readable (and free of addresses) in CTest's list.
void PrintTo(const HangUpCase& c, std::ostream* os) { *os << c.name; }


class HangUp : public Faults, public ::testing::WithParamInterface<HangUpCase> {};

TEST_P(HangUp, IsReportedAndTheNextBoardIsWritten) {
  BoardOptions o;
  o.hangUpAfterBytes = GetParam().afterBytes;
  StartBoard(o);
  CpuMeter cpu;
  Cli r = RunCli(dir_.File("image.mot"), {"--timeout", "1"});
  EXPECT_TRUE(r.status == 4 || r.status == 5) << r.status << " " << r.lastLine << r.err;
  EXPECT_NE(text::kWriteDone, r.lastLine);
  EXPECT_TRUE(board_->HungUp());
  EXPECT_LT(cpu.Share(), kMaxCpuShareWhileWaiting) << cpu.CpuSeconds() << " s CPU in " << cpu.WallSeconds() << " s";

  // Plugged in again: the same process writes it.
  board_->Stop();
  StartBoard();
  r = RunCli(dir_.File("next.mot"));
  EXPECT_EQ(0, r.status) << r.lastLine << r.err;
  EXPECT_EQ(Padded(nextImage_), board_->RomRange(kImageBase, kBlocks * 128));
}

// Bytes from the tool: 00, 00 00, 55, the two size bytes, the loader, "3",
// "D", "D", 0x88, the 8-byte header, the blocks.
INSTANTIATE_TEST_SUITE_P(EachPhase, HangUp,
                         ::testing::Values(HangUpCase{"Sync", 1}, HangUpCase{"Size", 5},
                                           HangUpCase{"BootData", 6 + kL / 2}, HangUpCase{"WritePoll", 7 + kL},
                                           HangUpCase{"WriteHandshake", 9 + kL}, HangUpCase{"Header", 14 + kL},
                                           HangUpCase{"Blocks", 18 + kL + 128 + 64},
                                           HangUpCase{"LastByteOfTheLastBlock", 18 + kL + kBlocks * 128}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace porten
