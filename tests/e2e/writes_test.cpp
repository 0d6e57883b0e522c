// Downloads that go right, end to end, and the errors that stop one before
// anything goes on the wire.
#include "e2e/e2e.h"

namespace porten {
namespace {

using sim::BoardOptions;
using sim::SyncAnswer;
using namespace testing;

struct SyncCase {
  const char* name;
  SyncAnswer sync;
  bool imitation;
  const char* marker;  // the board's event for the tool's "0"/"3", or ""
};

class Sync : public Bench, public ::testing::WithParamInterface<SyncCase> {};

TEST_P(Sync, EveryVariantReachesBootModeAndWritesTheRom) {
  BoardOptions o;
  o.sync = GetParam().sync;
  StartBoard(o);
  StartStation();
  if (GetParam().imitation) station_->session().OnCpuBootImitation();
  ASSERT_EQ(Outcome::kWritten, station_->Download(30000)) << station_->Status();
  EXPECT_EQ(Padded(image_), board().RomRange(kImageBase, kBlocks * 128));
  EXPECT_EQ(loader_, board().BootLoader());
  const auto events = board().Events();
  EXPECT_EQ(*GetParam().marker != 0,
            std::count(events.begin(), events.end(), GetParam().marker) == 1);
  EXPECT_TRUE(board().Anomalies().empty()) << board().Anomalies().front();
  ExpectNextDownloadWorks();
}

INSTANTIATE_TEST_SUITE_P(
    Variants, Sync,
    ::testing::Values(SyncCase{"AfterPair", SyncAnswer::kAfterPair, false, ""},
                      SyncCase{"AtOnce", SyncAnswer::kAtOnce, false, "sync marker 30"},
                      SyncCase{"AtOnceImitation", SyncAnswer::kAtOnce, true, "sync marker 33"},
                      SyncCase{"AfterPairImitation", SyncAnswer::kAfterPair, true, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Bench, EveryImageFormatThroughTheCommandLine) {
  StartBoard();
  const std::vector<Segment> segments = {{kImageBase, image_}};
  const std::pair<const char*, std::string> files[] = {{"app.hex", MakeIntelHex(segments, 16, "\n")},
                                                       {"app.elf", MakeElf(segments)}};
  for (const auto& [name, content] : files) {
    ASSERT_TRUE(WriteTextFile(dir_.File(name), content));
    Cli r = RunCli(dir_.File(name));
    EXPECT_EQ(0, r.status) << name << ": " << r.err;
    EXPECT_EQ(Padded(image_), board().RomRange(kImageBase, kBlocks * 128)) << name;
    board().Reset();
  }
}

TEST_F(Bench, RamTransferThenExecute) {
  BoardOptions o;
  o.startInLoader = true;
  StartBoard(o);
  std::ostringstream out, err;
  const int status = cli::Dispatch({"porten-cli", "write", "-q", "--port", board().PortPath(),
                                    "--ram", dir_.File("image.mot"), "--execute"},
                                   out, err);
  EXPECT_EQ(0, status) << err.str();
  EXPECT_EQ(std::string(text::kProgramRunning) + "\n", out.str());
  EXPECT_EQ(Padded(image_), board().RamRange(kImageBase, kBlocks * 128));
  EXPECT_TRUE(board().WaitFor([&] { return board().Counters().runs == 1; }, 5000));
}

TEST_F(Bench, TwoBoardsAtOnceEndWithATable) {
  StartBoard({}, "ttyA");
  StartBoard({}, "ttyB");
  std::ostringstream out, err;
  const int status = cli::Dispatch(
      {"porten-cli", "write", "-q", "--port", dir_.File("ttyA"), "--port", dir_.File("ttyB"),
       "--boot", dir_.File("LOADER.MOT"), dir_.File("image.mot")},
      out, err);
  EXPECT_EQ(0, status) << err.str();
  for (auto& b : boards_) EXPECT_EQ(Padded(image_), b->RomRange(kImageBase, kBlocks * 128));
  std::istringstream lines(out.str());
  std::string head, a, b;
  std::getline(lines, head);
  std::getline(lines, a);
  std::getline(lines, b);
  EXPECT_EQ(0u, head.find("port"));
  // The port column fits the longest port, the result column 書込み終了 (10
  // columns wide on a terminal, 15 bytes).
  const std::string pad(dir_.File("ttyA").size() - 4, ' ');
  EXPECT_EQ("port" + pad + "  result        bytes  seconds", head);
  EXPECT_EQ(dir_.File("ttyA") + "  書込み終了     1000", a.substr(0, a.size() - 9));
}

struct Stop {
  const char* name;
  std::vector<std::string> args;  // after "write -q"; "$" is the directory, "$BOARD" the board
  int status;
  const char* err;  // standard error's first line, "$" for the directory
  const char* second = "";
};

class StopsBeforeTheWire : public Bench, public ::testing::WithParamInterface<Stop> {};

TEST_P(StopsBeforeTheWire, WithTheMessageAndNothingSent) {
  StartBoard();
  ASSERT_TRUE(WriteTextFile(dir_.File("bad.mot"), "S1130000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF\r\n"));
  std::vector<std::string> args = {"porten-cli", "write", "-q"};
  for (const std::string& a : GetParam().args) {
    args.push_back(a == "$BOARD" ? board().PortPath() : a[0] == '$' ? dir_.File(a.substr(1)) : a);
  }
  std::ostringstream out, err;
  EXPECT_EQ(GetParam().status, cli::Dispatch(args, out, err));
  std::istringstream lines(err.str());
  std::string first, second;
  std::getline(lines, first);
  std::getline(lines, second);
  for (std::string* line : {&first, &second}) {
    for (size_t at; (at = line->find(dir_.path())) != std::string::npos;) {
      line->replace(at, dir_.path().size(), "$");
    }
  }
  EXPECT_EQ(GetParam().err, first);
  if (*GetParam().second) {
    EXPECT_EQ(GetParam().second, second);
  }
  EXPECT_EQ(0u, board().Counters().bytesFromTool);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StopsBeforeTheWire,
    ::testing::Values(
        Stop{"MissingLoader", {"--port", "$BOARD", "--boot", "$NONE.MOT", "$image.mot"}, 2,
             "$/NONE.MOT: ﾌｧｲﾙがｵｰﾌﾟﾝ出来ません"},
        Stop{"BadImage", {"--port", "$BOARD", "--boot", "$LOADER.MOT", "$bad.mot"}, 2,
             "$/bad.mot: チェックサムが誤っています"},
        Stop{"NoSuchPort", {"--port", "/dev/porten-none", "--boot", "$LOADER.MOT", "$image.mot"}, 3,
             "ＣＯＭポートが間違っています",
             "porten-cli write: /dev/porten-none: no such device (is the adapter plugged in?)"},
        Stop{"NeitherBootNorRam", {"--port", "$BOARD", "$image.mot"}, 1,
             "porten-cli write: give either --boot LOADER or --ram"},
        Stop{"ExecuteWithoutRam", {"--port", "$BOARD", "--boot", "$LOADER.MOT", "--execute", "$image.mot"},
             1, "porten-cli write: --execute goes with --ram"},
        Stop{"SamePortTwice", {"--port", "$BOARD", "--port", "$ttyBOARD", "--ram", "$image.mot"}, 1,
             "porten-cli write: port $/ttyBOARD is given twice"},
        Stop{"BadTimeout", {"--port", "$BOARD", "--ram", "--timeout", "0", "$image.mot"}, 1,
             "porten-cli write: --timeout takes whole seconds from 1 to 86400"},
        Stop{"UnwritableLog", {"--port", "$BOARD", "--ram", "--log", "/proc/porten.log", "$image.mot"},
             2, "porten-cli write: cannot write the log /proc/porten.log: No such file or directory"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace porten
