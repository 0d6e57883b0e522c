// The command line's window thread: one-shot timers in due order, tasks and
// texts from other threads in order, and the predicate that ends a run.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "cli/console_loop.h"

namespace porten::cli {
namespace {

using namespace std::chrono_literals;

// Generous: a loaded CI machine may stall a thread for seconds.
auto Deadline() { return ConsoleLoop::SteadyClock::now() + 20s; }

struct Recorder : TimerTarget {
  void OnTimer(int id) override {
    fired.push_back(id);
    if (onTimer) onTimer(id);
  }
  std::vector<int> fired;
  std::function<void(int)> onTimer;
};

TEST(ConsoleLoop, TimersFireOnceInDueOrderAndZeroTimersYieldToWaitingTasks) {
  ConsoleLoop loop;
  Recorder r;
  loop.Bind(&r);
  loop.SetTimer(3, 30);
  loop.SetTimer(1, 10);
  loop.SetTimer(2, 20);
  loop.SetTimer(4, 40);
  loop.KillTimer(4);
  loop.SetTimer(5, 5);
  loop.SetTimer(5, 100000);  // restarted: far later than the others
  ASSERT_TRUE(loop.RunUntil([&] { return r.fired.size() == 3; }, Deadline()));
  EXPECT_EQ((std::vector<int>{1, 2, 3}), r.fired);
  EXPECT_FALSE(loop.RunUntil([] { return false; }, ConsoleLoop::SteadyClock::now() + 60ms));

  // Re-armed with 0 ms by its handler, as the load does, a timer runs after
  // the tasks posted meanwhile; endless posting cannot starve it.
  std::vector<std::string> order;
  r.onTimer = [&](int) {
    order.push_back("tick");
    if (order.size() < 4) {
      loop.SetTimer(101, 0);
      loop.Post([&] { order.push_back("task"); });
    }
  };
  loop.SetTimer(101, 0);
  ASSERT_TRUE(loop.RunUntil([&] { return order.size() == 5; }, Deadline()));
  EXPECT_EQ((std::vector<std::string>{"tick", "task", "tick", "task", "tick"}), order);
  std::function<void()> flood = [&] { loop.Post(flood); };
  loop.Post(flood);
  loop.SetTimer(6, 1);
  EXPECT_TRUE(loop.RunUntil([&] { return r.fired.back() == 6; }, Deadline()));
}

// Threads arm timers, post texts and tasks while the loop runs: every request
// arrives, texts in order and on the loop thread, and no caller blocks.
TEST(ConsoleLoop, ManyThreadsAtOnce) {
  ConsoleLoop loop;
  Recorder r;
  loop.Bind(&r);
  std::atomic<int> tasks{0};
  int texts = 0;
  std::vector<std::string> status;
  bool wrongThread = false;
  const std::thread::id loopThread = std::this_thread::get_id();
  loop.OnText([&](Surface s, const std::string& t) {
    wrongThread = wrongThread || std::this_thread::get_id() != loopThread;
    ++texts;
    if (s == Surface::kStatus) status.push_back(t);
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&loop, &tasks, t] {
      for (int i = 0; i < 500; ++i) {
        loop.SetText(t == 0 ? Surface::kStatus : Surface::kAddress, std::to_string(i));
        loop.Post([&tasks] { ++tasks; });
        loop.SetTimer(1000 + t, 0);
        if (i % 7 == 0) loop.KillTimer(2000 + t);
      }
      loop.SetTimer(2000 + t, 1);
    });
  }
  auto all = [&] {
    return tasks == 2000 && texts == 2000 &&
           std::count_if(r.fired.begin(), r.fired.end(), [](int id) { return id >= 2000; }) == 4;
  };
  ASSERT_TRUE(loop.RunUntil(all, Deadline()));
  for (auto& th : threads) th.join();
  EXPECT_FALSE(wrongThread);
  for (int i = 0; i < 500; ++i) ASSERT_EQ(std::to_string(i), status[static_cast<size_t>(i)]);
  EXPECT_EQ("499", loop.Text(Surface::kStatus));

  // A change made elsewhere is seen after Wake, with the texts posted before it.
  std::atomic<bool> flag{false};
  std::thread other([&] {
    loop.SetText(Surface::kBootFileName, "final");
    flag = true;
    loop.Wake();
  });
  EXPECT_TRUE(loop.RunUntil([&] { return flag.load(); }, Deadline()));
  other.join();
  EXPECT_EQ("final", loop.Text(Surface::kBootFileName));
}

}  // namespace
}  // namespace porten::cli
