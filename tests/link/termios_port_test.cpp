// The termios port and the link operations over a real pseudo-terminal.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "link/link.h"
#include "link/pty_pair.h"
#include "link/termios_port.h"
#include "support/fake_window.h"

namespace porten {
namespace {

using testing::PtyPair;
namespace fs = std::filesystem;

std::string OwnName() {
  std::ifstream in("/proc/self/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

LinkVars MakeLink() {
  LinkVars link;
  link.port = std::make_unique<TermiosPort>();
  return link;
}

TEST(DevicePath, BareNamesGoUnderDevOthersStandAsTheyAre) {
  const std::pair<std::string, std::string> cases[] = {
      {"ttyUSB0", "/dev/ttyUSB0"},
      {"ttyS1", "/dev/ttyS1"},
      {"/dev/ttyACM0", "/dev/ttyACM0"},
      {"/tmp/board", "/tmp/board"},
      {"./board", "./board"},
      {"serial/by-id/usb-x", "serial/by-id/usb-x"},
  };
  for (const auto& [name, path] : cases) EXPECT_EQ(DevicePath(name), path) << name;
}

TEST(ClassifyOpenErrno, MapsEachErrnoToWhatTheUserCanDo) {
  const std::pair<int, OpenFailure> cases[] = {
      {ENOENT, OpenFailure::kNotFound},    {ENODEV, OpenFailure::kNotFound},
      {ENXIO, OpenFailure::kNotFound},     {EACCES, OpenFailure::kPermission},
      {EPERM, OpenFailure::kPermission},   {EBUSY, OpenFailure::kBusy},
      {EISDIR, OpenFailure::kOther},       {EIO, OpenFailure::kOther},
  };
  for (const auto& [err, why] : cases) EXPECT_EQ(ClassifyOpenErrno(err), why) << err;
}

class PortAtRate : public ::testing::TestWithParam<int> {};

TEST_P(PortAtRate, LineSettingsAreVisibleFromTheFarEnd) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  TermiosPort port;
  ASSERT_TRUE(port.Open(pty.SlavePath(), GetParam(), 1, 0)) << port.LastError();
  EXPECT_EQ(port.Baud(), GetParam());

  termios tio = pty.SlaveSettings();
  speed_t want = GetParam() == 4800 ? B4800 : B38400;
  EXPECT_EQ(cfgetispeed(&tio), want);
  EXPECT_EQ(cfgetospeed(&tio), want);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_cc[VMIN], 0);
  EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST_P(PortAtRate, BytesPassBothWaysUnchanged) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  LinkVars link = MakeLink();
  ASSERT_TRUE(OpenPort(link, pty.SlavePath(), GetParam(), 1, 0));

  // Every byte value, including CR, LF, XON/XOFF and the line-discipline
  // controls, must pass through as it is.
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  EXPECT_EQ(WritePort(link, all.data(), 256), 256u);
  EXPECT_EQ(pty.MasterRead(256), all);

  ASSERT_TRUE(pty.MasterWrite(all));
  std::vector<uint8_t> got;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (got.size() < 256 && std::chrono::steady_clock::now() < deadline) {
    size_t waiting = link.port->WaitReadable(5);
    std::vector<uint8_t> buf(waiting);
    size_t n = link.port->Read(buf.data(), buf.size());
    got.insert(got.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
  }
  EXPECT_EQ(got, all);
}

INSTANTIATE_TEST_SUITE_P(BothRates, PortAtRate, ::testing::Values(4800, 38400));

TEST(TermiosPort, OpenDiscardsWhatArrivedBefore) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  ASSERT_TRUE(pty.MasterWrite({0x00, 0xAA, 0x55}));
  ASSERT_TRUE(pty.WaitSlaveInput());

  TermiosPort port;
  ASSERT_TRUE(port.Open(pty.SlavePath(), 4800, 1, 0));
  EXPECT_EQ(port.WaitReadable(50), 0u);

  ASSERT_TRUE(pty.MasterWrite({0x11}));
  uint8_t byte = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (port.WaitReadable(5) == 0 && std::chrono::steady_clock::now() < deadline) {
  }
  EXPECT_EQ(port.Read(&byte, 1), 1u);
  EXPECT_EQ(byte, 0x11);
  EXPECT_EQ(port.Read(&byte, 1), 0u);
}

TEST(OpenPort, SuccessResetsRingAndLengthButKeepsAddress) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  LinkVars link = MakeLink();
  for (int baud : {4800, 38400}) {
    SetTransfer(link, 300, 0x1000);
    link.RxRead = 17;
    link.RxWrite = 42;
    ASSERT_TRUE(OpenPort(link, pty.SlavePath(), baud, 1, 0));
    EXPECT_EQ(link.PortPath, pty.SlavePath());
    EXPECT_EQ(link.TransferLength, 0u);
    EXPECT_EQ(link.TransferAddress, 0x1000u);
    EXPECT_EQ(link.RxRead, 0);
    EXPECT_EQ(link.RxWrite, 0);
    ClosePort(link);
  }
}

TEST(OpenPort, MissingDeviceRecordsPathAndLeavesTheRestAlone) {
  LinkVars link = MakeLink();
  SetTransfer(link, 300, 0x1000);
  link.RxRead = 3;
  link.RxWrite = 9;
  const std::string path = "/dev/porten-no-such-port";
  EXPECT_FALSE(OpenPort(link, path, 4800, 1, 0));
  EXPECT_EQ(link.PortPath, path);
  EXPECT_EQ(link.TransferLength, 300u);
  EXPECT_EQ(link.RxRead, 3);
  EXPECT_EQ(link.RxWrite, 9);
  EXPECT_FALSE(link.port->IsOpen());
  EXPECT_EQ(link.port->LastFailure(), OpenFailure::kNotFound);
  EXPECT_EQ(link.port->LastError(), "No such file or directory");
  EXPECT_EQ(DescribeOpenFailure(link),
            path + ": no such device (is the adapter plugged in?)");
}

struct FailedOpenCase {
  const char* name;
  std::string path;
  int baud;
  int parity;
  OpenFailure failure;
  std::string error;
};

void PrintTo(const FailedOpenCase& c, std::ostream* os) { *os << c.name; }

class FailedOpen : public ::testing::TestWithParam<FailedOpenCase> {};

TEST_P(FailedOpen, IsClassifiedAndLeavesThePortFree) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  const FailedOpenCase& c = GetParam();
  std::string path = c.path.empty() ? pty.SlavePath() : c.path;
  TermiosPort port;
  EXPECT_FALSE(port.Open(path, c.baud, 1, c.parity));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Baud(), 0);
  EXPECT_EQ(port.LastFailure(), c.failure);
  EXPECT_EQ(port.LastError(), c.error);
  // Nothing of the failed attempt (flock, exclusive flag) may stay behind.
  TermiosPort other;
  EXPECT_TRUE(other.Open(pty.SlavePath(), 4800, 1, 0)) << other.LastError();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedOpen,
    ::testing::Values(
        FailedOpenCase{"NotATerminal", "/dev/null", 4800, 0, OpenFailure::kNotSerial,
                       "Inappropriate ioctl for device"},
        FailedOpenCase{"UnsupportedRate", "", 9600, 0, OpenFailure::kOther,
                       "unsupported bit rate 9600"},
        // A pty cannot do parity; the read-back catches the silently dropped flag.
        FailedOpenCase{"SettingNotTaken", "", 4800, 2, OpenFailure::kOther,
                       "the device does not accept the line settings (4800 bit/s, 8 data bits, "
                       "even parity, 1 stop bit)"},
        FailedOpenCase{"Directory", "/dev", 4800, 0, OpenFailure::kOther, "Is a directory"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TermiosPort, SecondOpenOfAPortInUseIsBusyAndNamesTheHolder) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  TermiosPort first;
  ASSERT_TRUE(first.Open(pty.SlavePath(), 4800, 1, 0));

  LinkVars link = MakeLink();
  EXPECT_FALSE(OpenPort(link, pty.SlavePath(), 4800, 1, 0));
  EXPECT_EQ(link.port->LastFailure(), OpenFailure::kBusy);
  const std::string holder = std::to_string(::getpid()) + " (" + OwnName() + ")";
  EXPECT_EQ(link.port->LastError(), "Device or resource busy; in use by " + holder);
  EXPECT_EQ(DescribeOpenFailure(link),
            pty.SlavePath() + ": the port is in use (Device or resource busy; in use by " + holder +
                "). Close the other program (ModemManager and brltty are common culprits).");

  // The holder's own reopen works, and once it lets go the port is free.
  ASSERT_TRUE(first.Open(pty.SlavePath(), 38400, 1, 0));
  first.Close();
  EXPECT_TRUE(OpenPort(link, pty.SlavePath(), 4800, 1, 0)) << link.port->LastError();
}

