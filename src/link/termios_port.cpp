#include "link/termios_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
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

std::string ReadFirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string DescribePid(long pid, const std::string& procRoot) {
  std::string name = ReadFirstLine(procRoot + "/" + std::to_string(pid) + "/comm");
  return std::to_string(pid) + " (" + (name.empty() ? "?" : name) + ")";
}

bool IsNumber(const char* s) {
  if (*s == '\0') return false;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

}  // namespace

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

OpenFailure ClassifyOpenErrno(int err) {
  switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return OpenFailure::kNotFound;
    case EACCES:
    case EPERM:
      return OpenFailure::kPermission;
    case EBUSY:
      return OpenFailure::kBusy;
    default:
      return OpenFailure::kOther;
  }
}

std::string FindPortHolder(const std::string& path, const std::string& procRoot) {
  struct stat dev {};
  if (::stat(path.c_str(), &dev) != 0) return {};

  // flock holders: "1: FLOCK  ADVISORY  WRITE 4242 00:19:6 0 EOF".
  {
    std::ifstream locks(procRoot + "/locks");
    std::string line;
    while (std::getline(locks, line)) {
      std::istringstream in(line);
      std::string id, kind, mode, access, where;
      long pid = 0;
      if (!(in >> id >> kind)) continue;
      if (kind == "->") continue;  // a waiter, not a holder
      if (kind != "FLOCK" || !(in >> mode >> access >> pid >> where)) continue;
      unsigned maj = 0, min = 0;
      unsigned long ino = 0;
      if (std::sscanf(where.c_str(), "%x:%x:%lu", &maj, &min, &ino) != 3) continue;
      if (maj == major(dev.st_dev) && min == minor(dev.st_dev) && ino == dev.st_ino && pid > 0) {
        return DescribePid(pid, procRoot);
      }
    }
  }

  // Anyone with the device open.
  std::vector<long> others, self;
  const long ownPid = static_cast<long>(::getpid());
  if (DIR* procs = ::opendir(procRoot.c_str())) {
    while (dirent* p = ::readdir(procs)) {
      if (!IsNumber(p->d_name)) continue;
      std::string fdDir = procRoot + "/" + p->d_name + "/fd";
      DIR* fds = ::opendir(fdDir.c_str());
      if (!fds) continue;
      bool found = false;
      while (dirent* f = ::readdir(fds)) {
        if (!IsNumber(f->d_name)) continue;
        struct stat st {};
        if (::stat((fdDir + "/" + f->d_name).c_str(), &st) != 0) continue;
        bool sameDevice = S_ISCHR(dev.st_mode) ? (S_ISCHR(st.st_mode) && st.st_rdev == dev.st_rdev)
                                               : (st.st_dev == dev.st_dev && st.st_ino == dev.st_ino);
        if (sameDevice) {
          found = true;
          break;
        }
      }
      ::closedir(fds);
      if (found) {
        long pid = std::strtol(p->d_name, nullptr, 10);
        (pid == ownPid ? self : others).push_back(pid);
      }
    }
    ::closedir(procs);
  }
  std::sort(others.begin(), others.end());
  others.insert(others.end(), self.begin(), self.end());
  std::string out;
  for (size_t i = 0; i < others.size() && i < 3; ++i) {
    if (!out.empty()) out += ", ";
    out += DescribePid(others[i], procRoot);
  }
  return out;
}

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

