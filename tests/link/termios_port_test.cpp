// The termios port over a real pseudo-terminal; the test plays the far end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "link/link.h"
#include "link/pty_pair.h"
#include "link/termios_port.h"

namespace porten {
namespace {

using testing::PtyPair;
using Clock = std::chrono::steady_clock;

class PortAtRate : public ::testing::TestWithParam<int> {};

TEST_P(PortAtRate, RawEightNOneBothWays) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  ASSERT_TRUE(pty.MasterWrite({0x01}));  // before the open: discarded
  ASSERT_TRUE(pty.WaitSlaveInput());
  TermiosPort port;
  ASSERT_TRUE(port.Open(pty.SlavePath(), GetParam(), 1, 0)) << port.LastOpenError().detail;
  EXPECT_EQ(GetParam(), port.Baud());

  const termios tio = pty.SlaveSettings();
  EXPECT_EQ(GetParam() == 4800 ? B4800 : B38400, cfgetospeed(&tio));
  EXPECT_EQ(CS8, tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS));
  EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_EQ(0u, tio.c_iflag & (IXON | IXOFF | ICRNL));
  EXPECT_EQ(0u, tio.c_oflag & OPOST);

  // Every byte value passes unchanged, CR, LF and XON/XOFF included.
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(all.size(), port.Write(all.data(), all.size(), 5000));
  EXPECT_EQ(all, pty.MasterRead(all.size()));
  ASSERT_TRUE(pty.MasterWrite(all));
  std::vector<uint8_t> got;
  while (got.size() < all.size() && port.WaitReadable(1000) > 0) {
    uint8_t buf[300];
    got.insert(got.end(), buf, buf + port.Read(buf, sizeof buf));
  }
  EXPECT_EQ(all, got);
}

INSTANTIATE_TEST_SUITE_P(Rates, PortAtRate, ::testing::Values(4800, 38400));

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
        FailedOpenCase{"Missing", "/dev/porten-no-such-port", 4800, 0, OpenFailure::kNotFound,
                       "No such file or directory"},
        FailedOpenCase{"NotATerminal", "/dev/null", 4800, 0, OpenFailure::kNotSerial,
                       "Inappropriate ioctl for device"},
        FailedOpenCase{"UnsupportedRate", nullptr, 9600, 0, OpenFailure::kOther,
                       "unsupported bit rate 9600"},
        // A pty cannot do parity; the read-back catches the silently dropped flag.
        FailedOpenCase{"SettingNotTaken", nullptr, 4800, 2, OpenFailure::kOther,
                       "the device does not accept the line settings (4800 bit/s, 8 data bits, "
                       "even parity, 1 stop bit)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TermiosPort, PortInUseIsBusyAndNamesItsHolderOnly) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  TermiosPort first;
  ASSERT_TRUE(first.Open(pty.SlavePath(), 4800, 1, 0));
  TermiosPort second;
  EXPECT_FALSE(second.Open(pty.SlavePath(), 4800, 1, 0));
  const OpenError e = second.LastOpenError();
  std::string comm;
  std::getline(std::ifstream("/proc/self/comm"), comm);
  EXPECT_EQ(OpenFailure::kBusy, e.kind);
  EXPECT_EQ(std::to_string(::getpid()) + " (" + comm + ")", e.holder);

  // The holder's own reopen works, and once it lets go the port is free.
  ASSERT_TRUE(first.Open(pty.SlavePath(), 38400, 1, 0));
  first.Close();
  EXPECT_TRUE(second.Open(pty.SlavePath(), 4800, 1, 0));
}

// Fills the pty until it takes no more: nobody reads the master.
void FillLine(PtyPair& pty) {
  std::vector<uint8_t> chunk(4096, 0x5A);
  for (size_t filled = 0; filled < (64u << 20);) {
    while (::write(pty.Holder(), chunk.data(), chunk.size()) > 0) filled += chunk.size();
    pollfd p{pty.Holder(), POLLOUT, 0};
    if (::poll(&p, 1, 100) == 0) return;  // full for a while, not just busy
  }
}

TEST(TermiosPort, StalledWriteEndsShortAtItsTimeOutOrAtOnceWhenInterrupted) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  TermiosPort port;
  ASSERT_TRUE(port.Open(pty.SlavePath(), 38400, 1, 0));
  FillLine(pty);
  std::vector<uint8_t> block(128, 0x11);
  auto start = Clock::now();
  EXPECT_LT(port.Write(block.data(), block.size(), 100), block.size());
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));

  // An interrupt from another thread ends a write that would wait a minute.
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    port.InterruptWrites();
  });
  EXPECT_LT(port.Write(block.data(), block.size(), 60000), block.size());
  stopper.join();
  // ... but not a write begun after it.
  start = Clock::now();
  port.Write(block.data(), block.size(), 100);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));
}

TEST(TermiosPort, ClosedOrHungUpPortWaitsWithoutSpinningAndInterruptEndsTheWait) {
  TermiosPort port;
  uint8_t byte = 0x55;
  EXPECT_EQ(0u, port.Write(&byte, 1, 10));
  EXPECT_EQ(0u, port.Read(&byte, 1));
  auto start = Clock::now();
  EXPECT_EQ(0u, port.WaitReadable(30));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));

  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  ASSERT_TRUE(port.Open(pty.SlavePath(), 4800, 1, 0));
  EXPECT_FALSE(port.Lost());
  pty.HangUp();
  start = Clock::now();
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
}

}  // namespace
}  // namespace porten
