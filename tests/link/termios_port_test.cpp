// The termios port over a real pseudo-terminal; the test plays the far end.
// Whole downloads over it are the end-to-end tests' part.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "link/pty_pair.h"
#include "link/termios_port.h"

namespace porten {
namespace {

using testing::PtyPair;
using Clock = std::chrono::steady_clock;

TEST(TermiosPort, RawEightNOneAtBothRatesDiscardingWhatCameBefore) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  ASSERT_TRUE(pty.MasterWrite({0x01}));  // before the open: discarded
  ASSERT_TRUE(pty.WaitSlaveInput());
  TermiosPort port;
  for (int rate : {38400, 4800}) {
    ASSERT_TRUE(port.Open(pty.SlavePath(), rate, 1, 0)) << port.LastOpenError().detail;
    const termios tio = pty.SlaveSettings();
    EXPECT_EQ(rate == 4800 ? B4800 : B38400, cfgetospeed(&tio));
    EXPECT_EQ(CS8, tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS));
    EXPECT_EQ(0u, (tio.c_lflag & (ICANON | ECHO | ISIG)) | (tio.c_iflag & (IXON | ICRNL)) |
                      (tio.c_oflag & OPOST));
  }
  EXPECT_EQ(0u, port.WaitReadable(50));
}

struct FailedOpenCase {
  const char* name;
  const char* path;  // nullptr: the pty
  int baud;
  int parity;
  OpenFailure kind;
  const char* detail;
};

class FailedOpen : public ::testing::TestWithParam<FailedOpenCase> {};

TEST_P(FailedOpen, SaysWhyAndLeavesThePortFree) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  const FailedOpenCase& c = GetParam();
  TermiosPort port;
  EXPECT_FALSE(port.Open(c.path ? c.path : pty.SlavePath(), c.baud, 1, c.parity));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(c.kind, port.LastOpenError().kind);
  EXPECT_EQ(c.detail, port.LastOpenError().detail);
  // Nothing of the failed attempt (flock, exclusive flag) stays behind.
  TermiosPort other;
  EXPECT_TRUE(other.Open(pty.SlavePath(), 4800, 1, 0)) << other.LastOpenError().detail;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedOpen,
    ::testing::Values(
        FailedOpenCase{"NotATerminal", "/dev/null", 4800, 0, OpenFailure::kNotSerial,
                       "Inappropriate ioctl for device"},
        FailedOpenCase{"UnsupportedRate", nullptr, 9600, 0, OpenFailure::kOther,
                       "unsupported bit rate 9600"},
        // A pty cannot do parity; the read-back catches the silently dropped flag.
        FailedOpenCase{"SettingNotTaken", nullptr, 4800, 2, OpenFailure::kOther,
                       "the device does not accept the line settings (4800 bit/s, 8 data bits, "
                       "even parity, 1 stop bit)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TermiosPort, PortInUseIsBusyAndNamesItsHolder) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  TermiosPort first, second;
  ASSERT_TRUE(first.Open(pty.SlavePath(), 4800, 1, 0));
  EXPECT_FALSE(second.Open(pty.SlavePath(), 4800, 1, 0));
  std::string comm;
  std::getline(std::ifstream("/proc/self/comm"), comm);
  EXPECT_EQ(OpenFailure::kBusy, second.LastOpenError().kind);
  EXPECT_EQ(std::to_string(::getpid()) + " (" + comm + ")", second.LastOpenError().holder);
  // The holder's own reopen works, and once it lets go the port is free.
  ASSERT_TRUE(first.Open(pty.SlavePath(), 38400, 1, 0));
  first.Close();
  EXPECT_TRUE(second.Open(pty.SlavePath(), 4800, 1, 0));
}

TEST(TermiosPort, StalledWriteEndsShortAtItsTimeOutOrAtOnceWhenInterrupted) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  TermiosPort port;
  ASSERT_TRUE(port.Open(pty.SlavePath(), 38400, 1, 0));
  // Nobody reads the master: fill the line until it takes no more.
  std::vector<uint8_t> block(4096, 0x11);
  for (int i = 0; i < 16384; ++i) {
    while (::write(pty.Holder(), block.data(), block.size()) > 0) {
    }
    pollfd p{pty.Holder(), POLLOUT, 0};
    if (::poll(&p, 1, 100) == 0) break;  // full for a while, not just busy
  }
  auto start = Clock::now();
  EXPECT_LT(port.Write(block.data(), 128, 100), 128u);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));

  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    port.InterruptWrites();
  });
  EXPECT_LT(port.Write(block.data(), 128, 60000), 128u);  // would wait a minute
  stopper.join();
  start = Clock::now();
  port.Write(block.data(), 128, 100);  // a write begun after it waits as usual
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));
}

TEST(TermiosPort, HungUpPortIsLostAndWaitsWithoutSpinningUntilInterrupted) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  TermiosPort port;
  ASSERT_TRUE(port.Open(pty.SlavePath(), 4800, 1, 0));
  EXPECT_FALSE(port.Lost());
  pty.HangUp();
  auto start = Clock::now();
  EXPECT_EQ(0u, port.WaitReadable(30));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
  EXPECT_TRUE(port.Lost());

  std::thread ringer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    port.Interrupt();
  });
  start = Clock::now();
  EXPECT_EQ(0u, port.WaitReadable(60000));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
  ringer.join();
  port.Close();
  uint8_t byte = 0;
  EXPECT_EQ(0u, port.Write(&byte, 1, 10));  // closed: nothing, at once
}

}  // namespace
}  // namespace porten
