#include "link/termios_port.h"

#include "link/port_holder.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

namespace porten {

namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

std::string ErrnoText(int err) { return std::strerror(err); }

// Milliseconds left until deadline, rounded up so a poll never returns early
// and leaves a sub-millisecond remainder that would turn into a busy loop.
int RemainingMs(SteadyTime deadline) {
  auto left = deadline - std::chrono::steady_clock::now();
  if (left <= left.zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<int64_t>(ms, INT32_MAX));
}

SteadyTime DeadlineAfter(int timeoutMs) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
}

// Modem-line and serial-info ioctls are optional: a pty, a Bluetooth tty or
// some USB adapters refuse them. Only a vanished device is worth reporting.
bool DeviceGone(int err) { return err == EIO || err == ENODEV || err == ENXIO; }

bool SpeedFor(int baud, speed_t& speed) {
  switch (baud) {
    case 4800:
      speed = B4800;
      return true;
    case 38400:
      speed = B38400;
      return true;
    default:
      return false;
  }
}

// The control flags the line settings fix; everything else is the driver's.
constexpr tcflag_t kCflagChecked = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD;
constexpr tcflag_t kIflagChecked = IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP;
constexpr tcflag_t kLflagChecked = ICANON | ECHO | ECHOE | ECHONL | ISIG | IEXTEN;

struct LineError {
  OpenFailure why;
  std::string detail;
};

LineError SystemError(int err) {
  return {DeviceGone(err) ? OpenFailure::kNotFound : OpenFailure::kOther, ErrnoText(err)};
}

// Raw, 8 data bits, the given parity (1 odd, 2 even) and stop bits, no flow
// control, at speed.
termios RawLine(termios tio, speed_t speed, int stopBits, int parity) {
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  if (parity == 1 || parity == 2) {
    tio.c_cflag |= PARENB | (parity == 1 ? PARODD : 0);
    tio.c_iflag |= INPCK;
  }
  if (stopBits != 1) tio.c_cflag |= CSTOPB;
  // Non-blocking reads: the receive thread waits in poll(), never in read().
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, speed);
  ::cfsetospeed(&tio, speed);
  return tio;
}

bool SameLine(const termios& got, const termios& want) {
  return (got.c_cflag & kCflagChecked) == (want.c_cflag & kCflagChecked) &&
         (got.c_iflag & kIflagChecked) == (want.c_iflag & kIflagChecked) &&
         (got.c_lflag & kLflagChecked) == (want.c_lflag & kLflagChecked) &&
         (got.c_oflag & OPOST) == (want.c_oflag & OPOST) && ::cfgetispeed(&got) == ::cfgetispeed(&want) &&
         ::cfgetospeed(&got) == ::cfgetospeed(&want) && got.c_cc[VMIN] == 0 && got.c_cc[VTIME] == 0;
}

// Raises DTR and RTS, sets the line up in full and reads it back, then drops
// RTS again, as the board expects at every open.
std::optional<LineError> SetUpLine(int fd, const termios& old, speed_t speed, int baud, int stopBits,
                                   int parity) {
  int lines = TIOCM_DTR | TIOCM_RTS;
  if (::ioctl(fd, TIOCMBIS, &lines) != 0 && DeviceGone(errno)) return SystemError(errno);
  const termios tio = RawLine(old, speed, stopBits, parity);
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) return SystemError(errno);
  // tcsetattr succeeds when any one of the settings was taken; read back.
  termios got{};
  if (::tcgetattr(fd, &got) != 0) return SystemError(errno);
  if (!SameLine(got, tio)) {
    return LineError{OpenFailure::kOther,
                     "the device does not accept the line settings (" + std::to_string(baud) +
                         " bit/s, 8 data bits, " +
                         (parity == 1 ? "odd parity" : parity == 2 ? "even parity" : "no parity") + ", " +
                         (stopBits == 1 ? "1 stop bit" : "2 stop bits") + ")"};
  }
  lines = TIOCM_RTS;
  if (::ioctl(fd, TIOCMBIC, &lines) != 0 && DeviceGone(errno)) return SystemError(errno);
  // Every reply is awaited byte by byte, so the FTDI-style 16 ms latency
  // timer would dominate the transfer time. Optional: not every driver has it.
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && !(serial.flags & ASYNC_LOW_LATENCY)) {
    serial.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(fd, TIOCSSERIAL, &serial);
  }
  return std::nullopt;
}

}  // namespace

TermiosPort::~TermiosPort() { Close(); }

std::shared_lock<std::shared_mutex> TermiosPort::LockShared() const {
  std::unique_lock gate(turnstile_);
  return std::shared_lock(mu_);
}

std::unique_lock<std::shared_mutex> TermiosPort::LockExclusive() const {
  // The turnstile is held until the exclusive lock is ours, so no new I/O
  // can slip in ahead of us.
  std::lock_guard gate(turnstile_);
  return std::unique_lock(mu_);
}