TEST(ReopenOperations, ChangeTheRateAndPauseOnTheGivenClock) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  LinkVars link = MakeLink();
  testing::FakeWindow clock;
  ASSERT_TRUE(OpenPort(link, pty.SlavePath(), 4800, 1, 0));

  EXPECT_EQ(ReopenFast(link, clock), 1);
  termios tio = pty.SlaveSettings();
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B38400));
  EXPECT_EQ(link.port->Baud(), 38400);
  EXPECT_EQ(clock.Sleeps(), std::vector<int>{10});

  ReopenSlow(link);
  tio = pty.SlaveSettings();
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B4800));
  EXPECT_EQ(link.port->Baud(), 4800);

  // The reopened port still carries bytes.
  EXPECT_EQ(WriteByte(link, 0x33), 1u);
  EXPECT_EQ(pty.MasterRead(1), std::vector<uint8_t>{0x33});

  // A reopen of a vanished device fails and leaves the port closed.
  link.PortPath = "/dev/porten-no-such-port";
  EXPECT_EQ(ReopenFast(link, clock), 0);
  EXPECT_FALSE(link.port->IsOpen());
  EXPECT_EQ(clock.Sleeps(), std::vector<int>{10});
}

TEST(WritePort, BlockThatCannotGoOutReturnsZeroAfterItsTimeOut) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  LinkVars link = MakeLink();
  ASSERT_TRUE(OpenPort(link, pty.SlavePath(), 38400, 1, 0));
  // Nobody reads the master: fill the pty until it takes no more.
  std::vector<uint8_t> chunk(4096, 0x5A);
  int fill = ::open(pty.SlavePath().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fill, 0);
  // The kernel moves queued bytes on to the master's side in the background,
  // making room again; full means no room for a while.
  size_t filled = 0;
  for (;;) {
    while (::write(fill, chunk.data(), chunk.size()) > 0) filled += chunk.size();
    pollfd p{fill, POLLOUT, 0};
    if (::poll(&p, 1, 100) == 0 || filled > (64u << 20)) break;
  }
  ::close(fill);
  ASSERT_LT(filled, 64u << 20);

  link.writeTimeoutPerByteMs = 0;
  link.writeTimeoutConstantMs = 100;
  std::vector<uint8_t> block(128, 0x11);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WritePort(link, block.data(), 128), 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST(TermiosPort, ClosedPortDoesNothingButWaits) {
  TermiosPort port;
  uint8_t byte = 0x55;
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Write(&byte, 1, 10), 0u);
  EXPECT_EQ(port.Read(&byte, 1), 0u);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port.WaitReadable(30), 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(TermiosPort, InterruptEndsALongWaitOpenOrClosed) {
  // A stop request must not wait out the poll: ring from another thread
  // while a wait far longer than the test's patience runs.
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  for (bool open : {true, false}) {
    TermiosPort port;
    if (open) {
      ASSERT_TRUE(port.Open(pty.SlavePath(), 4800, 1, 0)) << port.LastError();
    }
    auto start = std::chrono::steady_clock::now();
    std::thread ringer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      port.Interrupt();
    });
    EXPECT_EQ(0u, port.WaitReadable(120000));
    ringer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60)) << open;
  }
}

