// porten-board: a simulated target board on a pseudo-terminal, for trying the
// tool without hardware and for end-to-end tests and benchmarks.
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "link/board_links.h"
#include "sim/image_files.h"
#include "sim/sim_board.h"

namespace {

using porten::sim::BoardOptions;
using porten::sim::SimBoard;
using porten::sim::SparseMemory;

constexpr char kUsage[] =
    "Usage: porten-board [--link PATH] [options]\n"
    "\n"
    "Simulates the target board on a pseudo-terminal linked at PATH: boot mode at\n"
    "4800 bit/s, the uploaded boot loader at 38400 bit/s, RAM transfer (\"2\") and\n"
    "run (\"1\"). Prints one line per protocol event. Stops on SIGINT or SIGTERM\n"
    "and removes the link.\n"
    "\n"
    "Options:\n"
    "  --link PATH            symbolic link to create for the pty (default:\n"
    "                         $XDG_RUNTIME_DIR/porten/ttySIM0, or\n"
    "                         /tmp/porten-UID/ttySIM0 without XDG_RUNTIME_DIR,\n"
    "                         in a directory of mode 700 made for it)\n"
    "  --sync MODE            when boot mode answers the sync: 'first' (at once),\n"
    "                         'pair' (after 00 + 00 00, default) or 'triple'\n"
    "                         (only after \"0\"/\"3\" 00 00 00)\n"
    "  --start-in-loader      start as if a loader already ran (RAM transfer ready)\n"
    "  --rom-out FILE         write the ROM after each finished write and at exit\n"
    "  --ram-out FILE         write the RAM likewise; FILE ending .bin is binary,\n"
    "                         .mot/.srec/.s19/.s28/.s37 gives S-records\n"
    "  --expect FILE          compare the ROM with this S-record file after each write\n"
    "  --once                 exit after the first finished write: status 0 when the\n"
    "                         ROM matches --expect (or without --expect), else 1\n"
    "  --wire-time            take 10 bits per byte at the current rate, both ways\n"
    "Faults:\n"
    "  --silent               answer nothing at all\n"
    "  --no-sync-answer       boot mode never answers the sync\n"
    "  --wrong-echo K         alter the echo of boot loader byte K (from 0)\n"
    "  --error-after-block K  send 0x60 instead of the next request after block K\n"
    "                         (0: right after the header)\n"
    "  --hangup-after N       vanish (pty closed, link removed) when N bytes have come\n"
    "  --noise N              send N random bytes ...\n"
    "  --noise-at WHEN        ... 'sync' (before the sync answer, default) or 'start'\n"
    "                         (on the tool's first byte)\n"
    "  --seed S               random seed for the noise (default 1)\n"
    "  --burst N              send N bytes at once right after the header\n"
    "  --burst-byte HEX       the burst's byte value (default 5A)\n"
    "  --help                 this text\n"
    "  --version              the version\n";

std::mutex g_out;

void Say(const std::string& line) {
  std::lock_guard lock(g_out);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

bool ParseInt(const char* text, long long min, long long max, long long& out) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
  out = v;
  return true;
}

struct Outputs {
  std::string romOut, ramOut, expect;
};

void WriteOutputs(const SimBoard& board, const Outputs& out) {
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

}  // namespace

int main(int argc, char** argv) {
  BoardOptions options;
  Outputs outputs;
  bool once = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "porten-board: %s needs a value\n", arg.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    auto number = [&](long long min, long long max) {
      const char* text = value();
      long long v = 0;
      if (!ParseInt(text, min, max, v)) {
        std::fprintf(stderr, "porten-board: %s: bad value '%s'\n", arg.c_str(), text);
        std::exit(2);
      }
      return v;
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      std::puts("1.0.0.1");
      return 0;
    } else if (arg == "--link") {
      options.linkPath = value();
    } else if (arg == "--sync") {
      std::string mode = value();
      if (mode == "first") options.sync = porten::sim::SyncAnswer::kAtOnce;
      else if (mode == "pair") options.sync = porten::sim::SyncAnswer::kAfterPair;
      else if (mode == "triple") options.sync = porten::sim::SyncAnswer::kAfterTriple;
      else {
        std::fprintf(stderr, "porten-board: --sync: 'first', 'pair' or 'triple'\n");
        return 2;
      }
    } else if (arg == "--start-in-loader") {
      options.startInLoader = true;
    } else if (arg == "--rom-out") {
      outputs.romOut = value();
    } else if (arg == "--ram-out") {
      outputs.ramOut = value();
    } else if (arg == "--expect") {
      outputs.expect = value();
    } else if (arg == "--once") {
      once = true;
    } else if (arg == "--wire-time") {
      options.wireTime = true;
    } else if (arg == "--silent") {
      options.silent = true;
    } else if (arg == "--no-sync-answer") {
      options.syncNeverAnswered = true;
    } else if (arg == "--wrong-echo") {
      options.wrongEchoAt = static_cast<int>(number(0, 32767));
    } else if (arg == "--error-after-block") {
      options.errorAfterBlock = static_cast<int>(number(0, 1 << 24));
    } else if (arg == "--hangup-after") {
      options.hangUpAfterBytes = number(1, INT64_MAX);
    } else if (arg == "--noise") {
      options.noiseBytes = static_cast<int>(number(0, 1 << 20));
    } else if (arg == "--noise-at") {
      std::string when = value();
      if (when == "sync") options.noiseAt = porten::sim::NoiseAt::kBeforeSyncAnswer;
      else if (when == "start") options.noiseAt = porten::sim::NoiseAt::kFirstByte;
      else {
        std::fprintf(stderr, "porten-board: --noise-at: 'sync' or 'start'\n");
        return 2;
      }
    } else if (arg == "--seed") {
      options.seed = static_cast<uint32_t>(number(0, UINT32_MAX));
    } else if (arg == "--burst") {
      options.burstBytes = static_cast<int>(number(0, 1 << 20));
    } else if (arg == "--burst-byte") {
      const char* text = value();
      long long v = 0;
      if (!ParseInt((std::string("0x") + text).c_str(), 0, 255, v)) {
        std::fprintf(stderr, "porten-board: --burst-byte: two hex digits\n");
        return 2;
      }
      options.burstValue = static_cast<uint8_t>(v);
    } else {
      std::fprintf(stderr, "porten-board: unknown option '%s' (see --help)\n", arg.c_str());
      return 2;
    }
  }
  if (options.linkPath.empty()) {
    // The user's private directory: anyone could have made the name in /tmp
    // first, so a directory that is not safely ours is refused.
    std::string error;
    if (!porten::EnsureBoardLinkDir(porten::BoardLinkDir(), &error)) {
      std::fprintf(stderr, "porten-board: %s\n", error.c_str());
      return 2;
    }
    options.linkPath = porten::DefaultBoardLink();
  }