bool TermiosPort::Fail(OpenFailure why, std::string detail, std::string holder) {
  error_ = OpenError{why, std::move(detail), std::move(holder)};
  return false;
}

bool TermiosPort::Open(const std::string& path, int baud, int stopBits, int parity) {
  auto lock = LockExclusive();
  CloseLocked();

  speed_t speed{};
  if (!SpeedFor(baud, speed)) {
    return Fail(OpenFailure::kOther, "unsupported bit rate " + std::to_string(baud));
  }

  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    int err = errno;
    OpenFailure why = ClassifyOpenErrno(err);
    return Fail(why, ErrnoText(err), why == OpenFailure::kBusy ? FindPortHolder(path) : "");
  }

  // TIOCEXCL does not hold back root, so the flock is what keeps a second
  // instance of ours off the port. It comes first: if another program holds
  // the port we must not touch its exclusive flag.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    if (err == EWOULDBLOCK) {
      fd.reset();  // so our own descriptor does not show up as a holder
      return Fail(OpenFailure::kBusy, ErrnoText(EBUSY), FindPortHolder(path));
    }
    return Fail(OpenFailure::kOther, ErrnoText(err));
  }

  termios tio{};
  if (::tcgetattr(fd.get(), &tio) != 0) {
    int err = errno;
    if (err == ENOTTY || err == EINVAL) return Fail(OpenFailure::kNotSerial, ErrnoText(err));
    return Fail(DeviceGone(err) ? OpenFailure::kNotFound : OpenFailure::kOther, ErrnoText(err));
  }

  ::ioctl(fd.get(), TIOCEXCL);
  if (std::optional<LineError> error = SetUpLine(fd.get(), tio, speed, baud, stopBits, parity)) {
    // Give the exclusive flag back before closing.
    ::ioctl(fd.get(), TIOCNXCL);
    ::flock(fd.get(), LOCK_UN);
    fd.reset();
    return Fail(error->why, std::move(error->detail));
  }
  ::tcflush(fd.get(), TCIFLUSH);

  fd_ = std::move(fd);
  baud_ = baud;
  ++generation_;
  lost_ = false;
  error_ = OpenError{};
  return true;
}

void TermiosPort::CloseLocked() {
  if (!fd_) return;
  // Give both locks back explicitly so that our own reopen, and any other
  // descriptor of this file description, find the port free at once.
  ::ioctl(fd_.get(), TIOCNXCL);
  ::flock(fd_.get(), LOCK_UN);
  fd_.reset();
  baud_ = 0;
  ++generation_;
}

void TermiosPort::Close() {
  auto lock = LockExclusive();
  CloseLocked();
}

bool TermiosPort::IsOpen() const {
  auto lock = LockShared();
  return static_cast<bool>(fd_);
}

size_t TermiosPort::Write(const uint8_t* data, size_t count, int timeoutMs) {
  if (count == 0 || data == nullptr) return 0;
  const SteadyTime deadline = DeadlineAfter(timeoutMs);
  const uint64_t cancels = cancels_.load();
  uint64_t generation = 0;
  {
    auto lock = LockShared();
    if (!fd_) return 0;
    generation = generation_;
  }
  size_t done = 0;
  while (done < count && cancels_.load() == cancels) {
    auto lock = LockShared();
    // Closed or reopened meanwhile: the rest must not go out on another open.
    if (!fd_ || generation_ != generation) break;
    ssize_t n = ::write(fd_.get(), data + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      if (DeviceGone(errno)) lost_ = true;
      break;
    }
    int left = RemainingMs(deadline);
    if (left == 0) break;
    pollfd p[2] = {{fd_.get(), POLLOUT, 0}, {cancel_.get(), POLLIN, 0}};
    int r = ::poll(p, 2, std::min(left, kMaxLockedWaitMs));
    if (r < 0 && errno != EINTR) break;
    if (r > 0 && (p[0].revents & (POLLERR | POLLHUP | POLLNVAL))) {
      lost_ = true;
      break;
    }
    if (r > 0 && (p[1].revents & POLLIN)) {
      // Rung now or long ago: the count says whether it was for us.
      uint64_t rung = 0;
      [[maybe_unused]] ssize_t got = ::read(cancel_.get(), &rung, sizeof rung);
    }
  }
  // No tcdrain: on a pty nobody drains, and the protocol waits for the
  // board's answer anyway.
  return done;
}

void TermiosPort::InterruptWrites() {
  ++cancels_;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(cancel_.get(), &one, sizeof one);
}

