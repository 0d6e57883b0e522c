// Faults injected end to end: the simulated board on a real pty misbehaves,
// and the tool must tell the operator, must not report success, must not
// spin while it waits, and must write the next image without a restart.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "e2e/e2e.h"
#include "srec/digest.h"

namespace porten {
namespace {

using sim::BoardOptions;
using namespace testing;

std::string EchoMismatch(long at, long of, unsigned long base) {
  char text[96];
  std::snprintf(text, sizeof text, text::kEchoMismatchFmt, at, of, base);
  return text;
}

// ---- What the dialog shows, and the next download ------------------------------

struct DialogFault {
  const char* name;
  void (*configure)(BoardOptions&);
  Outcome outcome;
  const char* status;  // nullptr: the echo mismatch text
};

class Dialog : public Bench, public ::testing::WithParamInterface<DialogFault> {};

TEST_P(Dialog, ToldOrRiddenOutAndTheNextDownloadWorks) {
  BoardOptions o;
  GetParam().configure(o);
  StartBoard(o);
  StartStation();
  CpuMeter cpu;
  ASSERT_EQ(GetParam().outcome, station_->Download(30000)) << station_->Status();
  station_->Idle(500);  // as an operator would: nothing may run on
  const std::string expected =
      GetParam().status ? GetParam().status : EchoMismatch(kLoaderSize / 2, kLoaderSize, kLoaderBase);
  EXPECT_EQ(expected, station_->Status());
  EXPECT_EQ(text::kWrite, station_->Caption());
  EXPECT_EQ(STATE_IDLE, station_->State());
  if (GetParam().outcome == Outcome::kWritten) {
    EXPECT_EQ(Padded(image_), board().RomRange(kImageBase, kBlocks * 128));
  }
  EXPECT_LT(cpu.Share(), CpuMeter::kMaxShareWhileWaiting);
  ExpectNextDownloadWorks();
}

INSTANTIATE_TEST_SUITE_P(
    Board, Dialog,
    ::testing::Values(
        DialogFault{"WrongEcho", [](BoardOptions& o) { o.wrongEchoAt = Bench::kLoaderSize / 2; },
                    Outcome::kEchoMismatch, nullptr},
        DialogFault{"ErrorAfterHeader", [](BoardOptions& o) { o.errorAfterBlock = 0; },
                    Outcome::kWriteError, text::kWriteError},
        DialogFault{"ErrorAfterLastBlock", [](BoardOptions& o) { o.errorAfterBlock = Bench::kBlocks; },
                    Outcome::kWriteError, text::kWriteError},
        // The seeded noise holds a 0x01 or 0xFF before any 0xAA: in the
        // handshake that is the chip refusing the boot mode.
        DialogFault{"NoiseBeforeSyncAnswer",
                    [](BoardOptions& o) {
                      o.noiseBytes = 40;
                      o.noiseAt = sim::NoiseAt::kBeforeSyncAnswer;
                    },
                    Outcome::kBootRefused, text::kBootRefused},
        DialogFault{"ErrorByteInHandshake", [](BoardOptions& o) { o.errorInHandshake = true; },
                    Outcome::kWritten, text::kWriteDone},
        DialogFault{"NoiseAtFirstByte",
                    [](BoardOptions& o) {
                      o.noiseBytes = 40;
                      o.noiseAt = sim::NoiseAt::kFirstByte;
                    },
                    Outcome::kWritten, text::kWriteDone},
        DialogFault{"BurstOf2000Bytes", [](BoardOptions& o) { o.burstBytes = 2000; },
                    Outcome::kWritten, text::kWriteDone}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Abort, wherever the board fell silent ---------------------------------------

struct AbortCase {
  const char* name;
  int32_t state;     // where the tool waits when 中断 is pressed
  int64_t answered;  // bytes the board sends before it falls silent
};

class AbortIn : public Bench, public ::testing::WithParamInterface<AbortCase> {};

TEST_P(AbortIn, NothingMoreGoesOutAndTheNextDownloadWorks) {
  BoardOptions o;
  o.muteAfterBytesSent = GetParam().answered;
  StartBoard(o);
  StartStation();
  station_->session().OnWrite();
  ASSERT_TRUE(station_->Until([&] { return station_->State() == GetParam().state; }, 20000));
  ASSERT_TRUE(board().WaitFor(
      [&] { return board().Counters().bytesToTool == static_cast<uint64_t>(GetParam().answered); },
      20000));
  station_->Idle(100);
  ASSERT_EQ(GetParam().state, station_->State());

  CpuMeter cpu;
  station_->session().OnWrite();  // the button reads "中断" now
  EXPECT_EQ(Outcome::kAborted, station_->session().Snapshot().outcome);
  station_->Idle(600);  // what was on the line before the press arrives
  const uint64_t sent = board().Counters().bytesFromTool;
  station_->Idle(1200);  // no sync step, no poll, no block after it
  EXPECT_EQ(sent, board().Counters().bytesFromTool);
  EXPECT_EQ(text::kWrite, station_->Caption());
  EXPECT_LT(cpu.Share(), CpuMeter::kMaxShareWhileWaiting);
  ExpectNextDownloadWorks();
}

// The board sends 00 (sync), AA, two size echoes, one echo per loader byte,
// AA (loader runs), 00 for "3", "D", "D" and 0x88, then one 0x11 per block.
constexpr int64_t kL = 200;
INSTANTIATE_TEST_SUITE_P(Where, AbortIn,
                         ::testing::Values(AbortCase{"Handshake", STATE_BOOT_HANDSHAKE, 0},
                                           AbortCase{"BootData", STATE_BOOT_DATA, 4 + kL / 2},
                                           AbortCase{"WritePoll", STATE_WRITE_POLL, 5 + kL},
                                           AbortCase{"WriteData", STATE_WRITE_DATA, 9 + kL + 4}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- porten-cli write: no answer, and unplugged ----------------------------------

struct Silence {
  const char* name;
  void (*configure)(BoardOptions&);
  const char* hint;
};

class CliNoAnswer : public Bench, public ::testing::WithParamInterface<Silence> {};

TEST_P(CliNoAnswer, SaysWhatWasKnownAndExits5WithoutSpinning) {
  BoardOptions o;
  GetParam().configure(o);
  StartBoard(o);
  CpuMeter cpu;
  Cli r = RunCli(dir_.File("image.mot"), {"--timeout", "1"});
  EXPECT_EQ(5, r.status) << r.err;
  EXPECT_EQ(std::string("no answer from the board for 1 s: ") + GetParam().hint +
                "; reset the board and try again",
            r.out);
  EXPECT_LT(cpu.Share(), CpuMeter::kMaxShareWhileWaiting);
}

INSTANTIATE_TEST_SUITE_P(
    Where, CliNoAnswer,
    ::testing::Values(
        Silence{"Silent", [](BoardOptions& o) { o.silent = true; },
                "no answer to the sync (is the board in boot mode?)"},
        Silence{"InTheUpload", [](BoardOptions& o) { o.muteAfterBytesSent = 4 + 57; },
                "the boot loader upload stopped after 57 of 200 bytes"},
        Silence{"LoaderNotStarted", [](BoardOptions& o) { o.muteAfterBytesSent = 4 + kL; },
                "the boot loader (200 bytes) was sent but did not start"},
        Silence{"AfterABlock", [](BoardOptions& o) { o.muteAfterBytesSent = 9 + kL + 3; },
                "the loader stopped answering after block 3 of 8"}),
    [](const auto& info) { return std::string(info.param.name); });

class CliUnplugged : public Bench, public ::testing::WithParamInterface<int64_t> {};

TEST_P(CliUnplugged, EndsAtOnceWithStatus5AndTheNextBoardIsWritten) {
  BoardOptions o;
  o.hangUpAfterBytes = GetParam();
  StartBoard(o);
  const auto start = std::chrono::steady_clock::now();
  Cli r = RunCli(dir_.File("image.mot"), {"--timeout", "60"});
  // Long before the time-out: the vanished device is noticed, not waited for.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(5, r.status);
  EXPECT_EQ(text::kPortLost, r.out);
  EXPECT_EQ("porten-cli write: " + board().PortPath() + " has gone (was the adapter unplugged?)\n",
            r.err);
  StartBoard();  // plugged in again
  r = RunCli(dir_.File("next.mot"));
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(Padded(next_), board().RomRange(kImageBase, kBlocks * 128));
}

// Bytes from the tool: 00, 00 00, 55, the two size bytes, the loader, "3",
// "D", "D", 0x88, the 8-byte header, the blocks.
INSTANTIATE_TEST_SUITE_P(InEachPhase, CliUnplugged, ::testing::Values(1, 6 + kL / 2, 18 + kL + 192));

// ---- A production line: three boards, one fails; the log -------------------------

TEST_F(Bench, ThreeBoardsOneFailingLogAllThree) {
  StartBoard({}, "ttyA");
  BoardOptions failing;
  failing.errorAfterBlock = 0;
  StartBoard(failing, "ttyB");
  StartBoard({}, "ttyC");
  const std::string log = dir_.File("write.log");
  std::ofstream(log) << "{\"earlier\":true}\n";  // appended to, never truncated
  std::ostringstream out, err;
  const int status = cli::Dispatch(
      {"porten-cli", "write", "-q", "--port", dir_.File("ttyA"), "--port", dir_.File("ttyB"),
       "--port", dir_.File("ttyC"), "--boot", dir_.File("LOADER.MOT"), dir_.File("image.mot"),
       "--log", log},
      out, err);
  EXPECT_EQ(4, status) << err.str();

  std::ifstream in(log);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ("{\"earlier\":true}", line);
  std::map<std::string, nlohmann::json> byPort;
  while (std::getline(in, line)) {
    auto j = nlohmann::json::parse(line);
    byPort[j["port"]] = j;
  }
  ASSERT_EQ(3u, byPort.size());
  for (const char* port : {"ttyA", "ttyB", "ttyC"}) {
    const nlohmann::json& j = byPort[dir_.File(port)];
    const bool failed = std::string(port) == "ttyB";
    EXPECT_EQ(dir_.File(port), j["device"]);
    EXPECT_TRUE(j["usb_serial"].is_null());
    EXPECT_EQ("boot", j["mode"]);
    EXPECT_EQ(dir_.File("image.mot"), j["image"]);
    EXPECT_EQ(dir_.File("LOADER.MOT"), j["loader"]);
    EXPECT_EQ(Sha256Hex(image_), j["image_sha256"]);
    EXPECT_EQ(Sha256Hex(loader_), j["loader_sha256"]);
    EXPECT_EQ(kImageBase, j["base"]);
    EXPECT_EQ(kImageSize, j["length"]);
    EXPECT_EQ(failed ? text::kWriteError : text::kWriteDone, j["result"]);
    EXPECT_EQ(failed ? 4 : 0, j["exit"]);
    EXPECT_GT(j["seconds"].get<double>(), 0);
    EXPECT_EQ(24u, j["time"].get<std::string>().size());  // 2026-12-07T08:15:02.123Z
  }
}

// ---- Ctrl-C while a block write is stuck on a line nobody reads -----------------

TEST_F(Bench, InterruptDuringStalledWriteExits130AndLogs) {
  const Bytes big(256 * 1024, 0xA5);  // more blocks than the pty can hold
  ASSERT_TRUE(WriteTextFile(dir_.File("big.mot"), MakeSRecords({{kImageBase, big}}, 3)));
  BoardOptions o;
  o.stallAfterHeader = true;  // with a burst of requests the blocks fill the line
  o.burstBytes = 1500;
  o.burstValue = 0x11;
  StartBoard(o);
  const std::string log = dir_.File("write.log");
  // Everything the child needs is made before the fork: after it, in a
  // process with threads, only async-signal-safe calls are allowed.
  std::vector<std::string> args = {"porten-cli", "write", "--port", board().PortPath(), "--boot",
                                   dir_.File("LOADER.MOT"), dir_.File("big.mot"), "--log", log};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execv(PORTEN_CLI_PATH, argv.data());
    ::_exit(127);
  }
  ::close(null);
  ASSERT_TRUE(board().WaitForEvent("stalled", 30000));
  ::usleep(500 * 1000);  // the tool fills the line and waits inside a write
  const auto start = std::chrono::steady_clock::now();
  ::kill(child, SIGINT);
  int wstatus = 0;
  ASSERT_EQ(child, ::waitpid(child, &wstatus, 0));
  // The write time-out is ten seconds and more; the stop does not wait for it.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(130, WEXITSTATUS(wstatus));
  std::ifstream in(log);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(130, nlohmann::json::parse(line)["exit"]);
}

}  // namespace
}  // namespace porten
