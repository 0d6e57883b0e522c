// The board on a pty: the tool's rate read from the line, the link, the
// hang-up; and porten-board's default link directory.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "link/termios_port.h"
#include "sim/sim_board.h"

namespace porten::sim {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
constexpr int kWaitMs = 10000;  // generous: CI machines are loaded

struct TempDir {
  TempDir() : path(fs::temp_directory_path() / ("porten-sim-" + std::to_string(::getpid()))) {
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~TempDir() { fs::remove_all(path); }
  fs::path path;
};

// Sends bytes and reads exactly `expect.size()` bytes back.
Bytes Exchange(TermiosPort& port, const Bytes& send, size_t expect) {
  EXPECT_EQ(port.Write(send.data(), send.size(), kWaitMs), send.size());
  Bytes got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (got.size() < expect && std::chrono::steady_clock::now() < deadline) {
    Bytes buf(std::min(std::max<size_t>(port.WaitReadable(5), 1), expect - got.size()));
    buf.resize(port.Read(buf.data(), buf.size()));
    got.insert(got.end(), buf.begin(), buf.end());
  }
  return got;
}

// The tool's download of a 2-byte loader and the image 11 22 33 at 0x1000;
// board->WaitFor lets the board see each new rate.
void Download(TermiosPort& port, const std::string& path, SimBoard* board) {
  auto reopen = [&](int baud) {
    port.Close();
    ASSERT_TRUE(port.Open(path, baud, 1, 0)) << port.LastOpenError().detail;
    if (board) {
      ASSERT_TRUE(board->WaitFor([&] { return board->SampledToolRate() == baud; }, kWaitMs));
    }
  };
  reopen(4800);
  // The board answers the pair only: the first 00 needs no wait.
  EXPECT_EQ(Exchange(port, {0x00}, 0), Bytes{});
  EXPECT_EQ(Exchange(port, {0x00, 0x00}, 1), Bytes{0x00});
  EXPECT_EQ(Exchange(port, {0x55, 0x00, 0x02, 0xAB, 0xCD}, 6), (Bytes{0xAA, 0x00, 0x02, 0xAB, 0xCD, 0xAA}));
  reopen(38400);
  EXPECT_EQ(Exchange(port, {'3', 'D', 'D', 0x88}, 4), (Bytes{0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Exchange(port, {0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x80}, 1), Bytes{0x11});
  Bytes block(128, 0xFF);
  block[0] = 0x11, block[1] = 0x22, block[2] = 0x33;
  EXPECT_EQ(Exchange(port, block, 1), Bytes{0x00});
  reopen(4800);
}

TEST(SimBoard, JudgesBytesByTheToolsRateAndDownloadsWithWireTime) {
  TempDir dir;
  BoardOptions options;
  options.linkPath = (dir.path / "tty").string();
  options.wireTime = true;
  fs::create_symlink("/dev/null", options.linkPath);  // a stale link is replaced
  SimBoard board(options);
  ASSERT_TRUE(board.Start()) << board.Error();
  EXPECT_EQ(fs::read_symlink(options.linkPath), fs::path(board.SlavePath()));
  TermiosPort port;
  ASSERT_TRUE(port.Open(board.PortPath(), 38400, 1, 0)) << port.LastOpenError().detail;
  ASSERT_TRUE(board.WaitFor([&] { return board.SampledToolRate() == 38400; }, kWaitMs));
  EXPECT_EQ(Exchange(port, {0x00}, 0), Bytes{});
  ASSERT_TRUE(board.WaitFor([&] { return !board.Anomalies().empty(); }, kWaitMs));
  Download(port, board.PortPath(), &board);
  EXPECT_EQ(board.Anomalies(), std::vector<std::string>{"byte 00 at 38400 bit/s in boot sync, expected 4800 bit/s"});
  EXPECT_EQ(board.RomRange(0x1000, 4), (Bytes{0x11, 0x22, 0x33, 0xFF}));
  EXPECT_TRUE(board.WaitFor([&] { return board.Drained(); }, kWaitMs));
  EXPECT_EQ(board.Counters().bytesToTool, 13u);
  const LatencyStats latency = board.ReplyLatency();
  EXPECT_GT(latency.count, 0u);
  EXPECT_TRUE(latency.p50Us <= latency.p99Us && latency.p99Us <= latency.maxUs && latency.maxUs > 0);
  board.Stop();
  EXPECT_FALSE(fs::exists(fs::symlink_status(options.linkPath)));
}

TEST(SimBoard, HangUpTakesThePortAwayAndAForeignFileIsNoLink) {
  TempDir dir;
  BoardOptions options;
  options.linkPath = (dir.path / "tty").string();
  options.hangUpAfterBytes = 3;
  SimBoard board(options);
  ASSERT_TRUE(board.Start()) << board.Error();
  TermiosPort port;
  ASSERT_TRUE(port.Open(board.PortPath(), 4800, 1, 0)) << port.LastOpenError().detail;
  EXPECT_EQ(Exchange(port, {0x00, 0x00, 0x00}, 0), Bytes{});
  ASSERT_TRUE(board.WaitForEvent("hang-up after 3 bytes", kWaitMs));
  EXPECT_TRUE(board.HungUp());
  EXPECT_FALSE(fs::exists(fs::symlink_status(options.linkPath)));
  EXPECT_EQ(port.WaitReadable(20), 0u);
  port.Close();
  EXPECT_FALSE(port.Open(options.linkPath, 4800, 1, 0));
  EXPECT_EQ(port.LastOpenError().kind, OpenFailure::kNotFound);
  EXPECT_FALSE(port.Open(board.SlavePath(), 4800, 1, 0));

  std::ofstream(options.linkPath) << "keep me";
  SimBoard refused(options);
  EXPECT_FALSE(refused.Start());
  EXPECT_EQ(refused.Error(), options.linkPath + " exists and is not a symbolic link: File exists");
  EXPECT_TRUE(fs::is_regular_file(options.linkPath));
}

// porten-board with XDG_RUNTIME_DIR=dir, ended by timeout should a test leave it running.
std::string Command(const fs::path& dir, const std::string& args) {
  return "XDG_RUNTIME_DIR=" + dir.string() + " timeout 60 " PORTEN_BOARD_EXE " " + args;
}

TEST(BoardProgram, MakesItsDefaultLinkInAPrivateDirectory) {
  TempDir dir;
  const fs::path link = dir.path / "porten" / "ttySIM0";
  std::ofstream(dir.path / "image.mot") << "S106100011224472\r\n";  // 44 where the download has 33
  FILE* out = ::popen(Command(dir.path, "--once --expect " + (dir.path / "image.mot").string()).c_str(), "r");
  for (int i = 0; i < kWaitMs / 10 && !fs::exists(link); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(fs::status(dir.path / "porten").permissions(), fs::perms::owner_all);
  TermiosPort port;
  Download(port, link.string(), nullptr);
  std::vector<std::string> lines;
  for (char line[256]; std::fgets(line, sizeof line, out);) lines.emplace_back(line);
  EXPECT_EQ(WEXITSTATUS(::pclose(out)), 1);
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0].rfind("board on " + link.string() + " -> /dev/pts/", 0), 0u) << lines[0];
  EXPECT_EQ(std::vector(lines.begin() + 1, lines.begin() + 7),
            (std::vector<std::string>{"sync answered\n", "handshake\n", "boot loader size 2\n",
                                      "boot loader runs (2 bytes)\n", "loader ready\n",
                                      "header address 00001000 length 128\n"}));
  // The event comes from the board's thread, the comparison from the main one.
  std::sort(lines.begin() + 7, lines.end());
  EXPECT_EQ(lines[7], "ROM differs from " + (dir.path / "image.mot").string() +
                          " at 00001002: expected 44, found 33\n");
  EXPECT_EQ(lines[8], "write done: ROM 00001000-0000107F (128 bytes)\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST(BoardProgram, RefusesAnUnsafeDefaultDirectory) {
  const struct {
    const char* make;
    const char* error;
  } cases[] = {{"ln -s . porten", " is a symbolic link; remove it and try again"},
               {"touch porten", " exists and is not a directory"},
               {"mkdir -m 770 porten", " is writable by other users; run chmod 700 on it"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.make);
    TempDir dir;
    ASSERT_EQ(std::system(("cd " + dir.path.string() + " && " + c.make).c_str()), 0);
    EXPECT_EQ(WEXITSTATUS(std::system(Command(dir.path, "2>" + (dir.path / "err").string()).c_str())), 2);
    std::string err;
    std::getline(std::ifstream(dir.path / "err"), err);
    EXPECT_EQ(err, "porten-board: " + (dir.path / "porten").string() + c.error);
    EXPECT_FALSE(fs::exists(dir.path / "porten" / "ttySIM0"));
  }
}

}  // namespace
}  // namespace porten::sim