TEST(TermiosPort, HungUpPortCountsAsNothingWaitingWithoutSpinning) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  TermiosPort port;
  ASSERT_TRUE(port.Open(pty.SlavePath(), 4800, 1, 0));
  pty.HangUp();  // the adapter is pulled

  int calls = 0;
  size_t seen = 0;
  auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(200)) {
    seen += port.WaitReadable(5);
    ++calls;
  }
  EXPECT_EQ(seen, 0u);
  EXPECT_LE(calls, 45);  // 200 ms / 5 ms, plus the last call's overrun
  uint8_t byte = 0;
  EXPECT_EQ(port.Read(&byte, 1), 0u);
  EXPECT_EQ(port.Write(&byte, 1, 10), 0u);
}

TEST(TermiosPort, IoOnOneThreadWhileAnotherReopensNeverFails) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  TermiosPort port;
  ASSERT_TRUE(port.Open(pty.SlavePath(), 4800, 1, 0));
  std::atomic<bool> stop{false};
  std::thread io([&] {
    uint8_t buf[64];
    while (!stop) {
      port.WaitReadable(1);
      port.Read(buf, sizeof buf);
      port.Write(buf, 1, 1);
    }
  });
  std::thread reader([&] {  // keeps the pty from filling up
    while (!stop) pty.MasterRead(4096, 5);
  });
  int opened = 0;
  for (int i = 0; i < 200; ++i) {
    port.Close();
    opened += port.Open(pty.SlavePath(), i % 2 ? 38400 : 4800, 1, 0) ? 1 : 0;
  }
  stop = true;
  io.join();
  reader.join();
  EXPECT_EQ(opened, 200);
}

