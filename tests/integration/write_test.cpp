// porten-cli write over a real pseudo-terminal against the simulated board:
// the termios port, the receive thread, both protocols and the console loop
// together, as a user runs them.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "core/texts.h"
#include "sim_board.h"
#include "support/image_writer.h"

namespace porten {
namespace {

using sim::BoardOptions;
using sim::SimBoard;
using sim::SyncAnswer;
using testing::Segment;
using testing::TempDir;
using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    b[i] = static_cast<uint8_t>(seed >> 16);
  }
  return b;
}

Bytes Padded(Bytes b) {
  b.resize((b.size() + 127) / 128 * 128, 0xFF);
  return b;
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
  double seconds = 0;
  // The last line the tool printed on standard output.
  std::string LastLine() const {
    std::string s = out;
    while (!s.empty() && s.back() == '\n') s.pop_back();
    auto nl = s.rfind('\n');
    return nl == std::string::npos ? s : s.substr(nl + 1);
  }
};

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class WriteTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kLoaderBase = 0x00FFE000;
  static constexpr uint32_t kImageBase = 0x00001000;

  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    loader_ = Pattern(300, 7);
    image_ = Pattern(1000, 11);
    loaderPath_ = dir_.File("LOADER.MOT");
    imagePath_ = dir_.File("image.mot");
    ASSERT_TRUE(testing::WriteTextFile(loaderPath_, testing::MakeSRecords({{kLoaderBase, loader_}}, 3)));
    ASSERT_TRUE(testing::WriteTextFile(imagePath_, testing::MakeSRecords({{kImageBase, image_}}, 2)));
  }

  void StartBoard(BoardOptions options = {}) {
    options.linkPath = dir_.File("ttyBOARD");
    board_ = std::make_unique<SimBoard>(options);
    ASSERT_TRUE(board_->Start()) << board_->Error();
  }

  Outcome Write(std::vector<std::string> extra) {
    std::vector<std::string> args = {"porten-cli", "write", "--port", board_->PortPath()};
    args.insert(args.end(), extra.begin(), extra.end());
    std::ostringstream out, err;
    Outcome r;
    auto start = std::chrono::steady_clock::now();
    r.status = cli::Dispatch(args, out, err);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.out = out.str();
    r.err = err.str();
    return r;
  }
  Outcome WriteBoot(std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"--boot", loaderPath_, imagePath_});
    return Write(extra);
  }

  TempDir dir_;
  Bytes loader_, image_;
  std::string loaderPath_, imagePath_;
  std::unique_ptr<SimBoard> board_;
};

TEST_F(WriteTest, NormalDownloadFillsTheRomExactly) {
  StartBoard();
  Outcome r = WriteBoot();
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(text::kWriteDone, r.LastLine());
  EXPECT_EQ(Padded(image_), board_->RomRange(kImageBase, 1024));
  EXPECT_EQ(Bytes(128, 0xFF), board_->RomRange(kImageBase + 1024, 128));
  EXPECT_EQ(loader_, board_->BootLoader());
  EXPECT_TRUE(board_->Anomalies().empty()) << board_->Anomalies().front();

  // A second download in a row works without any reset of the board.
  image_ = Pattern(1000, 99);
  ASSERT_TRUE(testing::WriteTextFile(imagePath_, testing::MakeSRecords({{kImageBase, image_}}, 1)));
  r = WriteBoot();
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(Padded(image_), board_->RomRange(kImageBase, 1024));
}

struct SyncCase {
  SyncAnswer answer;
  bool imitation;
  const char* marker;  // the board's event for the tool's second sync step
};

class WriteSync : public WriteTest, public ::testing::WithParamInterface<SyncCase> {};

TEST_P(WriteSync, BothSyncVariantsReachTheBootMode) {
  BoardOptions o;
  o.sync = GetParam().answer;
  StartBoard(o);
  Outcome r = GetParam().imitation ? WriteBoot({"--imitation"}) : WriteBoot();
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(Padded(image_), board_->RomRange(kImageBase, 1024));
  auto events = board_->Events();
  bool marked = std::find(events.begin(), events.end(), std::string(GetParam().marker)) != events.end();
  EXPECT_EQ(GetParam().answer == SyncAnswer::kAtOnce, marked);
  EXPECT_TRUE(board_->Anomalies().empty()) << board_->Anomalies().front();
}

INSTANTIATE_TEST_SUITE_P(Variants, WriteSync,
                         ::testing::Values(SyncCase{SyncAnswer::kAfterPair, false, "sync marker 30"},
                                           SyncCase{SyncAnswer::kAtOnce, false, "sync marker 30"},
                                           SyncCase{SyncAnswer::kAtOnce, true, "sync marker 33"}),
                         [](const auto& info) {
                           return std::string(info.param.answer == SyncAnswer::kAtOnce
                                                  ? "AtOnce"
                                                  : "AfterPair") +
                                  (info.param.imitation ? "Imitation" : "");
                         });

