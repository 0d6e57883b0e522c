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
  std::string err;  // how standard error starts, "$" for the directory
};

class StopsBeforeTheWire : public Bench, public ::testing::WithParamInterface<Stop> {};

TEST_P(StopsBeforeTheWire, WithTheMessageAndNothingSent) {
  StartBoard();
  ASSERT_TRUE(WriteTextFile(dir_.File("bad.mot"), "S1130000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF\r\n"));
  Cli r = RunCli(GetParam().args);
  for (size_t at; (at = r.err.find(dir_.path())) != std::string::npos;) r.err.replace(at, dir_.path().size(), "$");
  EXPECT_EQ(GetParam().status, r.status);
  EXPECT_EQ(GetParam().err, r.err.substr(0, GetParam().err.size()));
  EXPECT_EQ(0u, board().Counters().bytesFromTool);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StopsBeforeTheWire,
    ::testing::Values(
        Stop{"MissingLoader", {"--port", "$BOARD", "--boot", "$NONE.MOT", "$image.mot"}, 2,
             "$/NONE.MOT: ﾌｧｲﾙがｵｰﾌﾟﾝ出来ません\n"},
        Stop{"BadImage", {"--port", "$BOARD", "--boot", "$LOADER.MOT", "$bad.mot"}, 2,
             "$/bad.mot: チェックサムが誤っています\nporten-cli write: line 1: the checksum does not match\n"},
        Stop{"NoSuchPort", {"--port", "/dev/porten-none", "--boot", "$LOADER.MOT", "$image.mot"}, 3,
             "ＣＯＭポートが間違っています\n"
             "porten-cli write: /dev/porten-none: no such device (is the adapter plugged in?)\n"},
        Stop{"NeitherBootNorRam", {"--port", "$BOARD", "$image.mot"}, 1,
             "porten-cli write: give either --boot LOADER or --ram\n"},
        Stop{"SamePortTwice", {"--port", "$BOARD", "--port", "$ttyBOARD", "--ram", "$image.mot"}, 1,
             "porten-cli write: port $/ttyBOARD is given twice\n"},
        Stop{"UnwritableLog", {"--port", "$BOARD", "--ram", "--log", "/proc/porten.log", "$image.mot"},
             2, "porten-cli write: cannot write the log /proc/porten.log: No such file or directory\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace porten
