// The board on a pty: the tool's rate read from the line, the wire time at
// both rates, the link; and porten-board's default link directory.
#include <sys/wait.h>
#include <unistd.h>

#include <tuple>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include <gtest/gtest.h>

#include "link/termios_port.h"
#include "sim/board_args.h"
#include "sim/sim_board.h"

namespace porten::sim {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
constexpr int kWaitMs = 10000;  // generous: CI machines are loaded

// The tool's download of a 2-byte loader and the image 11 22 33 at 0x1000 from
// a board with wire time: an answer takes at least as long as the line needs
// for the question, 10 bits a byte. board->WaitFor lets the board see each new
// rate; porten-board sees it by the next exchange, as with the tool.
void Download(const std::string& path, SimBoard* board) {
  Bytes block = {0, 0, 0x10, 0, 0, 0, 0, 0x80, 0x11, 0x22, 0x33};  // the header and the block
  block.resize(8 + 128, 0xFF);
  const std::tuple<int, Bytes, Bytes> steps[] = {
      {4800, {0, 0, 0, 0x55, 0, 2, 0xAB, 0xCD}, {0, 0xAA, 0, 2, 0xAB, 0xCD, 0xAA}},
      {38400, {'3', 'D', 'D', 0x88}, {0, 0, 0, 0}},
      {38400, block, {0x11, 0}}};
  TermiosPort port;
  for (const auto& [rate, send, reply] : steps) {
    if (rate != port.Baud()) {
      ASSERT_TRUE(port.Open(path, rate, 1, 0)) << port.LastOpenError().detail;
      ASSERT_TRUE(!board || board->WaitFor([&, r = rate] { return board->SampledToolRate() == r; }, kWaitMs));
    }
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(port.Write(send.data(), send.size(), kWaitMs), send.size());
    Bytes got(reply.size());
    for (size_t n = 0; n < got.size() && port.WaitReadable(kWaitMs) > 0;) n += port.Read(&got[n], got.size() - n);
    EXPECT_EQ(got, reply);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(send.size() * 10'000'000 / rate));
  }
}

TEST(SimBoard, ReadsTheToolsRateTakesTheWireTimeAndKeepsItsLinkAndDescriptors) {
  auto descriptors = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
  const auto held = descriptors();
  const fs::path link = fs::path(::testing::TempDir()) / ("porten-sim-" + std::to_string(::getpid()));
  fs::remove(link);
  fs::create_symlink("/dev/null", link);  // a stale link is replaced
  const BoardOptions options{{}, link.string(), /*wireTime=*/true, {}};
  SimBoard board(options);
  ASSERT_TRUE(board.Start()) << board.Error();
  Download(board.PortPath(), &board);
  EXPECT_TRUE(board.WaitFor([&] { return board.Drained(); }, kWaitMs));
  EXPECT_EQ(board.Counters().bytesToTool, 13u);
  const LatencyStats latency = board.ReplyLatency();
  EXPECT_TRUE(latency.count > 0 && latency.p50Us <= latency.p99Us && latency.p99Us <= latency.maxUs);
  board.Stop();
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  std::ofstream(link) << "keep me";
  EXPECT_FALSE(SimBoard(options).Start());  // a file that is no link stays
  EXPECT_TRUE(fs::remove(link));
  SimBoard{options}.Stop();  // never started
  EXPECT_EQ(descriptors(), held);
}

// What porten-board's command lines mean: the settings that differ from the
// defaults, "; " between them.
std::string Meaning(const BoardSettings& s) {
  const BoardOptions& b = s.board;
  std::string m;
  auto add = [&m](bool on, const std::string& what) { m += on ? what + "; " : ""; };
  add(!b.linkPath.empty(), "link " + b.linkPath);
  add(b.sync != SyncAnswer::kAfterPair, b.sync == SyncAnswer::kAtOnce ? "sync first" : "sync triple");
  add(b.startInLoader, "in loader");
  add(!s.romOut.empty(), "rom " + s.romOut);
  add(!s.ramOut.empty(), "ram " + s.ramOut);
  add(!s.expect.empty(), "expect " + s.expect);
  add(s.once, "once");
  add(b.wireTime, "wire time");
  add(b.silent, "silent");
  add(b.syncNeverAnswered, "no sync answer");
  add(b.wrongEchoAt >= 0, "wrong echo " + std::to_string(b.wrongEchoAt));
  add(b.errorAfterBlock >= 0, "error after " + std::to_string(b.errorAfterBlock));
  add(b.hangUpAfterBytes >= 0, "hang up after " + std::to_string(b.hangUpAfterBytes));
  add(b.noiseBytes > 0, "noise " + std::to_string(b.noiseBytes));
  add(b.noiseAt == NoiseAt::kFirstByte, "noise at start");
  add(b.seed != 1, "seed " + std::to_string(b.seed));
  add(b.burstBytes > 0, "burst " + std::to_string(b.burstBytes));
  add(b.burstValue != 0x5A, "burst byte " + std::to_string(b.burstValue));
  return m;
}

