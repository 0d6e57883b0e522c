// The command line's window thread: one-shot timers in due order, tasks and
// texts from another thread in order, and the predicate that ends a run.
// Many threads at once are the end-to-end tests' part (under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "cli/console_loop.h"

namespace porten::cli {
namespace {

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
}

}  // namespace
}  // namespace porten::cli
