// The termios port over a real pseudo-terminal; the test plays the far end.
// Whole downloads over it are the end-to-end tests' part.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "link/termios_port.h"

namespace porten {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The far end is the master side. A second descriptor on the slave (the
// holder) keeps the pair alive while the port under test is closed, as a
// board that stays powered.
struct Termios : ::testing::Test {
  void SetUp() override {
    master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    char name[128] = {};
    ASSERT_EQ(0, ::grantpt(master.get()) | ::unlockpt(master.get()) | ::ptsname_r(master.get(), name, sizeof name));
    path = name;
    holder.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    termios tio{};
    ASSERT_EQ(0, ::tcgetattr(holder.get(), &tio));
    ::cfmakeraw(&tio);  // no echo back to the master before the port sets the line
    ::tcsetattr(holder.get(), TCSANOW, &tio);
  }
  UniqueFd master, holder;
  std::string path;
  TermiosPort port;
};

std::string OwnName() {
  std::string comm;
  std::getline(std::ifstream("/proc/self/comm"), comm);
  return std::to_string(::getpid()) + " (" + comm + ")";
}

// Raw 8N1 at both rates, what came before an open or a rate change
// discarded; the rate changed in place, the lines kept on close.
TEST_F(Termios, RawEightNOneAtBothRatesTheRateChangedInPlaceTheLinesKeptAndBusyForOthers) {
  termios tio{};
  ::tcgetattr(holder.get(), &tio);
  tio.c_cflag |= HUPCL;  // as a serial driver starts; a pty does not
  ::tcsetattr(holder.get(), TCSANOW, &tio);
  for (int rate : {38400, 4800}) {
    ASSERT_EQ(1, ::write(master.get(), "\x01", 1));  // before the open: discarded
    pollfd queued{holder.get(), POLLIN, 0};
    ASSERT_EQ(1, ::poll(&queued, 1, 5000));
    ASSERT_TRUE(port.Open(path, rate, 1, 0)) << port.LastOpenError().detail;
    ::tcgetattr(master.get(), &tio);  // as the far end sees the line
    EXPECT_EQ(rate == 4800 ? B4800 : B38400, cfgetospeed(&tio));
    EXPECT_EQ(CS8, tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS));
    EXPECT_EQ(0u, (tio.c_lflag & (ICANON | ECHO | ISIG)) | (tio.c_iflag & (IXON | ICRNL)) |
                      (tio.c_oflag & OPOST));
    EXPECT_EQ(0u, port.WaitReadable(50));
  }
  EXPECT_FALSE(port.HasModemLines());
  ASSERT_TRUE(port.KeepLinesOnClose());
  ASSERT_EQ(1, ::write(master.get(), "\x01", 1));  // at the old rate: discarded
  ASSERT_EQ(1u, port.WaitReadable(5000));
  ASSERT_TRUE(port.ChangeRate(38400) && !port.ChangeRate(9600));
  ::tcgetattr(master.get(), &tio);
  EXPECT_EQ(std::tuple(B38400, 0u, 38400, 0u), std::tuple(cfgetospeed(&tio), tio.c_cflag & HUPCL, port.Baud(), port.WaitReadable(50)));
  // Still ours after the change: busy for another, who learns who holds it;
  // the holder's own reopen works, and once it lets go the port is free.
  TermiosPort second;
  EXPECT_FALSE(second.Open(path, 4800, 1, 0));
  EXPECT_EQ(std::pair(OpenFailure::kBusy, OwnName()),
            std::pair(second.LastOpenError().kind, second.LastOpenError().holder));
  ASSERT_TRUE(port.Open(path, 38400, 1, 0));
  port.Close();
  EXPECT_TRUE(second.Open(path, 4800, 1, 0));
}

TEST_F(Termios, FailedOpenSaysWhyAndLeavesThePortFree) {
  const struct { const char* path; int baud, parity; OpenFailure kind; std::string detail; } cases[] = {
      {"/dev/null", 4800, 0, OpenFailure::kNotSerial, "Inappropriate ioctl for device"},
      {nullptr, 9600, 0, OpenFailure::kOther, "unsupported bit rate 9600"},
      // A pty cannot do parity; the read-back catches the silently dropped flag.
      {nullptr, 4800, 2, OpenFailure::kOther,
       "the device does not accept the line settings (4800 bit/s, 8 data bits, even parity, 1 stop bit)"}};
  for (const auto& c : cases) {
    EXPECT_FALSE(port.Open(c.path ? c.path : path, c.baud, 1, c.parity));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(std::pair(c.kind, c.detail), std::pair(port.LastOpenError().kind, port.LastOpenError().detail));
    // Nothing of the failed attempt (flock, exclusive flag) stays behind.
    TermiosPort other;
    EXPECT_TRUE(other.Open(path, 4800, 1, 0)) << c.detail << ": " << other.LastOpenError().detail;
  }
}

TEST_F(Termios, StalledWriteEndsShortAtItsTimeOutOrAtOnceWhenInterrupted) {
  ASSERT_TRUE(port.Open(path, 38400, 1, 0));
  // Nobody reads the master: fill the line until it takes no more for a
  // while, not just busy.
  std::vector<uint8_t> block(4096, 0x11);
  for (pollfd room{holder.get(), POLLOUT, 0}; ::poll(&room, 1, 100) == 1;) {
    while (::write(holder.get(), block.data(), block.size()) > 0) {
    }
  }
  auto start = Clock::now();
  EXPECT_LT(port.Write(block.data(), 128, 100), 128u);
  EXPECT_GE(Clock::now() - start, milliseconds(100));

  // An interrupt ends only a write blocked at that moment: the stopper rings
  // until the write has come back.
  std::atomic<bool> back{false};
  start = Clock::now();
  std::thread stopper([&] {
    while (!back) port.InterruptWrites(), std::this_thread::yield();
  });
  EXPECT_LT(port.Write(block.data(), 128, 20000), 128u);
  back = true;
  stopper.join();
  EXPECT_LT(Clock::now() - start, milliseconds(10000));  // not its time-out
  start = Clock::now();
  port.Write(block.data(), 128, 100);  // a write begun after it waits as usual
  EXPECT_GE(Clock::now() - start, milliseconds(100));
}

TEST_F(Termios, HungUpPortIsLostAndWaitsWithoutSpinningUntilInterrupted) {
  ASSERT_TRUE(port.Open(path, 4800, 1, 0));
  EXPECT_FALSE(port.Lost());
  holder.reset();
  master.reset();
  auto start = Clock::now();
  EXPECT_EQ(0u, port.WaitReadable(30));
  EXPECT_GE(Clock::now() - start, milliseconds(30));
  EXPECT_TRUE(port.Lost());

  port.Interrupt();  // rung before: the next wait returns at once
  start = Clock::now();
  EXPECT_EQ(0u, port.WaitReadable(20000));
  EXPECT_LT(Clock::now() - start, milliseconds(10000));
  port.Close();
  uint8_t byte = 0;
  EXPECT_EQ(0u, port.Write(&byte, 1, 10));  // closed: nothing, at once
}

}  // namespace
}  // namespace porten
