#include "sim/sim_board.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace porten::sim {

namespace {

using Clock = std::chrono::steady_clock;

// The time one byte takes on the wire: start bit, 8 data bits, stop bit.
Clock::duration ByteTime(int rate) {
  if (rate <= 0) return Clock::duration::zero();
  return std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(10'000'000 / rate));
}

int RateOf(speed_t speed) {
  switch (speed) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
  }
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

SimBoard::SimBoard(BoardOptions options) : options_(std::move(options)), model_(options_) {}

SimBoard::~SimBoard() { Stop(); }

bool SimBoard::Start() {
  std::lock_guard lock(mu_);
  if (running_) return true;
  auto fail = [&](const std::string& what) {
    error_ = what + ": " + std::strerror(errno);
    CloseFd(slave_);
    CloseFd(master_);
    CloseFd(wake_);
    return false;
  };
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master_ < 0) return fail("posix_openpt");
  char name[128] = {};
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 || ::ptsname_r(master_, name, sizeof name) != 0) {
    return fail("pty setup");
  }
  slavePath_ = name;
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (slave_ < 0) return fail(slavePath_);
  // Raw from the start: the slave's default line discipline would echo our
  // bytes back to us until the tool sets the line.
  termios tio{};
  ::tcgetattr(slave_, &tio);
  ::cfmakeraw(&tio);
  ::cfsetispeed(&tio, B4800);
  ::cfsetospeed(&tio, B4800);
  ::tcsetattr(slave_, TCSANOW, &tio);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) return fail("eventfd");

  if (!options_.linkPath.empty()) {
    struct stat st {};
    if (::lstat(options_.linkPath.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        errno = EEXIST;
        return fail(options_.linkPath + " exists and is not a symbolic link");
      }
      ::unlink(options_.linkPath.c_str());
    }
    if (::symlink(slavePath_.c_str(), options_.linkPath.c_str()) != 0) return fail(options_.linkPath);
    linkMade_ = options_.linkPath;
  }

  running_ = true;
  thread_ = std::thread(&SimBoard::Run, this);
  return true;
}

void SimBoard::Stop() {
  {
    std::lock_guard lock(mu_);
    running_ = false;
  }
  Wake();
  if (thread_.joinable()) thread_.join();
  std::lock_guard lock(mu_);
  if (!linkMade_.empty()) {
    // Only our own link: someone may have put another board there meanwhile.
    char target[256] = {};
    ssize_t n = ::readlink(linkMade_.c_str(), target, sizeof target - 1);
    if (n > 0 && slavePath_ == std::string(target, static_cast<size_t>(n))) ::unlink(linkMade_.c_str());
    linkMade_.clear();
  }
  CloseFd(slave_);
  CloseFd(master_);
  CloseFd(wake_);
}

void SimBoard::ClearFaults() {
  {
    std::lock_guard lock(mu_);
    model_.ClearFaults();
    Touch();
  }
  Wake();  // a stalled board must poll for input again
}

void SimBoard::Wake() {
  if (wake_ < 0) return;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
}

void SimBoard::Reset() {
  std::lock_guard lock(mu_);
  if (model_.Gone()) return;
  // What was on its way either side is lost with the reset.
  rx_.clear();
  tx_.clear();
  Apply(model_.Reset());
}

void SimBoard::TakeBoardOff() {
  std::lock_guard lock(mu_);
  empty_ = true;
  heardWhileEmpty_ = false;
  rx_.clear();
  tx_.clear();
  Touch();
}

void SimBoard::PlaceBoard(const BoardKnobs& knobs) {
  std::lock_guard lock(mu_);
  model_ = BoardModel(knobs);
  empty_ = false;
  rx_.clear();
  tx_.clear();
  latencyArmed_ = false;
  latencyUs_.clear();  // the samples are the board's: a fixture places thousands
  Touch();
}

std::string SimBoard::Error() const {
  std::lock_guard lock(mu_);
  return error_;
}

std::string SimBoard::SlavePath() const {
  std::lock_guard lock(mu_);
  return slavePath_;
}

std::string SimBoard::PortPath() const {
  std::lock_guard lock(mu_);
  return options_.linkPath.empty() ? slavePath_ : options_.linkPath;
}

