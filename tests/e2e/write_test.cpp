// porten-cli write against the simulated board on a real pty, as the board
// answers (both sync variants) or misbehaves: the write must end as the
// board makes it, say why, never report success for a failure, and the
// next write must go through. Several boards with a log, Ctrl-C, RAM
// transfer, and the errors that stop a write before anything is sent.
#include <signal.h>

#include <chrono>
#include <thread>
#include <nlohmann/json.hpp>

#include "e2e/e2e.h"
#include "image/digest.h"

namespace porten {
namespace {

using sim::BoardOptions;
using namespace testing;
using Clock = std::chrono::steady_clock;

struct End {
  const char* name;
  void (*configure)(BoardOptions&);
  int status;
  const char* out;  // the result line
  bool imitation = false;
};

class Ends : public Bench, public ::testing::WithParamInterface<End> {};

TEST_P(Ends, AsTheBoardMakesItAndTheNextImageGoesThrough) {
  const End& c = GetParam();
  BoardOptions o;
  c.configure(o);
  StartBoard(o);
  const bool unplugged = o.hangUpAfterBytes >= 0;
  std::vector<std::string> args = {"--port", "$BOARD", "--boot", "$LOADER.MOT", "$image.mot",
                                   "--timeout", unplugged ? "60" : "1"};
  if (c.imitation) args.push_back("--imitation");
  const auto start = Clock::now();
  const Cli r = RunCli(args);
  EXPECT_EQ(c.status, r.status) << r.err;
  EXPECT_EQ(c.out, r.out);
  if (c.status == 0) {
    EXPECT_EQ(Padded(image_), Rom());
    EXPECT_EQ(loader_, board().BootLoader());
    EXPECT_TRUE(board().Anomalies().empty()) << board().Anomalies().front();
    const auto events = board().Events();
    EXPECT_EQ(c.imitation, std::count(events.begin(), events.end(), "sync marker 33") == 1);
  }
  if (unplugged) {
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));  // noticed, not waited for (60 s)
    EXPECT_EQ("porten-cli write: " + board().PortPath() + " has gone (was the adapter unplugged?)\n",
              r.err);
    StartBoard();  // plugged in again
  }
  board().ClearFaults();
  board().Reset();
  EXPECT_EQ(0, WriteImage("$next.mot").status);
  EXPECT_EQ(Padded(next_), Rom());
}