  // Signals are taken synchronously by the main thread only, so the board's
  // thread (started below) inherits the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  options.onEvent = Say;
  SimBoard board(options);
  if (!board.Start()) {
    std::fprintf(stderr, "porten-board: %s\n", board.Error().c_str());
    return 1;
  }
  Say("board on " + options.linkPath + " -> " + board.SlavePath());

  int status = 0;
  uint64_t writesSeen = 0;
  size_t anomaliesSeen = 0;
  for (;;) {
    timespec tick{0, 100'000'000};
    int sig = sigtimedwait(&stopSignals, nullptr, &tick);
    if (sig > 0) break;

    auto anomalies = board.Anomalies();
    for (; anomaliesSeen < anomalies.size(); ++anomaliesSeen) Say("anomaly: " + anomalies[anomaliesSeen]);

    uint64_t writes = board.Counters().writesDone;
    if (writes != writesSeen) {
      writesSeen = writes;
      WriteOutputs(board, outputs);
      status = outputs.expect.empty() ? 0 : CompareRom(board, outputs.expect);
      if (once) {
        // The final 0x00 may still be on its way: closing the pty now would
        // leave the tool waiting for it.
        board.WaitFor([&] { return board.Drained(); }, 2000);
        break;
      }
    }
    if (board.HungUp() && once) {
      status = 1;
      break;
    }
  }
  board.Stop();
  WriteOutputs(board, outputs);
  return status;
}