// FindPortHolder against a made-up /proc.
class PortHolder : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("porten-proc-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    device_ = (root_ / "device").string();
    std::ofstream(device_) << "x";
  }
  void TearDown() override { fs::remove_all(root_); }

  void Process(long pid, const std::string& comm, bool holdsDevice) {
    fs::path dir = root_ / std::to_string(pid);
    fs::create_directories(dir / "fd");
    std::ofstream(dir / "comm") << comm << "\n";
    fs::create_symlink(holdsDevice ? device_ : "/dev/null", dir / "fd" / "3");
  }
  std::string LockLine(const std::string& head, long pid) {
    struct stat st {};
    ::stat(device_.c_str(), &st);
    char where[64];
    std::snprintf(where, sizeof where, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    return head + " ADVISORY  WRITE " + std::to_string(pid) + " " + where + " 0 EOF\n";
  }

  fs::path root_;
  std::string device_;
};

TEST_F(PortHolder, FlockHolderComesFirstThenOpenDescriptors) {
  Process(4100, "minicom", true);
  Process(4200, "ModemManager", true);
  Process(4300, "bash", false);
  EXPECT_EQ(FindPortHolder(device_, root_.string()), "4100 (minicom), 4200 (ModemManager)");

  // A waiter on the lock is no holder; the lock's owner is named alone.
  std::ofstream(root_ / "locks") << "1: POSIX  ADVISORY  WRITE 4300 00:00:1 0 EOF\n"
                                 << LockLine("2: -> FLOCK ", 4100) << LockLine("2: FLOCK ", 4200);
  EXPECT_EQ(FindPortHolder(device_, root_.string()), "4200 (ModemManager)");
}

TEST_F(PortHolder, NobodyOrNoDeviceGivesEmpty) {
  Process(4300, "bash", false);
  EXPECT_EQ(FindPortHolder(device_, root_.string()), "");
  EXPECT_EQ(FindPortHolder((root_ / "gone").string(), root_.string()), "");
}

}  // namespace
}  // namespace porten