TEST_F(WriteTest, RamTransferWithExecute) {
  BoardOptions o;
  o.startInLoader = true;
  StartBoard(o);
  Outcome r = Write({"--ram", imagePath_, "--execute"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(text::kProgramRunning, r.LastLine());
  EXPECT_EQ(Padded(image_), board_->RamRange(kImageBase, 1024));
  EXPECT_TRUE(board_->WaitForEvent("run program", 5000));
  EXPECT_TRUE(board_->Anomalies().empty()) << board_->Anomalies().front();
}

TEST_F(WriteTest, TargetErrorFailsTheWrite) {
  BoardOptions o;
  o.errorAfterBlock = 3;
  StartBoard(o);
  Outcome r = WriteBoot();
  EXPECT_EQ(4, r.status) << r.out << r.err;
  EXPECT_EQ(text::kWriteError, r.LastLine());
}

TEST_F(WriteTest, EchoMismatchSaysWhere) {
  BoardOptions o;
  o.wrongEchoAt = 5;
  StartBoard(o);
  Outcome r = WriteBoot();
  EXPECT_EQ(4, r.status) << r.out << r.err;
  EXPECT_EQ("ｴｺｰ不一致: 5/300 (00FFE000)", r.LastLine());
}

TEST_F(WriteTest, SilentBoardTimesOutWithoutSpinning) {
  BoardOptions o;
  o.silent = true;
  StartBoard(o);
  double cpu = CpuSeconds();
  Outcome r = WriteBoot({"--timeout", "2"});
  cpu = CpuSeconds() - cpu;
  EXPECT_EQ(5, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.err.find("no answer from the board for 2 s")) << r.err;
  EXPECT_GE(r.seconds, 2.0);
  // Waiting must not burn a core (a spinning receive thread would use ~2 s).
  EXPECT_LT(cpu, 0.5 * r.seconds) << cpu << " s of CPU in " << r.seconds << " s";
}

TEST_F(WriteTest, HangUpInTheMiddleOfABlockIsAnErrorNotAHang) {
  BoardOptions o;
  // The loader upload is 300 bytes plus sync and handshake; the hang-up
  // lands inside the second 128-byte block.
  o.hangUpAfterBytes = 3 + 1 + 2 + 300 + 1 + 3 + 8 + 128 + 60;
  StartBoard(o);
  Outcome r = WriteBoot({"--timeout", "2"});
  EXPECT_TRUE(r.status == 4 || r.status == 5) << r.status << r.out << r.err;
  EXPECT_NE(text::kWriteDone, r.LastLine());
  EXPECT_LT(r.seconds, 30.0);
  EXPECT_TRUE(board_->HungUp());
  if (r.status == 5) {
    EXPECT_NE(std::string::npos, r.err.find("has vanished")) << r.err;
  }
}

TEST_F(WriteTest, PortErrorsAreExplained) {
  std::ostringstream out, err;
  int status = cli::Dispatch({"porten-cli", "write", "--port", dir_.File("nothing-here"), "--boot",
                              loaderPath_, imagePath_},
                             out, err);
  EXPECT_EQ(3, status);
  EXPECT_NE(std::string::npos, err.str().find(text::kWrongPort)) << err.str();
  EXPECT_NE(std::string::npos, err.str().find("no such device")) << err.str();
}

TEST_F(WriteTest, FileErrorsStopBeforeTheWire) {
  StartBoard();
  ASSERT_TRUE(testing::WriteTextFile(imagePath_, "S1130000\n"));
  Outcome r = WriteBoot();
  EXPECT_EQ(2, r.status);
  EXPECT_EQ(imagePath_ + ": " + text::kNotSRecord + "\n", r.err.substr(0, r.err.find('\n') + 1));
  EXPECT_EQ(0u, board_->Counters().bytesFromTool);
}

TEST_F(WriteTest, UsageErrors) {
  StartBoard();
  for (std::vector<std::string> extra : std::vector<std::vector<std::string>>{
           {imagePath_},                                     // neither --boot nor --ram
           {"--boot", loaderPath_, "--ram", imagePath_},     // both
           {"--boot", loaderPath_},                          // no image
           {"--ram", imagePath_, "--timeout", "0"},          // bad time-out
           {"--boot", loaderPath_, imagePath_, "--execute"}  // execute without RAM
       }) {
    Outcome r = Write(extra);
    EXPECT_EQ(1, r.status) << r.err;
  }
}

}  // namespace
}  // namespace porten
