// The simulated board against a scripted tool on the slave side of its pty.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "link/termios_port.h"
#include "sim/image_files.h"
#include "sim/sim_board.h"

extern char** environ;

namespace porten::sim {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr int kWaitMs = 10000;  // generous: CI machines are loaded

// One step of a scripted tool: reopen at a rate, or send bytes and expect
// exactly these bytes back (nothing at all when expect is empty).
struct Step {
  int reopenBaud = 0;
  Bytes send;
  Bytes expect;
};
Step S(Bytes send, Bytes expect) { return {0, std::move(send), std::move(expect)}; }
Step Reopen(int baud) { return {baud, {}, {}}; }

std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The tool's side of the byte tables: a 2-byte boot loader AB CD, then a
// 3-byte image 11 22 33 at 0x1000.
const Bytes kHeader = {0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x80};
Bytes Block(Bytes head) {
  head.resize(128, 0xFF);
  return head;
}
const std::vector<Step> kBootUpload = {
    S({0x00}, {}),               // Write pressed; the board stays silent
    S({0x00, 0x00}, {0x00}),     // 100 ms later
    S({0x55}, {0xAA}),
    S({0x00}, {0x00}),           // size, high byte, echoed
    S({0x02}, {0x02}),
    S({0xAB}, {0xAB}),
    S({0xCD}, {0xCD, 0xAA}),     // last echo, then the loader runs
};
const std::vector<Step> kBlockWrite = {
    Reopen(38400),
    S({'3'}, {0x00}),
    S({'D'}, {0x00}),
    S({'D'}, {0x00}),
    S({0x88}, {0x00}),
    S(kHeader, {0x11}),
    S(Block({0x11, 0x22, 0x33}), {0x00}),
    Reopen(4800),
};

class ScriptedTool {
 public:
  explicit ScriptedTool(SimBoard& board) : board_(board) {}

  // Runs the steps; every failure is reported with the step's index.
  void Run(const std::vector<Step>& steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      const Step& step = steps[i];
      if (step.reopenBaud) {
        port_.Close();
        ASSERT_TRUE(port_.Open(board_.PortPath(), step.reopenBaud, 1, 0)) << port_.LastError();
        // Bytes are judged against the rate the board saw before it began
        // waiting for them: let it see the new one first.
        ASSERT_TRUE(board_.WaitFor([&] { return board_.SampledToolRate() == step.reopenBaud; }, kWaitMs));
        continue;
      }
      ASSERT_EQ(port_.Write(step.send.data(), step.send.size(), kWaitMs), step.send.size());
      sent_ += step.send.size();
      // Once the board has taken every byte, its answers are on their way.
      ASSERT_TRUE(board_.WaitFor([&] { return board_.Counters().bytesFromTool >= sent_; }, kWaitMs));
      EXPECT_EQ(Receive(step.expect.size()), step.expect);
      received_ += step.expect.size();
      if (step.expect.empty()) {
        EXPECT_EQ(board_.Counters().bytesToTool, received_) << "unexpected answer";
      }
    }
  }

  Bytes Receive(size_t count) {
    Bytes out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
      size_t waiting = port_.WaitReadable(5);
      if (waiting == 0) continue;
      Bytes buf(std::min(waiting, count - out.size()));
      buf.resize(port_.Read(buf.data(), buf.size()));
      out.insert(out.end(), buf.begin(), buf.end());
    }
    return out;
  }

  bool Open(int baud) { return port_.Open(board_.PortPath(), baud, 1, 0); }
  TermiosPort& Port() { return port_; }
  void Received(size_t n) { received_ += n; }
  size_t ReceivedCount() const { return received_; }

 private:
  SimBoard& board_;
  TermiosPort port_;
  size_t sent_ = 0;
  size_t received_ = 0;
};

struct Started {
  explicit Started(BoardOptions options) : board(std::move(options)), tool(board) {
    EXPECT_TRUE(board.Start()) << board.Error();
    EXPECT_TRUE(tool.Open(4800)) << tool.Port().LastError();
  }
  SimBoard board;
  ScriptedTool tool;
};

