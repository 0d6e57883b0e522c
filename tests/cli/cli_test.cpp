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

#include "cli/commands.h"
#include "cli/console_loop.h"
#include "cli/write.h"
#include "support/image_writer.h"

namespace porten::cli {
namespace {

// "123456789" has well-known digests: CRC-32 cbf43926, and the SHA-256 below.
// A refused file: the message as the dialog's box shows it, then the line
// that says where; no dump of it, and no report when the dump fails.
TEST(CliInfo, ReportsAndErrors) {
  testing::TempDir dir;
  const std::vector<testing::Segment> check = {{0x10000, {'1', '2', '3', '4', '5', '6', '7', '8', '9'}}};
  const std::string mot = dir.Write("a.mot", testing::MakeSRecords(check, 2, 16, "\n")), dump = dir.File("out.bin");
  const std::string hex = dir.Write("a.hex", testing::MakeIntelHex(check));
  const std::string elf = dir.Write("a.elf", testing::MakeElf(check));
  const std::string bad = dir.Write("bad", testing::SRecord(3, 0, {1}) + testing::SRecord(3, 307200, {1}));
  const std::string report = "ｱﾄﾞﾚｽ: 00010000 - 00010008\nformat: %\nlength: 9 bytes\nsha256: "
                             "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225\ncrc32: cbf43926\n";
  const std::string usage = "porten-cli info: ", open = ": ﾌｧｲﾙがｵｰﾌﾟﾝ出来ません\n";
  auto start = [](const std::string& whole, const std::string& expected) {
    return expected.empty() || expected.back() == '\n' ? whole : whole.substr(0, expected.size());
  };
  // Arguments, exit status, standard output and error: whole, or their start
  // when the text does not end in a line feed.
  for (auto [args, status, out, err] : std::vector<std::tuple<std::vector<std::string>, int, std::string, std::string>>{
           {{mot, "--dump-bin", dump}, 0, std::string(report).replace(report.find('%'), 1, "S-record"), ""},
           {{"--dump-bin=" + dump, hex}, 0, std::string(report).replace(report.find('%'), 1, "Intel HEX"), ""},
           {{elf, "--dump-bin", dump}, 0, std::string(report).replace(report.find('%'), 1, "ELF"), ""},
           {{bad, "--dump-bin", dump}, 2, "",
            bad + ": ﾒﾓﾘが８ＭＢを越えます\nporten-cli info: line 2: the data runs past the limit of 307,200 bytes "
                  "from the lowest address 00000000: 0004B000 is the first address beyond it\n"},
           {{mot, "--dump-bin", dir.File("no/such/dir/out.bin")}, 2, "", usage + "cannot write "},
           {{mot, "--section", ".text"}, 1, "", usage + "--section: " + mot + " is not an ELF file (see porten-cli info --help)\n"},
           {{elf, "--section", ".x"}, 2, "", elf + ": no such section in the file\nporten-cli info: no section named .x; the sections that load are none\n"},
           {{"--", "-x.mot"}, 2, "", "-x.mot" + open}, {{"-"}, 2, "", "-" + open}}) {  // "--" ends the options
    std::ostringstream o, e, dumped;
    std::remove(dump.c_str());
    args.insert(args.begin(), {"porten-cli", "info"});
    EXPECT_EQ(status, Dispatch(args, o, e)) << ::testing::PrintToString(args);
    EXPECT_EQ(out, start(o.str(), out)) << ::testing::PrintToString(args);
    EXPECT_EQ(err, start(e.str(), err)) << ::testing::PrintToString(args);
    dumped << std::ifstream(dump, std::ios::binary).rdbuf();
    EXPECT_EQ(status == 0 && args.size() > 3 ? "123456789" : "", dumped.str());
  }
}

// What write's command lines mean: the options as parsed, "; " between them.
std::string Meaning(const WriteOptions& o) {
  std::string m;
  for (const std::string& p : o.ports) m += "port " + p + "; ";
  if (!o.loader.empty()) m += "boot " + o.loader + "; ";
  for (auto [on, name] : {std::pair{o.ram, "ram; "}, {o.execute, "execute; "}, {o.imitation, "imitation; "},
                          {o.quiet, "quiet; "}}) {
    if (on) m += name;
  }
  if (!o.log.empty()) m += "log " + o.log + "; ";
  return m + "timeout " + std::to_string(o.timeoutSeconds) + "; image " + o.image;
}

// porten-cli's command lines: the forms of write that parse, with what they
// mean (info's show in its report above), and the forms refused, each with
// exit status 1 and one line that says why.
TEST(CliCommandLines, ParseToTheirMeaningOrAreRefusedInOneLine) {
  const std::string see = " (see porten-cli write --help)\n", station = " (see porten-cli station --help)\n";
  for (auto [args, said] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"write", "--port", "A", "--port=B", "--boot=L", "x.mot"}, "port A; port B; boot L; timeout 10; image x.mot"},
           {{"write", "--port", "A", "x.mot", "--ram", "--execute", "-q", "--timeout=0x10", "--log", "l"},
            "port A; ram; execute; quiet; log l; timeout 16; image x.mot"},
           {{"write", "--imitation", "--boot", "L", "--port", "A", "--", "-x.mot"},
            "port A; boot L; imitation; timeout 10; image -x.mot"},
           {{"write", "--port", "A", "--boot", "L"}, "porten-cli write: give exactly one IMAGE" + see},
           {{"write", "--port", "A", "--boot", "L", "a", "b"},
            "porten-cli write: The following argument was not expected: b" + see},
           {{"write", "--boot", "L", "a"}, "porten-cli write: --port is missing" + see},
           {{"write", "--port", "A", "a"}, "porten-cli write: give either --boot LOADER or --ram" + see},
           {{"write", "--port", "A", "--ram", "--boot", "L", "a"}, "porten-cli write: give either --boot LOADER or --ram" + see},
           {{"write", "--port", "A", "--boot", "L", "--execute", "a"}, "porten-cli write: --execute goes with --ram" + see},
           {{"write", "--port", "A", "--ram", "--imitation", "a"}, "porten-cli write: --imitation goes with --boot" + see},
           {{"write", "--port", "A", "--port", "/dev/A", "--ram", "a"}, "porten-cli write: port /dev/A is given twice" + see},
           {{"write", "--port", "A", "--ram", "--timeout", "0", "a"},
            "porten-cli write: --timeout: takes whole seconds from 1 to 86400" + see},
           {{"write", "--port=", "A", "--ram", "a"}, "porten-cli write: --port: needs a value" + see},
           {{"write", "--port", "", "--ram", "a"}, "porten-cli write: --port: needs a value" + see},
           {{"write", "--ram", "a", "--port"}, "porten-cli write: --port: 1 required PORT missing" + see},
           {{"info"}, "porten-cli info: FILE is required (see porten-cli info --help)\n"},
           {{"info", "a", "--bogus"}, "porten-cli info: The following argument was not expected: --bogus (see porten-cli info --help)\n"},
           {{"ports", "x"}, "porten-cli ports: The following argument was not expected: x (see porten-cli ports --help)\n"},
           {{"station", "--boot", "L"}, "porten-cli station: give exactly one IMAGE" + station},
           {{"station", "--port", "A", "--ram", "a"},
            "porten-cli station: --ram goes with --watch only: a fixed fixture needs the boot mode to tell boards "
            "apart" + station},
           {{"station", "--watch", "D", "--boot", "L", "--execute", "a"},
            "porten-cli station: The following argument was not expected: --execute" + station},
           {{"station", "--boot", "L", "--count=0", "a"},
            "porten-cli station: --count: takes whole numbers from 1 to 100000000" + station}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    std::ostringstream out, err;
    if (said.find("porten-cli") != 0) {
      WriteOptions options;
      CLI::App app("", "porten-cli write");
      DeclareWriteCommand(app, options);
      EXPECT_EQ(std::nullopt, args::Parse(app, {args.begin() + 1, args.end()}, out, err)) << err.str();
      EXPECT_EQ(said, Meaning(options));
      continue;
    }
    args.insert(args.begin(), "porten-cli");
    EXPECT_EQ(1, Dispatch(args, out, err));
    EXPECT_EQ(said, err.str());
    EXPECT_EQ("", out.str());
  }
  // The help is our own text: the options as declared, in their column.
  std::ostringstream out, err;
  EXPECT_EQ(0, Dispatch({"porten-cli", "info", "--help"}, out, err));
  EXPECT_EQ("Usage: porten-cli info FILE [--dump-bin OUT] [--section NAME...]\n"
            "Loads FILE (S-record, Intel HEX or ELF, told from its content) as the image\n"
            "to write and prints the address range (as the address box shows it), the\n"
            "format, the length in bytes, and the SHA-256 and CRC-32 of the bytes a write\n"
            "sends: from the lowest address for the length, gaps as 0xFF. A relative FILE\n"
            "is taken from the current directory.\n"
            "\n"
            "  --dump-bin OUT  also write the image to OUT, from its lowest address for\n"
            "                  its length; bytes no record sets are 0xFF\n"
            "  --section NAME  load only the section NAME of an ELF file, at its load\n"
            "                  address (LMA); once for each section to load\n"
            "\n"
            "Exit status: 0 loaded, 1 usage error, 2 the file was refused (the message\n"
            "goes to standard error as FILE: TEXT, followed by a line that says where).\n",
            out.str());
}

