// The command line in process: porten-cli info's arguments, its report and
// how a refused file reaches standard error (what loads and what is refused
// is the loader's own tests' business); and its window thread, the console
// loop: one-shot timers in due order, tasks and texts from another thread in
// order, and the predicate that ends a run. Many threads at once are the
// end-to-end tests' part, under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/console_loop.h"
#include "cli/write.h"
#include "support/fakes.h"
#include "support/image_writer.h"

namespace porten::cli {
namespace {

// "123456789" has well-known digests: CRC-32 cbf43926, and the SHA-256 below.
// A refused file: the message as the dialog's box shows it, then the line
// that says where; no dump of it, and no report when the dump fails. A
// command line refused: exit status 1 and one line that says why.
TEST(CliInfo, ReportsAndErrors) {
  testing::TempDir dir;
  const std::vector<testing::Segment> check = {{0x10000, {'1', '2', '3', '4', '5', '6', '7', '8', '9'}}};
  const std::string mot = dir.Write("a.mot", testing::MakeSRecords(check, 2, 16, "\n")), dump = dir.File("out.bin");
  const std::string hex = dir.Write("a.hex", testing::MakeIntelHex(check));
  const std::string elf = dir.Write("a.elf", testing::MakeElf(check)), empty = dir.Write("empty", "");
  const std::string report = "ｱﾄﾞﾚｽ: 00010000 - 00010008\nformat: %\nlength: 9 bytes\nsha256: "
                             "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225\ncrc32: cbf43926\n";
  const std::string usage = "porten-cli info: ", open = ": ﾌｧｲﾙがｵｰﾌﾟﾝ出来ません\n";
  auto no = [](const std::string& what, const std::string& command = "write") {
    return "porten-cli " + command + ": " + what + " (see porten-cli " + command + " --help)\n";
  };
  auto start = [](const std::string& whole, const std::string& expected) {
    return expected.empty() || expected.back() == '\n' ? whole : whole.substr(0, expected.size());
  };
  // Arguments, exit status, standard output and error: whole, or their start
  // when the text does not end in a line feed.
  for (auto [args, status, out, err] : std::vector<std::tuple<std::vector<std::string>, int, std::string, std::string>>{
           {{"info", mot, "--dump-bin", dump}, 0, std::string(report).replace(report.find('%'), 1, "S-record"), ""},
           {{"info", "--dump-bin=" + dump, hex}, 0, std::string(report).replace(report.find('%'), 1, "Intel HEX"), ""},
           {{"info", elf, "--dump-bin", dump}, 0, std::string(report).replace(report.find('%'), 1, "ELF"), ""},
           {{"info", mot, "--dump-bin", dir.File("no/such/dir/out.bin")}, 2, "", usage + "cannot write "},
           {{"info", elf, "--section", ".x"}, 2, "",
            elf + ": no such section in the file\n" + usage + "no section named .x; the sections that load are none\n"},
           {{"info", "-"}, 2, "", "-" + open},
           {{"info", mot, "--section", ".text"}, 1, "", no("--section: " + mot + " is not an ELF file", "info")},
           {{"info", empty, "--section", ".text"}, 1, "", no("--section: " + empty + " is not an ELF file", "info")},
           {{"write", "--port", "A", "--boot", "L"}, 1, "", no("give exactly one IMAGE")},
           {{"write", "--boot", "L", "a"}, 1, "", no("--port is missing")},
           {{"write", "--port", "A", "a"}, 1, "", no("give either --boot LOADER or --ram")},
           {{"write", "--port", "A", "--boot", "L", "--execute", "a"}, 1, "", no("--execute goes with --ram")},
           {{"write", "--port", "A", "--port", "/dev/A", "--ram", "a"}, 1, "", no("port /dev/A is given twice")},
           {{"write", "--port", "A", "--ram", "--timeout", "0", "a"}, 1, "",
            no("--timeout: takes whole seconds from 1 to 86400")},
           {{"write", "--port", "", "--ram", "a"}, 1, "", no("--port: needs a value")},
           // The line sequences: the first bad step is named.
           {{"write", "--port", "A", "--ram", "a", "--before", ""}, 1, "", no("--before: the sequence is empty")},
           {{"write", "--port", "A", "--ram", "a", "--after", "dtr=1,"}, 1, "", no("--after: step 2 is empty")},
           {{"write", "--port", "A", "--ram", "a", "--before", "dtr=2"}, 1, "",
            no("--before: step 1 \"dtr=2\": the level is 1 (asserted) or 0 (cleared)")},
           {{"write", "--port", "A", "--ram", "a", "--before", "dtr=1,wait=10001"}, 1, "",
            no("--before: step 2 \"wait=10001\": the wait is whole milliseconds from 0 to 10000")},
           {{"write", "--port", "A", "--ram", "a", "--before", "rts=0,cts=1"}, 1, "",
            no("--before: step 2 \"cts=1\": not a step; the steps are dtr=1, dtr=0, rts=1, rts=0 and wait=MS")},
           {{"write", "--port", "A", "--ram", "a", "--lines", "dtr"}, 1, "", no("--lines: takes 'dtr-mode' or 'rts-mode'")},
           {{"write", "--port", "A", "--ram", "a", "--lines", "dtr-mode", "--after", "dtr=0"}, 1, "",
            no("--after excludes --lines")},
           {{"station", "--boot", "L"}, 1, "", no("give exactly one IMAGE", "station")},
           {{"station", "--port", "A", "--ram", "a"}, 1, "",
            no("--ram goes with --watch only: a fixed fixture needs the boot mode to tell boards apart", "station")},
           {{"station", "--watch", "D", "--boot", "L", "--execute", "a"}, 1, "",
            no("The following argument was not expected: --execute", "station")},
           {{"station", "--watch", "D", "--boot", "L", "--serial-at", "0", "a"}, 1, "",
            no("--serial-at needs --serial-format", "station")},
           {{"station", "--boot", "L", "--count=0", "a"}, 1, "", no("--count: takes whole numbers from 1 to 100000000", "station")}}) {
    std::ostringstream o, e, dumped;
    std::remove(dump.c_str());
    args.insert(args.begin(), "porten-cli");
    EXPECT_EQ(status, Dispatch(args, o, e)) << ::testing::PrintToString(args);
    EXPECT_EQ(out, start(o.str(), out)) << ::testing::PrintToString(args);
    EXPECT_EQ(err, start(e.str(), err)) << ::testing::PrintToString(args);
    dumped << std::ifstream(dump, std::ios::binary).rdbuf();
    EXPECT_EQ(status == 0 && args[1] == "info" ? "123456789" : "", dumped.str());
  }
}

// What write's command lines mean: ports | loader, ram, execute, imitation,
// quiet | timeout, log | image | line steps before+after.
std::string Meaning(const WriteOptions& o) {
  std::ostringstream m;
  for (const std::string& p : o.ports) m << p << " ";
  m << "|" << o.loader << " " << o.ram << o.execute << o.imitation << o.quiet << "|" << o.timeoutSeconds << " " << o.log
    << "|" << o.image << "|" << o.linesBefore.size() << "+" << o.linesAfter.size();
  return m.str();
}

// porten-cli write's command lines that parse, with what they mean (the
// refused ones are rows of the table above).
// A station's log on a full disk says so, once (the station's end-to-end
// tests read its lines back in order).
TEST(CliLog, WriterSaysAFailureOnce) {
  LogWriter full("/dev/full");
  full.Append("{}");
  full.Flush();
  EXPECT_EQ("cannot append to the log /dev/full: No space left on device", full.TakeError());
  EXPECT_EQ("", full.TakeError());
}

TEST(CliCommandLines, WriteParsesToItsMeaning) {
  for (auto [args, meaning] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--port", "A", "--port=B", "--boot=L", "--imitation", "--", "-x.mot"}, "A B |L 0010|10 |-x.mot|0+0"},
           {{"--port", "A", "x.mot", "--ram", "--execute", "-q", "--timeout=0x10", "--log", "l"}, "A | 1101|16 l|x.mot|0+0"},
           // Spaces around a step are fine.
           {{"--port", "A", "--ram", "a", "--lines", "rts-mode"}, "A | 1000|10 |a|5+4"},
           {{"--port", "A", "--ram", "a", "--after", " dtr=0 , wait=0,rts=1"}, "A | 1000|10 |a|0+3"}}) {
    std::ostringstream out, err;
    WriteOptions options;
    CLI::App app("", "porten-cli write");
    DeclareWriteCommand(app, options);
    EXPECT_EQ(std::nullopt, args::Parse(app, args, out, err)) << err.str();
    EXPECT_EQ(meaning, Meaning(options));
  }
  // The help is our own text: the options as declared, in their column,
  // between the description and the exit statuses.
  std::ostringstream out, err;
  EXPECT_EQ(0, Dispatch({"porten-cli", "info", "--help"}, out, err));
  const std::string options = "\n\n  --dump-bin OUT  also write the image to OUT, from its lowest address for\n"
                              "                  its length; bytes no record sets are 0xFF\n"
                              "  --section NAME  load only the section NAME of an ELF file, at its load\n"
                              "                  address (LMA); once for each section to load\n\nExit";
  EXPECT_EQ(options, out.str().substr(out.str().find("\n\n"), options.size()));
}

// ---- The console loop -------------------------------------------------------

// A loop on a manual clock whose timers land here.
struct Console : ::testing::Test, TimerTarget {
  Console() { loop.Bind(this); }
  void OnTimer(int id) override { fired.push_back(id); onTimer(id); }
  testing::FakeWindow clock;  // only its clock
  ConsoleLoop loop{clock};
  std::vector<int> fired;
  std::function<void(int)> onTimer = [](int) {};
};

TEST_F(Console, TimersFireOnceInDueOrderAndZeroTimersYieldToWaitingTasks) {
  for (int id : {3, 1, 4, 2, 5}) loop.SetTimer(id, 60 - 10 * id);  // in 30, 50, 20, 40, 10 ms
  loop.KillTimer(4);
  loop.SetTimer(5, 100000);  // restarted: far later than the others
  clock.Advance(80);
  EXPECT_FALSE(loop.RunUntil([] { return false; }, clock.NowMs()));
  ASSERT_EQ((std::vector<int>{3, 2, 1}), fired);
  // A task that keeps posting itself cannot starve a timer.
  std::function<void()> flood = [&] { loop.Post(flood); };
  loop.Post(flood);
  loop.SetTimer(6, 0);
  EXPECT_TRUE(loop.Run([&] { return fired.back() == 6; }));

  // Re-armed with 0 ms by its handler, as the load does, a timer runs (T)
  // after the tasks (t) posted meanwhile. The run ends right after the third
  // T, the task then queued still delivered.
  std::string order;
  onTimer = [&](int) {
    order += 'T';
    loop.SetTimer(101, 0);
    loop.Post([&] { order += 't'; });
  };
  loop.SetTimer(101, 0);
  ASSERT_TRUE(loop.Run([&] { return order.size() == 5; }));
  EXPECT_EQ("TtTtTt", order);
}

// Texts and tasks posted from another thread arrive in order on the loop
// thread; a change made there without posting is seen after Wake.
TEST_F(Console, PostsFromAnotherThreadInOrderThenWake) {
  std::vector<std::string> texts;
  loop.OnText([&, loopThread = std::this_thread::get_id()](Surface, const std::string& t) {
    EXPECT_EQ(loopThread, std::this_thread::get_id());
    texts.push_back(t);
  });
  std::atomic<bool> flag{false};
  std::jthread other([&] {
    for (int i = 0; i < 1000; ++i) loop.SetText(Surface::kStatus, std::to_string(i));
    loop.Post([&] { flag = true; });
  });
  ASSERT_TRUE(loop.Run([&] { return flag.load(); }));
  for (size_t i = 0; i < 1000; ++i) ASSERT_EQ(std::to_string(i), texts.at(i));
  flag = false;
  std::jthread waker([&] { flag = true; loop.Wake(); });
  EXPECT_TRUE(loop.Run([&] { return flag.load(); }));
}

}  // namespace
}  // namespace porten::cli