TEST(SimBoard, NormalDownloadFollowsBothByteTables) {
  Started s({});
  s.tool.Run(kBootUpload + kBlockWrite);
  ASSERT_TRUE(s.board.WaitForEvent("write done: ROM 00001000-0000107F (128 bytes)", kWaitMs));
  EXPECT_EQ(s.board.RomRange(0x1000, 4), (Bytes{0x11, 0x22, 0x33, 0xFF}));
  EXPECT_EQ(s.board.RomRange(0x0FFF, 1), Bytes{0xFF});
  EXPECT_EQ(s.board.BootLoader(), (Bytes{0xAB, 0xCD}));
  EXPECT_EQ(s.board.Events(), (std::vector<std::string>{
                                  "sync answered", "handshake", "boot loader size 2",
                                  "boot loader runs (2 bytes)", "loader ready",
                                  "header address 00001000 length 128",
                                  "write done: ROM 00001000-0000107F (128 bytes)"}));
  EXPECT_EQ(s.board.Anomalies(), std::vector<std::string>{});
  EXPECT_EQ(s.board.Counters().writesDone, 1u);
  EXPECT_GT(s.board.ReplyLatency().count, 0u);
}

TEST(SimBoard, RamTransferThenRunThenAFreshDownload) {
  Started s({});
  const std::vector<Step> ramTransfer = {S({'2'}, {})};
  s.tool.Run(kBootUpload + kBlockWrite + ramTransfer + kBlockWrite + std::vector<Step>{S({'1'}, {})} +
             kBootUpload);
  EXPECT_EQ(s.board.RamRange(0x1000, 3), (Bytes{0x11, 0x22, 0x33}));
  EXPECT_EQ(s.board.Counters().ramTransfers, 1u);
  EXPECT_EQ(s.board.Counters().runs, 1u);
  auto events = s.board.Events();
  auto has = [&](const std::string& e) { return std::find(events.begin(), events.end(), e) != events.end(); };
  EXPECT_TRUE(has("write done: RAM 00001000-0000107F (128 bytes)"));
  EXPECT_TRUE(has("run program"));
  EXPECT_TRUE(has("boot mode again"));
  EXPECT_EQ(s.board.Anomalies(), std::vector<std::string>{});
}

TEST(SimBoard, MultiBlockImageLandsAtItsAddress) {
  Started s({});
  Bytes image(300);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  Bytes padded = image;
  padded.resize(384, 0xFF);
  std::vector<Step> write = {Reopen(38400), S({'3'}, {0}), S({'D'}, {0}), S({'D'}, {0}), S({0x88}, {0}),
                             S({0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x80}, {0x11})};
  for (int b = 0; b < 3; ++b) {
    write.push_back(S(Bytes(padded.begin() + b * 128, padded.begin() + (b + 1) * 128), {b < 2 ? uint8_t{0x11} : uint8_t{0x00}}));
  }
  s.tool.Run(kBootUpload + write);
  EXPECT_EQ(s.board.RomRange(0x20000, 384), padded);
  EXPECT_EQ(s.board.Anomalies(), std::vector<std::string>{});
}

struct SyncCase {
  const char* name;
  SyncAnswer sync;
  std::vector<Step> steps;
  std::vector<std::string> events;
};

class SyncVariants : public ::testing::TestWithParam<SyncCase> {};