// ---- The console loop -------------------------------------------------------

using namespace std::chrono_literals;

// Generous: a loaded CI machine may stall a thread for seconds.
auto Deadline() { return ConsoleLoop::SteadyClock::now() + 20s; }

// A loop whose timers land here.
struct Console : ::testing::Test, TimerTarget {
  Console() { loop.Bind(this); }
  void OnTimer(int id) override { fired.push_back(id); onTimer(id); }
  ConsoleLoop loop;
  std::vector<int> fired;
  std::function<void(int)> onTimer = [](int) {};
};

TEST_F(Console, TimersFireOnceInDueOrderAndZeroTimersYieldToWaitingTasks) {
  for (int id : {3, 1, 4, 2, 5}) loop.SetTimer(id, 60 - 10 * id);  // in 30, 50, 20, 40, 10 ms
  loop.KillTimer(4);
  loop.SetTimer(5, 100000);  // restarted: far later than the others
  EXPECT_FALSE(loop.RunUntil([] { return false; }, ConsoleLoop::SteadyClock::now() + 80ms));
  ASSERT_EQ((std::vector<int>{3, 2, 1}), fired);
  // A task that keeps posting itself cannot starve a timer.
  std::function<void()> flood = [&] { loop.Post(flood); };
  loop.Post(flood);
  loop.SetTimer(6, 1);
  EXPECT_TRUE(loop.RunUntil([&] { return fired.back() == 6; }, Deadline()));

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
  ASSERT_TRUE(loop.RunUntil([&] { return order.size() == 5; }, Deadline()));
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
  ASSERT_TRUE(loop.RunUntil([&] { return flag.load(); }, Deadline()));
  for (size_t i = 0; i < 1000; ++i) ASSERT_EQ(std::to_string(i), texts.at(i));
  flag = false;
  std::jthread waker([&] { flag = true; loop.Wake(); });
  EXPECT_TRUE(loop.RunUntil([&] { return flag.load(); }, Deadline()));
  const auto start = ConsoleLoop::SteadyClock::now();
  // A text to a loop asleep for long wakes it (later ones within 20 ms wait
  // for it): it is there long before a sleep of a minute would end.
  std::jthread late([&] { std::this_thread::sleep_for(30ms), loop.SetText(Surface::kStatus, "late"); });
  loop.RunUntil([&] { return loop.Text(Surface::kStatus) == "late"; }, ConsoleLoop::SteadyClock::now() + 60s);
  EXPECT_LT(ConsoleLoop::SteadyClock::now() - start, 20s);
}

}  // namespace
}  // namespace porten::cli
