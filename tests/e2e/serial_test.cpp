// Serial numbers and records end to end on the simulated board, with the
// SQLite store: each board holds its own number, the rows and the log prove
// the bytes it was sent, a killed write leaves its number interrupted, and
// four processes at once share one series without a gap or a double.
#include <signal.h>

#include <iterator>
#include <nlohmann/json.hpp>

#include "e2e/serial_rig.h"

namespace porten {
namespace {

using namespace testing;

TEST_F(SerialBench, ThreeBoardsHoldTheirNumbersAndTheRowsAndLogProveTheBytes) {
  for (const char* link : {"ttyA", "ttyB", "ttyC"}) StartBoard({}, link);
  const std::string where = dir_.File("records.sqlite"), log = dir_.File("write.log");
  std::vector<std::string> args = SerialWrite(where, {dir_.File("ttyA"), dir_.File("ttyB"), dir_.File("ttyC")});
  args.insert(args.end(), {"--log", log, "--serial-series", "lot7", "--serial-first", "41"});
  args.insert(args.begin(), "porten-cli");
  std::ostringstream out, err;
  ASSERT_EQ(0, cli::Dispatch(args, out, err)) << err.str();

  std::map<std::string, nlohmann::json> logged;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) logged[nlohmann::json::parse(line)["port"]] = nlohmann::json::parse(line);
  std::set<uint64_t> serials;
  for (const records::Row& r : records::OpenStore(where, false)->Rows({}, records::Writer::Self())) {
    serials.insert(r.serial.value_or(0));
    const auto& board = *boards_[r.port == dir_.File("ttyA") ? 0 : r.port == dir_.File("ttyB") ? 1 : 2];
    EXPECT_EQ(Padded(Sent(*r.serial)), board.RomRange(kImageBase, kBlocks * 128)) << r.port;
    EXPECT_EQ(r.series.value_or("") + " " + Sha256Hex(image_) + " " + Sha256Hex(Sent(*r.serial)) + " " + r.port,
              "lot7 " + r.imageSha256 + " " + r.sentSha256.value_or("") + " " + r.port);
    EXPECT_EQ(*r.serial, logged[r.port]["serial"]);
    EXPECT_EQ(*r.sentSha256, logged[r.port]["sent_sha256"]);
  }
  EXPECT_EQ((std::set<uint64_t>{41, 42, 43}), serials);
  std::ostringstream series, none;
  EXPECT_EQ(0, cli::Dispatch({"porten-cli", "records", "--records", where, "series"}, series, none));
  EXPECT_EQ("series  next\nlot7  44\n", series.str());
}

TEST_F(SerialBench, AKilledWriteLeavesItsNumberInterruptedAndTheNextBoardGetsTheNext) {
  sim::BoardOptions slow;
  slow.wireTime = true;  // long enough a board to kill the write in its middle
  StartBoard(slow);
  const std::string where = dir_.File("records.sqlite");
  const pid_t writer = Spawn(SerialWrite(where, {board().PortPath()}));
  ASSERT_TRUE(board().WaitForEvent("loader ready", 30000)) << Output();
  ::kill(writer, SIGKILL);
  ASSERT_EQ(128 + SIGKILL, Wait(writer));

  board().Reset();
  Cli next = RunCli({"--port", "$BOARD", "--boot", "$LOADER.MOT", "$image.mot", "--serial-at", "2010",
                     "--serial-format", "u32be", "--records", where});
  ASSERT_EQ(0, next.status) << next.err;
  EXPECT_EQ(Padded(Sent(2)), Rom());

  std::ostringstream out, err;
  ASSERT_EQ(0, cli::Dispatch({"porten-cli", "records", "--records", where, "list", "--failed"}, out, err));
  std::istringstream table(out.str());
  std::string head, row;
  std::getline(table, head);
  std::getline(table, row);
  EXPECT_EQ("id  series   serial  station  port" + std::string(board().PortPath().size() - 4, ' ') +
                "  started                   outcome      exit  result",
            head);
  std::istringstream fields(row);
  std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
  ASSERT_EQ(8u, f.size()) << row;
  EXPECT_EQ(24u, f[5].size());  // the start, in UTC
  f[5] = "started";
  EXPECT_EQ((std::vector<std::string>{"1", "default", "1", records::Writer::Self().station, board().PortPath(),
                                      "started", "interrupted", "-"}),
            f);
  EXPECT_FALSE(std::getline(table, row));  // the second attempt was written
}

TEST_F(SerialBench, FourProcessesShareOneSqliteFile) {
  FourWritersOfTwentyFive(dir_.File("records.sqlite"));
}

}  // namespace
}  // namespace porten
