#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cli/console_loop.h"

namespace porten::cli {
namespace {

using namespace std::chrono_literals;

// Generous: a loaded CI machine may stall a thread for seconds.
auto Deadline() { return ConsoleLoop::SteadyClock::now() + 20s; }

class Recorder : public TimerTarget {
 public:
  void OnTimer(int id) override {
    fired.push_back(id);
    if (onTimer) onTimer(id);
  }
  std::vector<int> fired;
  std::function<void(int)> onTimer;
};

TEST(ConsoleLoop, TimersFireOnceInDueOrder) {
  ConsoleLoop loop;
  Recorder r;
  loop.Bind(&r);
  loop.SetTimer(3, 30);
  loop.SetTimer(1, 10);
  loop.SetTimer(2, 20);
  loop.SetTimer(4, 40);
  loop.KillTimer(4);
  ASSERT_TRUE(loop.RunUntil([&] { return r.fired.size() == 3; }, Deadline()));
  EXPECT_EQ((std::vector<int>{1, 2, 3}), r.fired);
  EXPECT_FALSE(loop.Armed(1));
  EXPECT_FALSE(loop.Armed(4));
}

TEST(ConsoleLoop, ArmingAgainRestartsTheTimer) {
  ConsoleLoop loop;
  Recorder r;
  loop.Bind(&r);
  loop.SetTimer(7, 5);
  loop.SetTimer(8, 200);
  loop.SetTimer(7, 100000);  // restarted: now far later than 8
  ASSERT_TRUE(loop.RunUntil([&] { return !r.fired.empty(); }, Deadline()));
  EXPECT_EQ(std::vector<int>{8}, r.fired);
  EXPECT_TRUE(loop.Armed(7));
}

// A timer re-armed with 0 ms by its handler, as the load does, runs after
// the tasks that were posted meanwhile, and posting cannot starve it.
TEST(ConsoleLoop, ZeroTimerYieldsToWaitingTasks) {
  ConsoleLoop loop;
  Recorder r;
  std::vector<std::string> order;
  r.onTimer = [&](int) {
    order.push_back("tick");
    if (r.fired.size() < 3) {
      loop.SetTimer(101, 0);
      loop.Post([&] { order.push_back("task"); });
    }
  };
  loop.Bind(&r);
  loop.SetTimer(101, 0);
  ASSERT_TRUE(loop.RunUntil([&] { return r.fired.size() == 3; }, Deadline()));
  EXPECT_EQ((std::vector<std::string>{"tick", "task", "tick", "task", "tick"}), order);
}

TEST(ConsoleLoop, TimersStillFireUnderAFloodOfTasks) {
  ConsoleLoop loop;
  Recorder r;
  loop.Bind(&r);
  std::function<void()> flood = [&] { loop.Post(flood); };  // always one more waiting
  loop.Post(flood);
  loop.SetTimer(5, 1);
  EXPECT_TRUE(loop.RunUntil([&] { return !r.fired.empty(); }, Deadline()));
}

TEST(ConsoleLoop, TextsFromOtherThreadsArriveInOrderOnTheLoopThread) {
  ConsoleLoop loop;
  std::vector<std::string> seen;
  std::atomic<bool> wrongThread{false};
  std::thread::id loopThread = std::this_thread::get_id();
  loop.OnText([&](Surface s, const std::string& t) {
    if (std::this_thread::get_id() != loopThread) wrongThread = true;
    if (s == Surface::kStatus) seen.push_back(t);
  });

  std::thread worker([&] {
    for (int i = 0; i < 1000; ++i) loop.SetText(Surface::kStatus, std::to_string(i));
  });
  ASSERT_TRUE(loop.RunUntil([&] { return seen.size() == 1000; }, Deadline()));
  worker.join();
  EXPECT_FALSE(wrongThread);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(std::to_string(i), seen[static_cast<size_t>(i)]);
  EXPECT_EQ("999", loop.Text(Surface::kStatus));
  EXPECT_EQ("", loop.Text(Surface::kAddress));
}

// Several threads arm timers, post texts and tasks while the loop runs;
// every request must arrive, none of the callers may block on the loop.
TEST(ConsoleLoop, ManyThreadsAtOnce) {
  ConsoleLoop loop;
  Recorder r;
  loop.Bind(&r);
  std::atomic<int> tasks{0};
  int texts = 0;
  loop.OnText([&](Surface, const std::string&) { ++texts; });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&loop, &tasks, t] {
      for (int i = 0; i < 500; ++i) {
        loop.SetText(Surface::kAddress, "x");
        loop.Post([&tasks] { ++tasks; });
        loop.SetTimer(1000 + t, 0);
        if (i % 7 == 0) loop.KillTimer(2000 + t);
      }
      loop.SetTimer(2000 + t, 1);
    });
  }
  auto all = [&] {
    int late = 0;
    for (int id : r.fired) late += id >= 2000;
    return tasks == 2000 && texts == 2000 && late == 4;
  };
  ASSERT_TRUE(loop.RunUntil(all, Deadline()));
  for (auto& th : threads) th.join();
}

TEST(ConsoleLoop, QuitFromAnotherThreadEndsRun) {
  ConsoleLoop loop;
  std::thread other([&] { loop.Quit(); });
  EXPECT_FALSE(loop.Run([] { return false; }));
  other.join();
}

TEST(ConsoleLoop, DeadlineEndsRunWithFalse) {
  ConsoleLoop loop;
  Recorder r;
  loop.Bind(&r);
  loop.SetTimer(9, 100000);
  EXPECT_FALSE(loop.RunUntil([] { return false; }, ConsoleLoop::SteadyClock::now() + 20ms));
  EXPECT_TRUE(r.fired.empty());
}

TEST(ConsoleLoop, StateChangedElsewhereIsSeenAfterWake) {
  ConsoleLoop loop;
  std::atomic<bool> flag{false};
  std::thread other([&] {
    flag = true;
    loop.Wake();
  });
  EXPECT_TRUE(loop.RunUntil([&] { return flag.load(); }, Deadline()));
  other.join();
}

TEST(ConsoleLoop, TextsPostedBeforeTheEndAreDelivered) {
  ConsoleLoop loop;
  Recorder r;
  bool done = false;
  r.onTimer = [&](int) {
    loop.SetText(Surface::kAddress, "final");
    done = true;
  };
  loop.Bind(&r);
  loop.SetTimer(1, 0);
  ASSERT_TRUE(loop.RunUntil([&] { return done; }, Deadline()));
  EXPECT_EQ("final", loop.Text(Surface::kAddress));
}

TEST(ConsoleLoop, MessagesAreRecordedAndForwarded) {
  ConsoleLoop loop;
  std::vector<ConsoleMessage> forwarded;
  std::thread::id loopThread = std::this_thread::get_id();
  bool onLoopThread = true;
  loop.OnMessage([&](const std::string& text, const std::string& caption) {
    onLoopThread = onLoopThread && std::this_thread::get_id() == loopThread;
    forwarded.push_back({text, caption});
  });
  loop.Post([&] {
    loop.ShowMessage("one", "cap1");
    // Like a modal box: forwarded before ShowMessage returns.
    EXPECT_EQ(1u, forwarded.size());
  });
  std::thread other([&] { loop.ShowMessage("two", "cap2"); });
  other.join();
  ASSERT_TRUE(loop.RunUntil([&] { return forwarded.size() == 2; }, Deadline()));
  EXPECT_TRUE(onLoopThread);
  EXPECT_EQ((std::vector<ConsoleMessage>{{"two", "cap2"}, {"one", "cap1"}}), loop.Messages());
}

}  // namespace
}  // namespace porten::cli