bool SimBoard::Drained() const {
  std::lock_guard lock(mu_);
  if (!tx_.empty()) return false;
  int waiting = 0;
  return slave_ < 0 || ::ioctl(slave_, FIONREAD, &waiting) != 0 || waiting == 0;
}

size_t SimBoard::UnreadFromTool() const {
  std::lock_guard lock(mu_);
  int waiting = 0;
  return master_ >= 0 && ::ioctl(master_, FIONREAD, &waiting) == 0 ? static_cast<size_t>(waiting) : 0;
}

int SimBoard::SampledToolRate() const {
  std::lock_guard lock(mu_);
  return sampledRate_;
}

bool SimBoard::HungUp() const {
  std::lock_guard lock(mu_);
  return model_.Gone();
}

std::vector<uint8_t> SimBoard::RomRange(uint32_t address, uint32_t length) const {
  std::lock_guard lock(mu_);
  return model_.Rom().Range(address, length);
}

std::vector<uint8_t> SimBoard::RamRange(uint32_t address, uint32_t length) const {
  std::lock_guard lock(mu_);
  return model_.Ram().Range(address, length);
}

SparseMemory SimBoard::Rom() const {
  std::lock_guard lock(mu_);
  return model_.Rom();
}

SparseMemory SimBoard::Ram() const {
  std::lock_guard lock(mu_);
  return model_.Ram();
}

std::vector<uint8_t> SimBoard::BootLoader() const {
  std::lock_guard lock(mu_);
  return model_.BootLoader();
}

std::vector<std::string> SimBoard::Events() const {
  std::lock_guard lock(mu_);
  return model_.Events();
}

std::vector<std::string> SimBoard::Anomalies() const {
  std::lock_guard lock(mu_);
  return model_.Anomalies();
}

BoardCounters SimBoard::Counters() const {
  std::lock_guard lock(mu_);
  BoardCounters counters = model_.Counters();
  counters.bytesFromTool = bytesFromTool_;
  counters.bytesToTool = bytesToTool_;
  return counters;
}

LatencyStats SimBoard::ReplyLatency() const {
  std::vector<double> samples;
  {
    std::lock_guard lock(mu_);
    samples = latencyUs_;
  }
  LatencyStats stats;
  stats.count = samples.size();
  if (samples.empty()) return stats;
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) {
    size_t i = static_cast<size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(i, samples.size() - 1)];
  };
  stats.p50Us = at(0.50);
  stats.p99Us = at(0.99);
  stats.maxUs = samples.back();
  return stats;
}

void SimBoard::ClearLog() {
  std::lock_guard lock(mu_);
  model_.ClearLog();
  latencyUs_.clear();
}

bool SimBoard::WaitFor(const std::function<bool()>& pred, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock lock(mu_);
  for (;;) {
    uint64_t seen = changes_;
    lock.unlock();
    if (pred()) return true;
    lock.lock();
    // The periodic tick keeps this going even if a change was missed.
    if (!changed_.wait_until(lock, deadline, [&] { return changes_ != seen; })) {
      lock.unlock();
      return pred();
    }
  }
}

bool SimBoard::WaitForEvent(const std::string& event, int timeoutMs) {
  return WaitFor(
      [&] {
        std::lock_guard lock(mu_);
        const auto& events = model_.Events();
        return std::find(events.begin(), events.end(), event) != events.end();
      },
      timeoutMs);
}

int SimBoard::ToolRate() const {
  termios tio{};
  if (slave_ < 0 || ::tcgetattr(slave_, &tio) != 0) return 0;
  return RateOf(::cfgetospeed(&tio));
}

void SimBoard::Apply(Reaction reaction) {
  if (options_.onEvent) pendingEvents_.insert(pendingEvents_.end(), reaction.events.begin(), reaction.events.end());
  Touch();
  auto due = Clock::now();
  for (uint8_t b : reaction.reply) {
    if (options_.wireTime) {
      due = std::max(due, txLineFree_) + ByteTime(reaction.replyRate);
      txLineFree_ = due;
    }
    tx_.push_back({b, due});
  }
  if (reaction.hangUp) HangUpLocked();
}

void SimBoard::HangUpLocked() {
  // As when the adapter is pulled: the device node goes away with the pty.
  if (!linkMade_.empty()) {
    ::unlink(linkMade_.c_str());
    linkMade_.clear();
  }
  CloseFd(slave_);
  CloseFd(master_);
  rx_.clear();
  tx_.clear();
}

