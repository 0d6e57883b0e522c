// RAM transfer end to end, and the errors that stop a write before anything
// goes on the wire.
#include "e2e/e2e.h"

namespace porten {
namespace {

using sim::BoardOptions;
using namespace testing;

TEST_F(Bench, RamTransferThenExecute) {
  BoardOptions o;
  o.startInLoader = true;
  StartBoard(o);
  Cli r = RunCli({"--port", "$BOARD", "--ram", "$next.mot", "--execute"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(text::kProgramRunning, r.out);
  EXPECT_EQ(Padded(next_), board().RamRange(kImageBase, kBlocks * 128));
  EXPECT_TRUE(board().WaitFor([&] { return board().Counters().runs == 1; }, 5000));
}

struct Stop {
  const char* name;
  std::vector<std::string> args;  // after "write -q"; "$" the directory, "$BOARD" the board
  int status;
  const char* err;  // standard error's first line, with "$" for the directory
  const char* second = "";
};

class StopsBeforeTheWire : public Bench, public ::testing::WithParamInterface<Stop> {};

TEST_P(StopsBeforeTheWire, WithTheMessageAndNothingSent) {
  StartBoard();
  ASSERT_TRUE(WriteTextFile(dir_.File("bad.mot"), "S1130000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF\r\n"));
  const Cli r = RunCli(GetParam().args);
  EXPECT_EQ(GetParam().status, r.status);
  std::istringstream lines(r.err);
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
             "$/bad.mot: チェックサムが誤っています", "porten-cli write: line 1: the checksum does not match"},
        Stop{"NoSuchPort", {"--port", "/dev/porten-none", "--boot", "$LOADER.MOT", "$image.mot"}, 3,
             "ＣＯＭポートが間違っています",
             "porten-cli write: /dev/porten-none: no such device (is the adapter plugged in?)"},
        Stop{"NeitherBootNorRam", {"--port", "$BOARD", "$image.mot"}, 1,
             "porten-cli write: give either --boot LOADER or --ram"},
        Stop{"SamePortTwice", {"--port", "$BOARD", "--port", "$ttyBOARD", "--ram", "$image.mot"}, 1,
             "porten-cli write: port $/ttyBOARD is given twice"},
        Stop{"UnwritableLog", {"--port", "$BOARD", "--ram", "--log", "/proc/porten.log", "$image.mot"},
             2, "porten-cli write: cannot write the log /proc/porten.log: No such file or directory"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace porten
