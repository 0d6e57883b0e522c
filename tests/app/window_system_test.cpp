// The Qt window system: texts and timers requested from the receive thread
// reach the GUI thread, and a later request made on the GUI thread wins.
#include <gtest/gtest.h>

#include <QLabel>
#include <QTest>
#include <QThread>
#include <thread>
#include <vector>

#include "app/qt_window_system.h"
#include "app_test_util.h"

namespace porten::app::testing {
namespace {

constexpr int kWaitMs = 20000;

void FromOtherThread(const std::function<void()>& f) { std::thread(f).join(); }

TEST(QtWindowSystem, TextFromAnotherThreadArrivesLaterAndLosesToANewerOneFromTheGuiThread) {
  QtWindowSystem window;
  QLabel status;
  window.Attach(Surface::kStatus, &status);
  FromOtherThread([&] { window.SetText(Surface::kStatus, "Writing: 128/300 (00001000)"); });
  EXPECT_EQ("", Std(status.text())) << "not before the GUI thread handles its events";
  ASSERT_TRUE(QTest::qWaitFor([&] { return !status.text().isEmpty(); }, kWaitMs));
  EXPECT_EQ("Writing: 128/300 (00001000)", Std(status.text()));

  FromOtherThread([&] { window.SetText(Surface::kStatus, "Writing: 300/300 (00001000)"); });
  window.SetText(Surface::kStatus, "書込み終了");
  EXPECT_EQ("書込み終了", Std(status.text()));
  QTest::qWait(50);
  EXPECT_EQ("書込み終了", Std(status.text())) << "the older posted text must not come back";
}

TEST(QtWindowSystem, TimersArmedFromAnotherThreadFireOnTheGuiThreadUnlessKilledThere) {
  struct Target final : TimerTarget {
    void OnTimer(int id) override {
      fired.push_back(id);
      onGuiThread = onGuiThread && QThread::currentThread() == qApp->thread();
    }
    std::vector<int> fired;
    bool onGuiThread = true;
  } target;
  QtWindowSystem window;
  window.Bind(&target);
  FromOtherThread([&] {
    window.SetTimer(TIMER_BOOT_SYNC, 1);
    window.SetTimer(TIMER_WRITE_POLL, 20);
  });
  window.KillTimer(TIMER_BOOT_SYNC);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !target.fired.empty(); }, kWaitMs));
  QTest::qWait(30);
  EXPECT_EQ(std::vector<int>{TIMER_WRITE_POLL}, target.fired);
  EXPECT_TRUE(target.onGuiThread);
}

}  // namespace
}  // namespace porten::app::testing