bool TermiosPort::Fail(OpenFailure why, std::string detail) {
  failure_ = why;
  error_ = std::move(detail);
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
    if (why == OpenFailure::kBusy) {
      std::string holder = FindPortHolder(path);
      return Fail(why, ErrnoText(err) + (holder.empty() ? "" : "; in use by " + holder));
    }
    return Fail(why, ErrnoText(err));
  }

  // TIOCEXCL does not hold back root, so the flock is what keeps a second
  // instance of ours off the port. It comes first: if another program holds
  // the port we must not touch its exclusive flag.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    if (err == EWOULDBLOCK) {
      fd.reset();  // so our own descriptor does not show up as a holder
      std::string holder = FindPortHolder(path);
      return Fail(OpenFailure::kBusy,
                  ErrnoText(EBUSY) + (holder.empty() ? "" : "; in use by " + holder));
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
  // From here on a failure must give the exclusive flag back before closing.
  auto failOpen = [&](OpenFailure why, std::string detail) {
    ::ioctl(fd.get(), TIOCNXCL);
    ::flock(fd.get(), LOCK_UN);
    fd.reset();
    return Fail(why, std::move(detail));
  };

  int lines = TIOCM_DTR | TIOCM_RTS;
  if (::ioctl(fd.get(), TIOCMBIS, &lines) != 0 && DeviceGone(errno)) {
    return failOpen(OpenFailure::kNotFound, ErrnoText(errno));
  }

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
  if (::tcsetattr(fd.get(), TCSANOW, &tio) != 0) {
    int err = errno;
    return failOpen(DeviceGone(err) ? OpenFailure::kNotFound : OpenFailure::kOther, ErrnoText(err));
  }

  // tcsetattr succeeds when any one of the settings was taken; read back.
  termios got{};
  if (::tcgetattr(fd.get(), &got) != 0) {
    int err = errno;
    return failOpen(DeviceGone(err) ? OpenFailure::kNotFound : OpenFailure::kOther, ErrnoText(err));
  }
  if ((got.c_cflag & kCflagChecked) != (tio.c_cflag & kCflagChecked) ||
      (got.c_iflag & kIflagChecked) != (tio.c_iflag & kIflagChecked) ||
      (got.c_lflag & kLflagChecked) != (tio.c_lflag & kLflagChecked) ||
      (got.c_oflag & OPOST) != (tio.c_oflag & OPOST) || ::cfgetispeed(&got) != speed ||
      ::cfgetospeed(&got) != speed || got.c_cc[VMIN] != 0 || got.c_cc[VTIME] != 0) {
    return failOpen(OpenFailure::kOther, "the device does not accept the line settings (" +
                                             std::to_string(baud) + " bit/s, 8 data bits, " +
                                             (parity == 1   ? "odd parity"
                                              : parity == 2 ? "even parity"
                                                            : "no parity") +
                                             ", " + (stopBits == 1 ? "1 stop bit" : "2 stop bits") +
                                             ")");
  }

  // RTS goes up with DTR and drops again once the line is set, as the board
  // expects at every open.
  lines = TIOCM_RTS;
  if (::ioctl(fd.get(), TIOCMBIC, &lines) != 0 && DeviceGone(errno)) {
    return failOpen(OpenFailure::kNotFound, ErrnoText(errno));
  }

  // Every reply is awaited byte by byte, so the FTDI-style 16 ms latency
  // timer would dominate the transfer time. Optional: not every driver has it.
  serial_struct serial{};
  if (::ioctl(fd.get(), TIOCGSERIAL, &serial) == 0 && !(serial.flags & ASYNC_LOW_LATENCY)) {
    serial.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(fd.get(), TIOCSSERIAL, &serial);
  }

  ::tcflush(fd.get(), TCIFLUSH);

  fd_ = std::move(fd);
  baud_ = baud;
  ++generation_;
  failure_ = OpenFailure::kNone;
  error_.clear();
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
  uint64_t generation = 0;
  {
    auto lock = LockShared();
    if (!fd_) return 0;
    generation = generation_;
  }
  size_t done = 0;
  while (done < count) {
    auto lock = LockShared();
    // Closed or reopened meanwhile: the rest must not go out on another open.
    if (!fd_ || generation_ != generation) break;
    ssize_t n = ::write(fd_.get(), data + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;  // EIO: device gone
    int left = RemainingMs(deadline);
    if (left == 0) break;
    pollfd p{fd_.get(), POLLOUT, 0};
    int r = ::poll(&p, 1, std::min(left, kMaxLockedWaitMs));
    if (r < 0 && errno != EINTR) break;
    if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) break;
  }
  // No tcdrain: on a pty nobody drains, and the protocol waits for the
  // board's answer anyway.
  return done;
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
    return 0;  // nothing waiting (EAGAIN), end of file or EIO after a hang-up
  }
}

int TermiosPort::Baud() const {
  auto lock = LockShared();
  return baud_;
}

OpenFailure TermiosPort::LastFailure() const {
  auto lock = LockShared();
  return failure_;
}

std::string TermiosPort::LastError() const {
  auto lock = LockShared();
  return error_;
}

}  // namespace porten