void SimBoard::Run() {
  // The line's timing is ours to keep: the default 50 us timer slack, paid
  // twice a byte, would show up as lost line time in the benchmarks.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  std::vector<uint8_t> buffer(4096);
  std::unique_lock lock(mu_);
  while (running_) {
    auto now = Clock::now();
    auto next = now + std::chrono::milliseconds(50);  // tick: WaitFor re-checks
    if (!rx_.empty()) next = std::min(next, rx_.front().due);
    if (!tx_.empty()) next = std::min(next, tx_.front().due);
    const bool wantOut = !tx_.empty() && tx_.front().due <= now;
    const int rateBefore = ToolRate();
    sampledRate_ = rateBefore;
    const short in = model_.Stalled() ? 0 : POLLIN;
    pollfd fds[2] = {{master_, static_cast<short>(in | (wantOut ? POLLOUT : 0)), 0},
                     {wake_, POLLIN, 0}};
    // Nanoseconds, not poll's milliseconds: at 38400 bit/s a byte takes 260 us,
    // and rounding every due time up to 1 ms would stretch the wire time.
    auto wait = std::max(Clock::duration::zero(), next - now);
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(wait);
    timespec timeout{static_cast<time_t>(secs.count()),
                     static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(wait - secs).count())};
    lock.unlock();
    // master_ is -1 after a hang-up; poll then only watches the wake-up.
    int ready = ::ppoll(fds, 2, &timeout, nullptr);
    if (ready > 0 && (fds[1].revents & POLLIN)) {
      uint64_t drained = 0;
      [[maybe_unused]] ssize_t n = ::read(wake_, &drained, sizeof drained);
    }
    lock.lock();
    if (!running_) break;
    now = Clock::now();

    if (ready > 0 && (fds[0].revents & POLLIN) && master_ >= 0) {
      ssize_t n = ::read(master_, buffer.data(), buffer.size());
      if (n > 0) {
        const int rateAfter = ToolRate();
        if (latencyArmed_) {
          latencyArmed_ = false;
          latencyUs_.push_back(std::chrono::duration<double, std::micro>(now - lastTx_).count());
        }
        if (empty_ && !heardWhileEmpty_) {
          heardWhileEmpty_ = true;
          if (options_.onEvent) pendingEvents_.push_back("byte on an empty fixture");
        }
        for (ssize_t i = 0; i < n && !empty_; ++i) {
          ++bytesFromTool_;
          auto due = now;
          if (options_.wireTime) {
            due = std::max(now, rxLineFree_) + ByteTime(rateAfter);
            rxLineFree_ = due;
          }
          rx_.push_back({buffer[static_cast<size_t>(i)], rateBefore, rateAfter, due});
        }
        Touch();
      }
    } else if (ready > 0 && (fds[0].revents & (POLLHUP | POLLERR)) && master_ >= 0) {
      // Cannot happen while our own slave descriptor is open; do not spin if it does.
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      lock.lock();
      continue;
    }

    while (!rx_.empty() && rx_.front().due <= now) {
      RxByte byte = rx_.front();
      rx_.pop_front();
      Apply(model_.Receive(byte.value, byte.rateBefore, byte.rateAfter));
    }

    // Send what is due, in one write where possible.
    if (master_ >= 0 && !tx_.empty() && tx_.front().due <= now) {
      std::vector<uint8_t> chunk;
      for (const auto& t : tx_) {
        if (t.due > now) break;
        chunk.push_back(t.value);
      }
      ssize_t n = ::write(master_, chunk.data(), chunk.size());
      if (n > 0) {
        tx_.erase(tx_.begin(), tx_.begin() + n);
        bytesToTool_ += static_cast<uint64_t>(n);
        if (tx_.empty()) {
          latencyArmed_ = true;
          lastTx_ = Clock::now();
        }
        Touch();
      }
    }

    if (!pendingEvents_.empty()) {
      std::vector<std::string> events;
      events.swap(pendingEvents_);
      lock.unlock();
      for (const auto& e : events) options_.onEvent(e);
      lock.lock();
    }
    ++changes_;  // the tick wakes WaitFor as well
    changed_.notify_all();
  }
}

}  // namespace porten::sim
