// porten-board: a simulated target board on a pseudo-terminal, for trying the
// tool without hardware and for end-to-end tests and benchmarks.
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "link/board_links.h"
#include "sim/board_args.h"
#include "sim/image_files.h"
#include "sim/sim_board.h"
#include "sim/sim_fixture.h"

namespace {

using porten::sim::BoardOptions;
using porten::sim::BoardSettings;
using porten::sim::ParseBoardArgs;
using porten::sim::SimBoard;
using porten::sim::SparseMemory;

std::mutex g_out;

void Say(const std::string& line) {
  std::lock_guard lock(g_out);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void WriteOutputs(const SimBoard& board, const BoardSettings& out) {
  std::string error;
  if (!out.romOut.empty() && !porten::sim::WriteMemoryFile(out.romOut, board.Rom(), error)) Say(error);
  if (!out.ramOut.empty() && !porten::sim::WriteMemoryFile(out.ramOut, board.Ram(), error)) Say(error);
}

// 0 when the ROM holds every byte of the expected file, 1 otherwise.
int CompareRom(const SimBoard& board, const std::string& path) {
  SparseMemory want;
  std::string error;
  if (!porten::sim::ReadSRecordFile(path, want, error)) {
    Say(error);
    return 1;
  }
  SparseMemory rom = board.Rom();
  for (const auto& [first, last] : want.WrittenRanges()) {
    for (uint64_t a = first; a <= last; ++a) {
      uint32_t address = static_cast<uint32_t>(a);
      if (rom.At(address) != want.At(address)) {
        char line[160];
        std::snprintf(line, sizeof line, "ROM differs from %s at %08X: expected %02X, found %02X", path.c_str(),
                      address, want.At(address), rom.At(address));
        Say(line);
        return 1;
      }
    }
  }
  Say("ROM matches " + path + " (" + std::to_string(want.WrittenBytes()) + " bytes)");
  return 0;
}

// Without --link: the user's private directory. Anyone could have made the
// name in /tmp first, so a directory that is not safely ours is refused.
bool UseDefaultLink(BoardOptions& options) {
  if (!options.linkPath.empty()) return true;
  std::string error;
  if (!porten::EnsureBoardLinkDir(porten::BoardLinkDir(), &error)) {
    std::fprintf(stderr, "porten-board: %s\n", error.c_str());
    return false;
  }
  options.linkPath = porten::DefaultBoardLink();
  return true;
}

// Signals are taken synchronously by the main thread only: blocked here,
// before the board's thread starts, so that it inherits the mask.
sigset_t BlockStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  return stopSignals;
}

// Reports the board's anomalies and finished writes until a stop signal, or
// with once until the first write or hang-up; returns the exit status.
int Serve(SimBoard& board, const BoardSettings& s, const sigset_t& stopSignals) {
  int status = 0;
  uint64_t writesSeen = 0;
  size_t anomaliesSeen = 0;
  for (;;) {
    timespec tick{0, 100'000'000};
    if (sigtimedwait(&stopSignals, nullptr, &tick) > 0) return status;

    auto anomalies = board.Anomalies();
    for (; anomaliesSeen < anomalies.size(); ++anomaliesSeen) Say("anomaly: " + anomalies[anomaliesSeen]);

    uint64_t writes = board.Counters().writesDone;
    if (writes != writesSeen) {
      writesSeen = writes;
      WriteOutputs(board, s);
      status = s.expect.empty() ? 0 : CompareRom(board, s.expect);
      if (s.once) {
        // The final 0x00 may still be on its way: closing the pty now would
        // leave the tool waiting for it.
        board.WaitFor([&] { return board.Drained(); }, 2000);
        return status;
      }
    }
    if (board.HungUp() && s.once) return 1;
  }
}

// A fixture of boards until a stop signal, or until --boards have come and
// gone; the summary counts the boards whose ROM matched --expect.
int ServeFixture(const BoardSettings& s, const sigset_t& stopSignals) {
  porten::sim::FixtureOptions f;
  f.knobs = s.board;
  f.wireTime = s.board.wireTime;
  f.hotPlug = !s.hotPlugDir.empty();
  f.link = s.board.linkPath;
  f.linkDir = s.hotPlugDir;
  f.offMs = static_cast<int>(s.offSeconds * 1000);
  f.keepSyncs = s.keepSyncs;
  f.boards = s.boards;
  f.onEvent = Say;
  if (!s.expect.empty()) {
    SparseMemory want;
    std::string error;
    if (!porten::sim::ReadSRecordFile(s.expect, want, error)) {
      std::fprintf(stderr, "porten-board: %s\n", error.c_str());
      return 2;
    }
    f.expect = want;
  }
  porten::sim::SimFixture fixture(f);
  if (!fixture.Start()) {
    std::fprintf(stderr, "porten-board: %s\n", fixture.Error().c_str());
    return 1;
  }
  if (!f.hotPlug) Say("fixture on " + s.board.linkPath);
  auto allGone = [&] {
    const auto boards = fixture.Boards();
    return s.boards > 0 && static_cast<int>(boards.size()) == s.boards &&
           std::all_of(boards.begin(), boards.end(), [](auto& b) { return b.off; });
  };
  for (;;) {
    timespec tick{0, 100'000'000};
    if (sigtimedwait(&stopSignals, nullptr, &tick) > 0 || allGone()) break;
  }
  fixture.Stop();
  for (const auto& a : fixture.Anomalies()) Say("anomaly: " + a);
  const auto boards = fixture.Boards();
  std::string summary = "boards: " + std::to_string(boards.size()) + " placed, " +
                        std::to_string(fixture.Written()) + " written";
  if (!s.expect.empty()) summary += ", " + std::to_string(fixture.Matched()) + " matched " + s.expect;
  Say(summary);
  return s.expect.empty() || fixture.Matched() == fixture.Written() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  BoardSettings settings;
  if (auto status = ParseBoardArgs(std::vector<std::string>(argv + 1, argv + argc), settings, std::cout, std::cerr)) {
    return *status;
  }
  if (settings.hotPlugDir.empty() && !UseDefaultLink(settings.board)) return 2;
  const sigset_t stopSignals = BlockStopSignals();
  if (settings.fixture || !settings.hotPlugDir.empty()) return ServeFixture(settings, stopSignals);

  settings.board.onEvent = Say;
  SimBoard board(settings.board);
  if (!board.Start()) {
    std::fprintf(stderr, "porten-board: %s\n", board.Error().c_str());
    return 1;
  }
  Say("board on " + settings.board.linkPath + " -> " + board.SlavePath());
  const int status = Serve(board, settings, stopSignals);
  board.Stop();
  WriteOutputs(board, settings);
  return status;
}