size_t TermiosPort::WaitReadable(int timeoutMs) {
  const SteadyTime deadline = DeadlineAfter(timeoutMs);
  for (;;) {
    {
      auto lock = LockShared();
      if (!fd_) break;
      pollfd p[2] = {{fd_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
      int r = ::poll(p, 2, std::min(RemainingMs(deadline), kMaxLockedWaitMs));
      if (r < 0 && errno != EINTR) break;
      if (r > 0 && (p[1].revents & POLLIN)) return TakeInterrupt();
      if (r > 0) {
        int waiting = 0;
        if (::ioctl(fd_.get(), FIONREAD, &waiting) == 0 && waiting > 0) {
          return static_cast<size_t>(waiting);
        }
        // Readable but nothing to read: hung up, failing, or gone. Poll
        // would say so again at once, so wait out the time instead.
        lost_ = true;
        break;
      }
    }
    if (RemainingMs(deadline) == 0) return 0;
  }
  // Closed, hung up or failing: nothing is waiting, and the caller's loop
  // must not spin on it. Only Interrupt ends the wait early.
  pollfd wake{wake_.get(), POLLIN, 0};
  while (int left = RemainingMs(deadline)) {
    int r = ::poll(&wake, 1, left);
    if (r > 0) return TakeInterrupt();
    if (r < 0 && errno != EINTR) {
      std::this_thread::sleep_until(deadline);
      break;
    }
  }
  return 0;
}

void TermiosPort::Interrupt() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
}

size_t TermiosPort::TakeInterrupt() {
  uint64_t count = 0;
  [[maybe_unused]] ssize_t n = ::read(wake_.get(), &count, sizeof count);
  return 0;
}

size_t TermiosPort::Read(uint8_t* buffer, size_t max) {
  if (buffer == nullptr || max == 0) return 0;
  auto lock = LockShared();
  if (!fd_) return 0;
  for (;;) {
    ssize_t n = ::read(fd_.get(), buffer, max);
    if (n > 0) return static_cast<size_t>(n);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && DeviceGone(errno)) lost_ = true;
    return 0;  // nothing waiting (EAGAIN), end of file or EIO after a hang-up
  }
}

bool TermiosPort::Lost() const { return lost_.load(); }

int TermiosPort::Baud() const {
  auto lock = LockShared();
  return baud_;
}

OpenError TermiosPort::LastOpenError() const {
  auto lock = LockShared();
  return error_;
}

}  // namespace porten

// ---- Modem lines and the rate in place --------------------------------------
// For fixtures that wire DTR and RTS to the chip's mode pin and reset: there
// a close and reopen would pulse the reset line, so the rate changes on the
// open descriptor instead.

namespace porten {

bool TermiosPort::HasModemLines() const {
  auto lock = LockShared();
  if (!fd_) return false;
  int bits = 0;
  if (::ioctl(fd_.get(), TIOCMGET, &bits) == 0) return true;
  // ENOTTY (a pty) or EINVAL: no lines. Any other failure is the device's
  // own, and the line change that follows says so.
  const int err = errno;
  return err != ENOTTY && err != EINVAL;
}

bool TermiosPort::SetModemLine(ModemLine line, bool asserted, std::string& why) {
  auto lock = LockShared();
  if (!fd_) {
    why = "the port is closed";
    return false;
  }
  int bits = line == ModemLine::kDtr ? TIOCM_DTR : TIOCM_RTS;
  if (::ioctl(fd_.get(), asserted ? TIOCMBIS : TIOCMBIC, &bits) == 0) return true;
  const int err = errno;
  if (DeviceGone(err)) lost_ = true;
  why = ErrnoText(err);
  return false;
}

bool TermiosPort::ChangeRate(int baud) {
  speed_t speed{};
  if (!SpeedFor(baud, speed)) return false;
  auto lock = LockExclusive();
  if (!fd_) return false;
  termios tio{};
  if (::tcgetattr(fd_.get(), &tio) != 0) return false;
  ::cfsetispeed(&tio, speed);
  ::cfsetospeed(&tio, speed);
  // TCSADRAIN: a byte still in the adapter must not go out at the new rate.
  int r = 0;
  while ((r = ::tcsetattr(fd_.get(), TCSADRAIN, &tio)) != 0 && errno == EINTR) {
  }
  termios got{};
  if (r != 0 || ::tcgetattr(fd_.get(), &got) != 0) {
    if (DeviceGone(errno)) lost_ = true;
    return false;
  }
  if (::cfgetispeed(&got) != speed || ::cfgetospeed(&got) != speed) return false;
  ::tcflush(fd_.get(), TCIFLUSH);
  baud_ = baud;
  ++generation_;  // a write begun at the old rate must not go on at this one
  return true;
}

bool TermiosPort::KeepLinesOnClose() {
  auto lock = LockExclusive();
  if (!fd_) return false;
  termios tio{};
  if (::tcgetattr(fd_.get(), &tio) != 0) return false;
  tio.c_cflag &= ~HUPCL;
  termios got{};
  return ::tcsetattr(fd_.get(), TCSANOW, &tio) == 0 && ::tcgetattr(fd_.get(), &got) == 0 &&
         (got.c_cflag & HUPCL) == 0;
}

}  // namespace porten
