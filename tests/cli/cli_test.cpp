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
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cli/commands.h"
#include "cli/console_loop.h"
#include "support/fakes.h"
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
           {{}, 1, "", usage}, {{"a.mot", "b.mot"}, 1, "", usage}, {{"--bogus", "a.mot"}, 1, "", usage},
           {{"a.mot", "--dump-bin"}, 1, "", usage}, {{"a.mot", "--dump-bin="}, 1, "", usage},
           {{"--", "-x.mot"}, 2, "", "-x.mot" + open}, {{"-"}, 2, "", "-" + open},  // "--" ends the options
           {{"--help"}, 0, "Usage: porten-cli info FILE [--dump-bin OUT]", ""}}) {
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
