#include "sim/board_args.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "cli/args.h"

namespace porten::sim {

namespace {

constexpr char kHead[] =
    "Usage: porten-board [--link PATH] [options]\n"
    "\n"
    "Simulates the target board on a pseudo-terminal linked at PATH: boot mode at\n"
    "4800 bit/s, the uploaded boot loader at 38400 bit/s, RAM transfer (\"2\") and\n"
    "run (\"1\"). Prints one line per protocol event. Stops on SIGINT or SIGTERM\n"
    "and removes the link.\n";
constexpr char kTail[] =
    "  --help                 this text\n"
    "  --version              the version\n";
constexpr size_t kColumn = 25;

// What the options take as words and digits, before they become settings.
struct Words {
  std::string sync = "pair";
  std::string noiseAt = "sync";
  std::string burstByte;
  std::string keepOn;
};

void DeclareOptions(CLI::App& app, BoardSettings& s, Words& w) {
  BoardOptions& b = s.board;
  args::SetHelp(app, kHead, kTail, kColumn, /*headings=*/true);
  app.add_flag("--version", s.version)->group("");
  app.option_defaults()->group("Options");
  args::AddText(app, "--link", b.linkPath, "PATH",
                "symbolic link to create for the pty (default:\n"
                "$XDG_RUNTIME_DIR/porten/ttySIM0, or\n"
                "/tmp/porten-UID/ttySIM0 without XDG_RUNTIME_DIR,\n"
                "in a directory of mode 700 made for it)");
  args::AddChoice(app, "--sync", w.sync, {"first", "pair", "triple"}, "MODE",
                  "when boot mode answers the sync: 'first' (at once),\n"
                  "'pair' (after 00 + 00 00, default) or 'triple'\n"
                  "(only after \"0\"/\"3\" 00 00 00)");
  app.add_flag("--start-in-loader", b.startInLoader, "start as if a loader already ran (RAM transfer ready)");
  args::AddText(app, "--rom-out", s.romOut, "FILE", "write the ROM after each finished write and at exit");
  args::AddText(app, "--ram-out", s.ramOut, "FILE",
                "write the RAM likewise; FILE ending .bin is binary,\n"
                ".mot/.srec/.s19/.s28/.s37 gives S-records");
  args::AddText(app, "--expect", s.expect, "FILE", "compare the ROM with this S-record file after each write");
  app.add_flag("--once", s.once,
               "exit after the first finished write: status 0 when the\n"
               "ROM matches --expect (or without --expect), else 1");
  app.add_flag("--wire-time", b.wireTime, "take 10 bits per byte at the current rate, both ways");
  app.option_defaults()->group("A fixture of boards");
  app.add_flag("--fixture", s.fixture,
               "after each finished write the board is taken off and,\n"
               "after --off-time, a fresh erased board is placed on the\n"
               "same link, in boot mode");
  args::AddText(app, "--hot-plug", s.hotPlugDir, "DIR",
                "the same, each board with its own link DIR/ttySIMN,\n"
                "made when it is placed and removed when it is taken off");
  app.add_option("--off-time", s.offSeconds, "seconds the fixture stays empty (default 3)")
      ->type_name("S")
      ->check(CLI::Range(0.0, 3600.0).description(""));
  args::AddText(app, "--keep-on", w.keepOn, "N",
                "leave a written board on the fixture, back in boot mode\n"
                "and answering, for N more syncs, or 'forever'")
      ->check(CLI::Validator(
          [](std::string& v) -> std::string {
            const bool number = !v.empty() && v.size() < 7 && std::all_of(v.begin(), v.end(), [](unsigned char c) {
              return std::isdigit(c) != 0;
            }) && std::stoi(v) > 0;
            return number || v == "forever" ? "" : "takes a number of syncs from 1, or 'forever'";
          },
          ""));
  args::AddNumber(app, "--boards", s.boards, 1, 100000000, "N", "place N boards, and exit when the last is taken off");
  app.option_defaults()->group("Faults");
  app.add_flag("--silent", b.silent, "answer nothing at all");
  app.add_flag("--no-sync-answer", b.syncNeverAnswered, "boot mode never answers the sync");
  args::AddNumber(app, "--wrong-echo", b.wrongEchoAt, 0, 32767, "K", "alter the echo of boot loader byte K (from 0)");
  args::AddNumber(app, "--error-after-block", b.errorAfterBlock, 0, 1 << 24, "K",
                  "send 0x60 instead of the next request after block K\n"
                  "(0: right after the header)");
  args::AddNumber(app, "--hangup-after", b.hangUpAfterBytes, 1, INT64_MAX, "N",
                  "vanish (pty closed, link removed) when N bytes have come");
  args::AddNumber(app, "--noise", b.noiseBytes, 0, 1 << 20, "N", "send N random bytes ...");
  args::AddChoice(app, "--noise-at", w.noiseAt, {"sync", "start"}, "WHEN",
                  "... 'sync' (before the sync answer, default) or 'start'\n"
                  "(on the tool's first byte)");
  args::AddNumber(app, "--seed", b.seed, 0, UINT32_MAX, "S", "random seed for the noise (default 1)");
  args::AddNumber(app, "--burst", b.burstBytes, 0, 1 << 20, "N", "send N bytes at once right after the header");
  args::AddText(app, "--burst-byte", w.burstByte, "HEX", "the burst's byte value (default 5A)")
      ->check(CLI::Validator(
          [](std::string& v) -> std::string {
            const bool hex = !v.empty() && v.size() <= 2 && std::all_of(v.begin(), v.end(), [](unsigned char c) {
              return std::isxdigit(c) != 0;
            });
            return hex ? "" : "takes two hex digits";
          },
          ""));
}

// The words and digits the options took, as the board's settings.
void Interpret(const Words& w, BoardSettings& s) {
  using porten::sim::NoiseAt;
  using porten::sim::SyncAnswer;
  BoardOptions& b = s.board;
  b.sync = w.sync == "first" ? SyncAnswer::kAtOnce : w.sync == "triple" ? SyncAnswer::kAfterTriple
                                                                          : SyncAnswer::kAfterPair;
  b.noiseAt = w.noiseAt == "start" ? NoiseAt::kFirstByte : NoiseAt::kBeforeSyncAnswer;
  if (!w.burstByte.empty()) b.burstValue = static_cast<uint8_t>(std::stoul(w.burstByte, nullptr, 16));
  if (!w.keepOn.empty()) s.keepSyncs = w.keepOn == "forever" ? -1 : std::stoi(w.keepOn);
}

}  // namespace

std::optional<int> ParseBoardArgs(const std::vector<std::string>& argv, BoardSettings& settings, std::ostream& out,
                                  std::ostream& err) {
  CLI::App app("a simulated target board", "porten-board");
  Words words;
  DeclareOptions(app, settings, words);
  if (auto status = args::Parse(app, argv, out, err)) return status;
  if (settings.version) {
    out << "1.0.0.1\n";
    return 0;
  }
  Interpret(words, settings);
  const bool fixture = settings.fixture || !settings.hotPlugDir.empty();
  const char* misplaced = settings.fixture && !settings.hotPlugDir.empty() ? "--fixture and --hot-plug exclude each other"
                          : !fixture && (settings.keepSyncs != 0 || settings.boards != 0)
                              ? "--keep-on and --boards go with --fixture or --hot-plug"
                          : fixture && settings.once ? "--once goes without --fixture and --hot-plug"
                                                     : nullptr;
  if (misplaced) {
    err << "porten-board: " << misplaced << " (see porten-board --help)\n";
    return args::kExitUsage;
  }
  return std::nullopt;
}

}  // namespace porten::sim