// porten-board's command lines: the forms that parse, with what they mean,
// and the forms refused with exit status 1 and one line that says why.
TEST(BoardProgram, CommandLinesParseToTheirMeaningOrAreRefusedInOneLine) {
  const std::string see = " (see porten-board --help)\n";
  for (auto [args, said] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{}, ""},
           {{"--link", "/tmp/b", "--sync=first", "--start-in-loader", "--rom-out", "r.bin", "--ram-out=m.mot",
             "--expect", "e.mot", "--once", "--wire-time"},
            "link /tmp/b; sync first; in loader; rom r.bin; ram m.mot; expect e.mot; once; wire time; "},
           {{"--silent", "--no-sync-answer", "--wrong-echo", "0", "--error-after-block=3", "--hangup-after", "0x100",
             "--noise", "5", "--noise-at", "start", "--seed", "4294967295", "--burst=7", "--burst-byte", "ff",
             "--sync", "triple"},
            "sync triple; silent; no sync answer; wrong echo 0; error after 3; hang up after 256; noise 5; noise at "
            "start; seed 4294967295; burst 7; burst byte 255; "},
           {{"--bogus"}, "porten-board: The following argument was not expected: --bogus" + see},
           {{"--sync", "twice"}, "porten-board: --sync: takes 'first', 'pair' or 'triple'" + see},
           {{"--noise-at", "end"}, "porten-board: --noise-at: takes 'sync' or 'start'" + see},
           {{"--wrong-echo", "-1"}, "porten-board: --wrong-echo: takes whole numbers from 0 to 32767" + see},
           {{"--hangup-after", "0"}, "porten-board: --hangup-after: takes whole numbers from 1 to 9223372036854775807" + see},
           {{"--seed", "4294967296"}, "porten-board: --seed: takes whole numbers from 0 to 4294967295" + see},
           {{"--burst-byte", "5A5"}, "porten-board: --burst-byte: takes two hex digits" + see},
           {{"--link="}, "porten-board: --link: needs a value" + see},
           {{"--link"}, "porten-board: --link: 1 required PATH missing" + see}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    BoardSettings settings;
    std::ostringstream out, err;
    const std::optional<int> status = ParseBoardArgs(args, settings, out, err);
    EXPECT_EQ(said.find("porten-board") == 0 ? std::optional<int>(1) : std::nullopt, status);
    EXPECT_EQ(said, status ? err.str() : Meaning(settings));
    EXPECT_EQ("", out.str());
  }
}

// porten-board with XDG_RUNTIME_DIR=dir, ended by timeout should a test leave it running.
TEST(BoardProgram, MakesItsDefaultLinkInAPrivateDirectoryOrRefusesAnUnsafeOne) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("porten-board-" + std::to_string(::getpid()));
  const fs::path link = dir / "porten" / "ttySIM0", image = dir / "image.mot";
  fs::create_directories(dir);
  const std::string run = "XDG_RUNTIME_DIR=" + dir.string() + " timeout 60 " PORTEN_BOARD_EXE;
  std::ofstream(image) << "S106100011224472\r\n";  // 44 where the download has 33
  FILE* out = ::popen((run + " --wire-time --once --expect " + image.string()).c_str(), "r");
  char line[256];  // the first one comes once the link is there
  std::string lines = std::fgets(line, sizeof line, out) ? line : "";
  EXPECT_EQ(fs::status(dir / "porten").permissions(), fs::perms::owner_all);
  Download(link.string(), nullptr);
  while (std::fgets(line, sizeof line, out)) lines += line;
  EXPECT_EQ(WEXITSTATUS(::pclose(out)), 1);
  // The events come from the board's thread in order, the comparison from the
  // main one at any point after the write.
  const std::string differs = "ROM differs from " + image.string() + " at 00001002: expected 44, found 33\n";
  const size_t at = lines.find(differs);
  ASSERT_NE(at, std::string::npos) << lines;
  lines.erase(at, differs.size());
  EXPECT_EQ(lines.rfind("board on " + link.string() + " -> /dev/pts/", 0), 0u) << lines;
  EXPECT_EQ(lines.substr(lines.find('\n')), "\nsync answered\nhandshake\nboot loader size 2\nboot loader runs "
                                            "(2 bytes)\nloader ready\nheader address 00001000 length 128\nwrite done: "
                                            "ROM 00001000-0000107F (128 bytes)\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));

  for (const auto& [make, error] : {std::pair{"ln -s . porten", " is a symbolic link; remove it and try again"},
                                    {"touch porten", " exists and is not a directory"},
                                    {"mkdir -m 770 porten", " is writable by other users; run chmod 700 on it"}}) {
    fs::remove_all(dir / "porten");
    ASSERT_EQ(std::system(("cd " + dir.string() + " && " + make).c_str()), 0);
    EXPECT_EQ(WEXITSTATUS(std::system((run + " 2>" + (dir / "err").string()).c_str())), 2);
    std::string err;
    std::getline(std::ifstream(dir / "err"), err);
    EXPECT_EQ(err, "porten-board: " + (dir / "porten").string() + error) << make;
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace porten::sim