#define NO_ANSWER "no answer from the board for 1 s: "
#define RESET "; reset the board and try again"
// The board sends 00 (sync), AA, two size echoes, an echo per loader byte,
// AA (loader runs), 00 for "3", "D", "D" and 0x88, then 0x11 per block.
// Bytes from the tool: 00, 00 00, 55, two size bytes, the loader, "3", "D",
// "D", 0x88, the header, the blocks.
INSTANTIATE_TEST_SUITE_P(
    Board, Ends,
    ::testing::Values(
        // Both ways a chip answers the sync, and the imitation's marker.
        End{"SyncAfterPair", [](BoardOptions&) {}, 0, "書込み終了"},
        End{"SyncAtOnceImitation", [](BoardOptions& o) { o.sync = sim::SyncAnswer::kAtOnce; }, 0,
            "書込み終了", true},
        End{"WrongEcho", [](BoardOptions& o) { o.wrongEchoAt = 100; }, 4, "ｴｺｰ不一致: 100/200 (00FFE000)"},
        End{"RequestBeyondImage", [](BoardOptions& o) { o.requestBeyondImage = true; }, 4,
            "the loader asked for more blocks than the image has (8)"},
        End{"Silent", [](BoardOptions& o) { o.silent = true; }, 5,
            NO_ANSWER "no answer to the sync (is the board in boot mode?)" RESET},
        End{"SilentInTheUpload", [](BoardOptions& o) { o.muteAfterBytesSent = 61; }, 5,
            NO_ANSWER "the boot loader upload stopped after 57 of 200 bytes" RESET},
        End{"LoaderNotStarted", [](BoardOptions& o) { o.muteAfterBytesSent = 204; }, 5,
            NO_ANSWER "the boot loader (200 bytes) was sent but did not start" RESET},
        End{"SilentAfterABlock", [](BoardOptions& o) { o.muteAfterBytesSent = 212; }, 5,
            NO_ANSWER "the loader stopped answering after block 3 of 8" RESET},
        End{"UnpluggedAmongTheBlocks", [](BoardOptions& o) { o.hangUpAfterBytes = 410; }, 5,
            "COMﾎﾟｰﾄが切断されました"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- A production line: three boards, one fails; the log and the table ----------

TEST_F(Bench, ThreeBoardsOneFailingEndInATableAndThreeLogLines) {
  StartBoard({}, "ttyA");
  BoardOptions failing;
  failing.errorAfterBlock = 0;
  StartBoard(failing, "ttyB");
  StartBoard({}, "ttyC");
  const std::string log = dir_.File("write.log");
  std::ofstream(log) << "{\"earlier\":true}\n";  // appended to, never truncated
  std::ostringstream out, err;
  EXPECT_EQ(4, cli::Dispatch({"porten-cli", "write", "-q", "--port", dir_.File("ttyA"), "--port",
                              dir_.File("ttyB"), "--port", dir_.File("ttyC"), "--boot",
                              dir_.File("LOADER.MOT"), dir_.File("image.mot"), "--log", log},
                             out, err));
  // Columns fit the longest port and 書込みエラー終了 (16 columns on a terminal).
  std::istringstream table(out.str());
  std::vector<std::string> rows(4);
  for (auto& row : rows) std::getline(table, row);
  const std::string pad(dir_.File("ttyA").size() - 4, ' ');
  EXPECT_EQ("port" + pad + "  result              bytes  seconds", rows[0]);
  EXPECT_EQ(dir_.File("ttyA") + "  書込み終了           1000", rows[1].substr(0, rows[1].size() - 9));
  EXPECT_EQ(dir_.File("ttyB") + "  書込みエラー終了        0", rows[2].substr(0, rows[2].size() - 9));

  std::ifstream in(log);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ("{\"earlier\":true}", line);
  std::map<std::string, nlohmann::json> byPort;
  while (std::getline(in, line)) {
    auto j = nlohmann::json::parse(line);
    EXPECT_EQ(24u, j["time"].get<std::string>().size());  // 2026-12-07T08:15:02.123Z
    EXPECT_GT(j["seconds"].get<double>(), 0);
    j.erase("time"), j.erase("seconds");
    byPort[j["port"]] = j;
  }
  ASSERT_EQ(3u, byPort.size());
  for (const char* port : {"ttyA", "ttyB", "ttyC"}) {
    const bool failed = std::string(port) == "ttyB";
    EXPECT_EQ((nlohmann::json{{"port", dir_.File(port)}, {"device", dir_.File(port)}, {"usb_serial", nullptr},
                              {"mode", "boot"}, {"image", dir_.File("image.mot")}, {"loader", dir_.File("LOADER.MOT")},
                              {"image_sha256", Sha256Hex(image_)}, {"loader_sha256", Sha256Hex(loader_)},
                              {"serial", nullptr}, {"sent_sha256", Sha256Hex(image_)}, {"base", kImageBase}, {"length", kImageSize},
                              {"result", failed ? text::kWriteError : text::kWriteDone}, {"exit", failed ? 4 : 0}}),
              byPort[dir_.File(port)]);
  }
}

// ---- Ctrl-C while a block write is stuck on a line nobody reads -----------------

TEST_F(Bench, InterruptDuringStalledWriteExits130AndLogs) {
  ASSERT_TRUE(WriteTextFile(dir_.File("big.mot"), MakeSRecords({{kImageBase, Bytes(262144, 0xA5)}}, 3)));
  BoardOptions o;
  o.stallAfterHeader = true;  // with a burst of requests the blocks fill the line
  o.burstBytes = 1500;
  o.burstValue = 0x11;
  StartBoard(o);
  const std::string log = dir_.File("write.log");
  const pid_t child = Spawn({"write", "--port", board().PortPath(), "--boot", dir_.File("LOADER.MOT"),
                             dir_.File("big.mot"), "--log", log});
  ASSERT_TRUE(board().WaitForEvent("stalled", 30000));
  // The tool fills the line and then waits inside a write: the pty's line
  // buffer (4095 bytes) full is the sign.
  for (auto end = Clock::now() + std::chrono::seconds(30); board().UnreadFromTool() < 4095;) {
    ASSERT_LT(Clock::now(), end);
    std::this_thread::yield();
  }
  const auto start = Clock::now();
  ::kill(child, SIGINT);
  EXPECT_EQ(130, Wait(child)) << Output();
  // The write time-out is ten seconds and more; the stop does not wait for it.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(8));
  std::ifstream in(log);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(130, nlohmann::json::parse(line)["exit"]);
}

// ---- RAM transfer, and the errors that stop a write before the wire ----------

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
  EXPECT_FALSE(std::ifstream(dir_.File("never.sqlite")));  // refused before the store was opened
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
        Stop{"LinesOnAPty", {"--port", "$BOARD", "--boot", "$LOADER.MOT", "--lines", "dtr-mode", "$image.mot"}, 3,
             "the port has no modem control lines\nporten-cli write: $/ttyBOARD has no DTR and RTS (a pseudo-terminal?); "
             "--before, --after and --lines need them\n"},
        Stop{"UnwritableLog", {"--port", "$BOARD", "--ram", "--log", "/proc/porten.log", "$image.mot"},
             2, "porten-cli write: cannot write the log /proc/porten.log: No such file or directory\n"},
        Stop{"SerialOutsideTheImage",
             {"--port", "$BOARD", "--ram", "$image.mot", "--serial-at", "0x23E5", "--serial-format", "u32le",
              "--records", "$never.sqlite"},
             1, "porten-cli write: $/image.mot: the serial number's 4 bytes at 000023E5 lie outside the image "
                "(00002000 - 000023E7)\n"},
        Stop{"SerialFormatUnknown",
             {"--port", "$BOARD", "--ram", "$image.mot", "--serial-at", "2010", "--serial-format", "u24le",
              "--records", "$never.sqlite"},
             1, "porten-cli write: --serial-format: takes u16le, u16be, u32le, u32be, u64le, u64be, ascii:W "
                "(W from 1 to 19) or hex:W (W from 1 to 16) (see porten-cli write --help)\n"},
        Stop{"SeriesWithoutPlace", {"--port", "$BOARD", "--ram", "$image.mot", "--serial-series", "lot7"}, 1,
             "porten-cli write: --serial-format, --serial-series and --serial-first go with --serial-at "
             "(see porten-cli write --help)\n"},
        Stop{"StoreCannotBeMade", {"--port", "$BOARD", "--ram", "$image.mot", "--records", "/proc/porten/r.sqlite"},
             3, "porten-cli write: cannot make the directory /proc/porten: No such file or directory\n"},
        Stop{"NumberDoesNotFit",
             {"--port", "$BOARD", "--ram", "$image.mot", "--serial-at", "2010", "--serial-format", "ascii:1",
              "--serial-first", "10", "--records", "$r.sqlite"},
             1, "not written: the next number of series default, 10, does not fit the serial number's format\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace porten