TEST_P(SyncVariants, AnswerWhereTheToolExpectsIt) {
  BoardOptions options;
  options.sync = GetParam().sync;
  Started s(options);
  s.tool.Run(GetParam().steps + std::vector<Step>{S({0x55}, {0xAA})});
  EXPECT_EQ(s.board.Events(), GetParam().events);
  EXPECT_EQ(s.board.Anomalies(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Sync, SyncVariants,
    ::testing::Values(
        SyncCase{"AtOnce", SyncAnswer::kAtOnce,
                 {S({0x00}, {0x00}), S({'0'}, {}), S({0x00, 0x00, 0x00}, {0x00})},
                 {"sync answered", "sync marker 30", "sync answered", "handshake"}},
        SyncCase{"AtOnceImitation", SyncAnswer::kAtOnce,
                 {S({0x00}, {0x00}), S({'3'}, {}), S({0x00, 0x00, 0x00}, {0x00})},
                 {"sync answered", "sync marker 33", "sync answered", "handshake"}},
        SyncCase{"AfterPair", SyncAnswer::kAfterPair,
                 {S({0x00}, {}), S({0x00, 0x00}, {0x00})},
                 {"sync answered", "handshake"}},
        SyncCase{"AfterTriple", SyncAnswer::kAfterTriple,
                 {S({0x00}, {}), S({0x00, 0x00}, {}), S({'0'}, {}), S({0x00, 0x00, 0x00}, {0x00})},
                 {"sync marker 30", "sync answered", "handshake"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct FaultCase {
  const char* name;
  BoardOptions options;
  std::vector<Step> steps;
  std::string event;                   // must have happened
  std::vector<std::string> anomalies;  // exactly these
};

BoardOptions With(void (*set)(BoardOptions&)) {
  BoardOptions o;
  set(o);
  return o;
}

const Bytes kBlock1 = Block({0x11, 0x22, 0x33});
const std::vector<Step> kToHeader = {Reopen(38400), S({'3'}, {0}), S({'D'}, {0}), S({'D'}, {0}), S({0x88}, {0})};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }
void PrintTo(const SyncCase& c, std::ostream* os) { *os << c.name; }

class FaultKnobs : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultKnobs, ProduceTheirFault) {
  const FaultCase& c = GetParam();
  Started s(c.options);
  s.tool.Run(c.steps);
  auto events = s.board.Events();
  if (!c.event.empty()) {
    EXPECT_NE(std::find(events.begin(), events.end(), c.event), events.end()) << c.event;
  }
  EXPECT_EQ(s.board.Anomalies(), c.anomalies);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultKnobs,
    ::testing::Values(
        FaultCase{"WrongEcho", With([](BoardOptions& o) { o.wrongEchoAt = 1; }),
                  {S({0}, {}), S({0, 0}, {0}), S({0x55}, {0xAA}), S({0}, {0}), S({2}, {2}), S({0xAB}, {0xAB}),
                   S({0xCD}, {0x32})},
                  "echo altered at byte 1", {}},
        FaultCase{"ErrorAfterHeader", With([](BoardOptions& o) { o.errorAfterBlock = 0; }),
                  kBootUpload + kToHeader +
                      std::vector<Step>{S(kHeader, {0x60}), Reopen(4800), S({'1'}, {})},
                  "error 60 after header", {}},
        FaultCase{"ErrorAfterBlock", With([](BoardOptions& o) { o.errorAfterBlock = 1; }),
                  kBootUpload + kToHeader +
                      std::vector<Step>{S({0, 0, 0x10, 0, 0, 0, 1, 0}, {0x11}), S(kBlock1, {0x60})},
                  "error 60 after block 1", {}},
        FaultCase{"Silent", With([](BoardOptions& o) { o.silent = true; }),
                  {S({0}, {}), S({0, 0}, {}), S({'0'}, {}), S({0, 0, 0}, {}), S({0x55}, {})}, "", {}},
        FaultCase{"SyncNeverAnswered", With([](BoardOptions& o) { o.syncNeverAnswered = true; }),
                  {S({0}, {}), S({0, 0}, {}), S({'3'}, {}), S({0, 0, 0}, {})}, "sync marker 33", {}},
        FaultCase{"Burst", With([](BoardOptions& o) { o.burstBytes = 2000; }),
                  kBootUpload + kToHeader + std::vector<Step>{S(kHeader, [] {
                    Bytes b(2000, 0x5A);
                    b.push_back(0x11);
                    return b;
                  }())},
                  "burst 2000 bytes", {}},
        FaultCase{"WrongRate", {},
                  {Reopen(38400), S({0}, {}), Reopen(4800), S({0}, {}), S({0, 0}, {0})}, "sync answered",
                  {"byte 00 at 38400 bit/s in boot sync, expected 4800 bit/s"}},
        FaultCase{"OutOfProtocol", {},
                  kBootUpload + std::vector<Step>{S({'D'}, {})} + kBlockWrite + std::vector<Step>{S({'X'}, {})},
                  "write done: ROM 00001000-0000107F (128 bytes)",
                  {"byte 44 at 4800 bit/s in loader poll, expected 38400 bit/s",
                   "byte 58 in loader idle, expected 32, 31 or a sync"}},
        // The tool's 0x22 answer and a late poll are part of the handshake.
        FaultCase{"ToleratedInHandshake", {},
                  kBootUpload + std::vector<Step>{Reopen(38400), S({'3'}, {0}), S({0x22}, {}), S({'3'}, {}),
                                                  S({'D'}, {0}), S({0x22}, {}), S({'D'}, {0}), S({0x88}, {0}),
                                                  S(kHeader, {0x11}), S(kBlock1, {0})},
                  "write done: ROM 00001000-0000107F (128 bytes)", {}},
        FaultCase{"OutOfProtocolLoader", {},
                  kBootUpload + std::vector<Step>{Reopen(38400), S({'D'}, {})} + kBlockWrite,
                  "write done: ROM 00001000-0000107F (128 bytes)", {"byte 44 in loader poll, expected 33"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimBoard, NoiseComesBeforeTheSyncAnswerOrAtTheFirstByte) {
  for (NoiseAt at : {NoiseAt::kBeforeSyncAnswer, NoiseAt::kFirstByte}) {
    BoardOptions options;
    options.noiseBytes = 5;
    options.noiseAt = at;
    Started s(options);
    Bytes first = {0x00};
    ASSERT_EQ(s.tool.Port().Write(first.data(), 1, kWaitMs), 1u);
    Bytes pair = {0x00, 0x00};
    if (at == NoiseAt::kFirstByte) {
      EXPECT_EQ(s.tool.Receive(5).size(), 5u);
    }
    ASSERT_EQ(s.tool.Port().Write(pair.data(), 2, kWaitMs), 2u);
    Bytes got = s.tool.Receive(at == NoiseAt::kFirstByte ? 1 : 6);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), 0x00);
    EXPECT_TRUE(s.board.WaitForEvent("noise 5 bytes", kWaitMs));
    EXPECT_EQ(s.board.Counters().bytesToTool, 6u);
  }
}

TEST(SimBoard, HangUpTakesThePortAway) {
  fs::path link = fs::temp_directory_path() / ("porten-hangup-" + std::to_string(::getpid()));
  BoardOptions options;
  options.linkPath = link.string();
  options.hangUpAfterBytes = 3;
  Started s(options);
  std::string slave = s.board.SlavePath();
  Bytes sync = {0x00, 0x00, 0x00};
  ASSERT_EQ(s.tool.Port().Write(sync.data(), 3, kWaitMs), 3u);
  ASSERT_TRUE(s.board.WaitForEvent("hang-up after 3 bytes", kWaitMs));
  EXPECT_TRUE(s.board.HungUp());
  EXPECT_EQ(s.board.Counters().bytesFromTool, 3u);
  EXPECT_EQ(s.board.Counters().bytesToTool, 0u);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  EXPECT_EQ(s.tool.Port().WaitReadable(20), 0u);
  s.tool.Port().Close();
  EXPECT_FALSE(s.tool.Port().Open(link.string(), 4800, 1, 0));
  EXPECT_EQ(s.tool.Port().LastFailure(), OpenFailure::kNotFound);
  EXPECT_FALSE(s.tool.Port().Open(slave, 4800, 1, 0));
}

TEST(SimBoard, WireTimeMakesTransfersTakeTheirLineTime) {
  BoardOptions options;
  options.wireTime = true;
  Started s(options);
  auto start = std::chrono::steady_clock::now();
  s.tool.Run(kBootUpload + kBlockWrite);
  // Every exchange waits for the one before. Boot upload: 8 bytes to the
  // board and 7 back at 4800 bit/s; block write: 140 bytes to the board and
  // 6 back at 38400 bit/s. A lower bound only: never timed tight.
  auto least = std::chrono::microseconds(15 * 10'000'000 / 4800 + 146 * 10'000'000 / 38400);
  EXPECT_GE(std::chrono::steady_clock::now() - start, least);
  EXPECT_EQ(s.board.RomRange(0x1000, 3), (Bytes{0x11, 0x22, 0x33}));
  EXPECT_EQ(s.board.Anomalies(), std::vector<std::string>{});
}

TEST(SimBoard, StopRemovesItsLinkButNotAForeignFile) {
  fs::path link = fs::temp_directory_path() / ("porten-link-" + std::to_string(::getpid()));
  fs::remove(link);
  {
    BoardOptions options;
    options.linkPath = link.string();
    SimBoard board(options);
    ASSERT_TRUE(board.Start()) << board.Error();
    EXPECT_EQ(fs::read_symlink(link), fs::path(board.SlavePath()));
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));

  std::ofstream(link) << "keep me";
  BoardOptions options;
  options.linkPath = link.string();
  SimBoard board(options);
  EXPECT_FALSE(board.Start());
  EXPECT_EQ(board.Error(), link.string() + " exists and is not a symbolic link: File exists");
  EXPECT_TRUE(fs::is_regular_file(link));
  fs::remove(link);
}

TEST(SparseMemory, WritesAcrossPagesAndMergesRanges) {
  SparseMemory m;
  Bytes data(5000, 0x42);
  m.Write(0x0FFE, data.data(), data.size());
  Bytes two = {1, 2};
  m.Write(0x0FFC, two.data(), 2);       // touches the front: merges
  m.Write(0x9000, two.data(), 2);       // apart
  m.Write(0xFFFFFFFF, two.data(), 2);   // clipped at the top of the address space
  EXPECT_EQ(m.At(0x0FFB), 0xFF);
  EXPECT_EQ(m.Range(0x0FFC, 3), (Bytes{1, 2, 0x42}));
  EXPECT_EQ(m.At(0x0FFE + 4999), 0x42);
  EXPECT_EQ(m.At(0x0FFE + 5000), 0xFF);
  using R = std::pair<uint32_t, uint32_t>;
  EXPECT_EQ(m.WrittenRanges(), (std::vector<R>{{0x0FFC, 0x0FFE + 4999}, {0x9000, 0x9001}, {0xFFFFFFFF, 0xFFFFFFFF}}));
  EXPECT_EQ(m.WrittenBytes(), 5002u + 2u + 1u);
}

TEST(ImageFiles, SRecordAndBinaryRoundTrip) {
  fs::path dir = fs::temp_directory_path() / ("porten-img-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  SparseMemory m;
  Bytes data(70);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  m.Write(0x1000, data.data(), data.size());
  m.Write(0x1050, data.data(), 2);
  std::string error;
  ASSERT_TRUE(WriteMemoryFile((dir / "rom.mot").string(), m, error)) << error;
  ASSERT_TRUE(WriteMemoryFile((dir / "rom.bin").string(), m, error)) << error;

  SparseMemory back;
  ASSERT_TRUE(ReadSRecordFile((dir / "rom.mot").string(), back, error)) << error;
  EXPECT_EQ(back.WrittenRanges(), m.WrittenRanges());
  EXPECT_EQ(back.Range(0x1000, 0x52), m.Range(0x1000, 0x52));

  std::ifstream bin(dir / "rom.bin", std::ios::binary);
  Bytes binBytes((std::istreambuf_iterator<char>(bin)), std::istreambuf_iterator<char>());
  EXPECT_EQ(binBytes, m.Range(0x1000, 0x52));  // 70 bytes, 10 x FF, 2 bytes

  std::ofstream(dir / "bad.mot") << "S1061000112233FF\r\n";
  EXPECT_FALSE(ReadSRecordFile((dir / "bad.mot").string(), back, error));
  EXPECT_EQ(error, (dir / "bad.mot").string() + ":1: checksum error");
  EXPECT_FALSE(WriteMemoryFile((dir / "rom.hex").string(), m, error));
  EXPECT_EQ(error, (dir / "rom.hex").string() + ": unknown file type (use .bin, .mot or .srec)");
  fs::remove_all(dir);
}

// porten-board as a process: --once with --expect, and the files it writes.
class BoardProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("porten-board-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    fs::remove_all(dir_);
  }
  void Spawn(std::vector<std::string> args) {
    args.insert(args.begin(), PORTEN_BOARD_EXE);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (dir_ / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(posix_spawn(&pid_, PORTEN_BOARD_EXE, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
  }
  // Exit status, or -1 if it did not end within the wait.
  int WaitExit() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  bool WaitFor(const std::function<bool()>& pred) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!pred()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  std::vector<std::string> Output() {
    std::ifstream in(dir_ / "out.txt");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Talks to the process's board with a port of our own.
  void Download(const std::string& link) {
    TermiosPort port;
    ASSERT_TRUE(port.Open(link, 4800, 1, 0)) << port.LastError();
    auto exchange = [&](const std::vector<Step>& steps) {
      for (const Step& step : steps) {
        if (step.reopenBaud) {
          port.Close();
          ASSERT_TRUE(port.Open(link, step.reopenBaud, 1, 0));
          continue;
        }
        ASSERT_EQ(port.Write(step.send.data(), step.send.size(), kWaitMs), step.send.size());
        if (step.expect.empty()) continue;
        Bytes got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (got.size() < step.expect.size() && std::chrono::steady_clock::now() < deadline) {
          Bytes buf(std::max<size_t>(port.WaitReadable(5), 1));
          buf.resize(port.Read(buf.data(), buf.size()));
          got.insert(got.end(), buf.begin(), buf.end());
        }
        ASSERT_EQ(got, step.expect);
      }
    };
    // The silent first step needs no wait: the board answers only the pair.
    exchange(kBootUpload);
    exchange(kBlockWrite);
  }

  fs::path dir_;
  pid_t pid_ = -1;
};

TEST_F(BoardProcess, OnceWithExpectReportsTheMatchAndWritesItsRom) {
  std::string link = (dir_ / "tty").string();
  std::ofstream(dir_ / "image.mot") << "S00600004844521B\r\nS106100011223383\r\nS9030000FC\r\n";
  Spawn({"--link", link, "--once", "--expect", (dir_ / "image.mot").string(), "--rom-out",
         (dir_ / "rom.mot").string()});
  ASSERT_TRUE(WaitFor([&] { return fs::exists(link); }));
  Download(link);
  EXPECT_EQ(WaitExit(), 0);
  auto out = Output();
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back(), "ROM matches " + (dir_ / "image.mot").string() + " (3 bytes)");
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  SparseMemory rom;
  std::string error;
  ASSERT_TRUE(ReadSRecordFile((dir_ / "rom.mot").string(), rom, error)) << error;
  EXPECT_EQ(rom.Range(0x1000, 4), (Bytes{0x11, 0x22, 0x33, 0xFF}));
}

TEST_F(BoardProcess, MismatchNamesTheFirstDifferingAddress) {
  std::string link = (dir_ / "tty").string();
  std::ofstream(dir_ / "image.mot") << "S106100011224472\r\n";  // 44 where the image has 33
  Spawn({"--link", link, "--once", "--expect", (dir_ / "image.mot").string()});
  ASSERT_TRUE(WaitFor([&] { return fs::exists(link); }));
  Download(link);
  EXPECT_EQ(WaitExit(), 1);
  auto out = Output();
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back(), "ROM differs from " + (dir_ / "image.mot").string() + " at 00001002: expected 44, found 33");
}

TEST_F(BoardProcess, TerminationRemovesTheLinkAndVersionIsPrinted) {
  std::string link = (dir_ / "tty").string();
  Spawn({"--link", link});
  ASSERT_TRUE(WaitFor([&] { return fs::exists(link); }));
  ::kill(pid_, SIGTERM);
  EXPECT_EQ(WaitExit(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));

  Spawn({"--version"});
  EXPECT_EQ(WaitExit(), 0);
  EXPECT_EQ(Output(), std::vector<std::string>{"1.0.0.1"});
}

}  // namespace
}  // namespace porten::sim
