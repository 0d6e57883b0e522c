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

std::string Hex2(uint8_t b) {
  char s[3];
  std::snprintf(s, sizeof s, "%02X", b);
  return s;
}

std::string Hex8(uint32_t v) {
  char s[9];
  std::snprintf(s, sizeof s, "%08X", v);
  return s;
}

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

SimBoard::SimBoard(BoardOptions options) : options_(std::move(options)), random_(options_.seed) {}

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

  phase_ = options_.startInLoader ? Phase::kIdle : Phase::kSync;
  running_ = true;
  thread_ = std::thread(&SimBoard::Run, this);
  return true;
}

void SimBoard::Stop() {
  {
    std::lock_guard lock(mu_);
    running_ = false;
  }
  if (wake_ >= 0) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
  }
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
    options_.silent = false;
    options_.syncNeverAnswered = false;
    options_.wrongEchoAt = -1;
    options_.errorAfterBlock = -1;
    options_.noiseBytes = 0;
    options_.burstBytes = 0;
    options_.muteAfterBytesSent = -1;
    options_.stallAfterHeader = false;
    options_.errorInHandshake = false;
    stalled_ = false;
    Touch();
  }
  if (wake_ >= 0) {  // a stalled board must poll for input again
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
  }
}

void SimBoard::Reset() {
  std::lock_guard lock(mu_);
  if (phase_ == Phase::kGone) return;
  phase_ = options_.startInLoader ? Phase::kIdle : Phase::kSync;
  syncZeros_ = 0;
  syncMarker_ = false;
  syncAnsweredOnce_ = false;
  noiseSent_ = false;
  header_.clear();
  block_.clear();
  rx_.clear();
  tx_.clear();
  queued_ = 0;
  Event("reset");
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

int SimBoard::SampledToolRate() const {
  std::lock_guard lock(mu_);
  return sampledRate_;
}

bool SimBoard::HungUp() const {
  std::lock_guard lock(mu_);
  return phase_ == Phase::kGone;
}

std::vector<uint8_t> SimBoard::RomRange(uint32_t address, uint32_t length) const {
  std::lock_guard lock(mu_);
  return rom_.Range(address, length);
}

std::vector<uint8_t> SimBoard::RamRange(uint32_t address, uint32_t length) const {
  std::lock_guard lock(mu_);
  return ram_.Range(address, length);
}

SparseMemory SimBoard::Rom() const {
  std::lock_guard lock(mu_);
  return rom_;
}

SparseMemory SimBoard::Ram() const {
  std::lock_guard lock(mu_);
  return ram_;
}

std::vector<uint8_t> SimBoard::BootLoader() const {
  std::lock_guard lock(mu_);
  return bootLoader_;
}

std::vector<std::string> SimBoard::Events() const {
  std::lock_guard lock(mu_);
  return events_;
}

std::vector<std::string> SimBoard::Anomalies() const {
  std::lock_guard lock(mu_);
  return anomalies_;
}

BoardCounters SimBoard::Counters() const {
  std::lock_guard lock(mu_);
  return counters_;
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
  events_.clear();
  anomalies_.clear();
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
        return std::find(events_.begin(), events_.end(), event) != events_.end();
      },
      timeoutMs);
}

int SimBoard::ToolRate() const {
  termios tio{};
  if (slave_ < 0 || ::tcgetattr(slave_, &tio) != 0) return 0;
  return RateOf(::cfgetospeed(&tio));
}

int SimBoard::PhaseRate(Phase phase) {
  switch (phase) {
    case Phase::kPoll:
    case Phase::kAck1:
    case Phase::kAck2:
    case Phase::kAck3:
    case Phase::kHeader:
    case Phase::kBlocks:
      return 38400;
    default:
      return 4800;
  }
}

const char* SimBoard::PhaseName(Phase phase) {
  switch (phase) {
    case Phase::kSync: return "boot sync";
    case Phase::kHandshake: return "boot handshake";
    case Phase::kSizeHigh: return "boot size";
    case Phase::kSizeLow: return "boot size";
    case Phase::kBootData: return "boot upload";
    case Phase::kPoll: return "loader poll";
    case Phase::kAck1:
    case Phase::kAck2:
    case Phase::kAck3: return "loader handshake";
    case Phase::kHeader: return "loader header";
    case Phase::kBlocks: return "loader blocks";
    case Phase::kIdle: return "loader idle";
    case Phase::kGone: return "hung up";
  }
  return "?";
}

void SimBoard::Event(std::string text) {
  events_.push_back(text);
  if (options_.onEvent) pendingEvents_.push_back(std::move(text));
  Touch();
}

void SimBoard::Anomaly(std::string text) {
  anomalies_.push_back(std::move(text));
  Touch();
}

void SimBoard::Send(uint8_t b) {
  if (options_.muteAfterBytesSent >= 0 && queued_ >= static_cast<uint64_t>(options_.muteAfterBytesSent)) return;
  ++queued_;
  auto due = Clock::now();
  if (options_.wireTime) {
    due = std::max(due, txLineFree_) + ByteTime(PhaseRate(phase_));
    txLineFree_ = due;
  }
  tx_.push_back({b, due});
}

void SimBoard::Send(const std::vector<uint8_t>& bytes) {
  for (uint8_t b : bytes) Send(b);
}

void SimBoard::SendNoise() {
  if (options_.noiseBytes <= 0 || noiseSent_) return;
  noiseSent_ = true;
  std::uniform_int_distribution<int> byte(0, 255);
  for (int i = 0; i < options_.noiseBytes; ++i) Send(static_cast<uint8_t>(byte(random_)));
  Event("noise " + std::to_string(options_.noiseBytes) + " bytes");
}

void SimBoard::HangUpLocked() {
  Event("hang-up after " + std::to_string(counters_.bytesFromTool) + " bytes");
  // As when the adapter is pulled: the device node goes away with the pty.
  if (!linkMade_.empty()) {
    ::unlink(linkMade_.c_str());
    linkMade_.clear();
  }
  CloseFd(slave_);
  CloseFd(master_);
  rx_.clear();
  tx_.clear();
  phase_ = Phase::kGone;
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
    const short in = stalled_ ? 0 : POLLIN;
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
        for (ssize_t i = 0; i < n; ++i) {
          ++counters_.bytesFromTool;
          if (options_.hangUpAfterBytes >= 0 &&
              counters_.bytesFromTool >= static_cast<uint64_t>(options_.hangUpAfterBytes)) {
            HangUpLocked();
            break;
          }
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

    while (!rx_.empty() && rx_.front().due <= now && phase_ != Phase::kGone) {
      RxByte byte = rx_.front();
      rx_.pop_front();
      Handle(byte.value, byte.rateBefore, byte.rateAfter);
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
        counters_.bytesToTool += static_cast<uint64_t>(n);
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

void SimBoard::Handle(uint8_t b, int rateBefore, int rateAfter) {
  if (options_.silent) return;
  if (options_.noiseAt == NoiseAt::kFirstByte) SendNoise();

  const bool loaderRuns = phase_ >= Phase::kPoll && phase_ <= Phase::kIdle;
  if (loaderRuns && b == 0x00 && (rateBefore == 4800 || rateAfter == 4800)) {
    // A fresh download: the tool resets the board into boot mode and syncs.
    Event("boot mode again");
    phase_ = Phase::kSync;
    syncZeros_ = 0;
    syncMarker_ = false;
    syncAnsweredOnce_ = false;
    if (options_.noiseAt == NoiseAt::kBeforeSyncAnswer) noiseSent_ = false;
  }

  const int expected = PhaseRate(phase_);
  if (rateBefore != expected && rateAfter != expected) {
    // At the wrong rate the board sees garbage, not this byte.
    Anomaly("byte " + Hex2(b) + " at " + std::to_string(rateAfter) + " bit/s in " + PhaseName(phase_) +
            ", expected " + std::to_string(expected) + " bit/s");
    return;
  }

  switch (phase_) {
    case Phase::kSync:
      HandleSync(b);
      return;
    case Phase::kHandshake:
      if (b == 0x55) {
        Send(0xAA);
        Event("handshake");
        phase_ = Phase::kSizeHigh;
      } else {
        Anomaly("byte " + Hex2(b) + " in boot handshake, expected 55");
      }
      return;
    case Phase::kSizeHigh:
      Send(b);
      bootSize_ = uint32_t{b} << 8;
      phase_ = Phase::kSizeLow;
      return;
    case Phase::kSizeLow:
      Send(b);
      bootSize_ |= b;
      bootLoader_.clear();
      Event("boot loader size " + std::to_string(bootSize_));
      phase_ = Phase::kBootData;
      if (bootSize_ == 0) Anomaly("boot loader size 0");
      return;
    case Phase::kBootData: {
      const int index = static_cast<int>(bootLoader_.size());
      bootLoader_.push_back(b);
      if (index == options_.wrongEchoAt) {
        Send(static_cast<uint8_t>(b ^ 0xFF));
        Event("echo altered at byte " + std::to_string(index));
      } else {
        Send(b);
      }
      if (bootLoader_.size() >= bootSize_) {
        Send(0xAA);
        Event("boot loader runs (" + std::to_string(bootSize_) + " bytes)");
        phase_ = Phase::kPoll;
        ramTarget_ = false;
      }
      return;
    }
    default:
      HandleLoader(b);
      return;
  }
}

void SimBoard::HandleSync(uint8_t b) {
  if (b == '0' || b == '3') {
    syncMarker_ = true;
    syncZeros_ = 0;
    Event("sync marker " + Hex2(b));
    return;
  }
  if (b != 0x00) {
    Anomaly("byte " + Hex2(b) + " in boot sync");
    return;
  }
  ++syncZeros_;
  bool answer = false;
  bool done = false;
  if (syncMarker_) {
    answer = done = syncZeros_ == 3;
  } else if (options_.sync == SyncAnswer::kAtOnce) {
    // Also after the pair, for a tool that set its state too late to see
    // the first answer and went on as if the board had been silent.
    answer = syncZeros_ == 1 || syncZeros_ == 3;
    done = syncZeros_ == 3;
  } else if (options_.sync == SyncAnswer::kAfterPair) {
    answer = done = syncZeros_ == 3;
  }
  if (!answer || options_.syncNeverAnswered) return;
  if (options_.noiseAt == NoiseAt::kBeforeSyncAnswer) SendNoise();
  Send(0x00);
  syncAnsweredOnce_ = true;
  Event("sync answered");
  if (done) phase_ = Phase::kHandshake;
}

void SimBoard::HandleLoader(uint8_t b) {
  auto unexpected = [&](const char* want) {
    Anomaly("byte " + Hex2(b) + " in " + PhaseName(phase_) + ", expected " + want);
  };
  // 0x22 is the tool's answer to an error byte during the handshake, and a
  // "3" may still be on its way when the first one has been answered.
  const bool tolerated = b == 0x22 || b == '3';
  switch (phase_) {
    case Phase::kPoll:
      if (b == '3') {
        if (options_.errorInHandshake) {
          Send(0x60);
          Event("error 60 in handshake");
        }
        Send(0x00);
        Event("loader ready");
        phase_ = Phase::kAck1;
      } else if (b != 0x22) {
        unexpected("33");
      }
      return;
    case Phase::kAck1:
    case Phase::kAck2:
      if (b == 'D') {
        Send(0x00);
        phase_ = phase_ == Phase::kAck1 ? Phase::kAck2 : Phase::kAck3;
      } else if (!tolerated) {
        unexpected("44");
      }
      return;
    case Phase::kAck3:
      if (b == 0x88) {
        Send(0x00);
        header_.clear();
        phase_ = Phase::kHeader;
      } else if (!tolerated) {
        unexpected("88");
      }
      return;
    case Phase::kHeader:
      header_.push_back(b);
      if (header_.size() < 8) return;
      address_ = uint32_t{header_[0]} << 24 | uint32_t{header_[1]} << 16 | uint32_t{header_[2]} << 8 | header_[3];
      length_ = uint32_t{header_[4]} << 24 | uint32_t{header_[5]} << 16 | uint32_t{header_[6]} << 8 | header_[7];
      Event("header address " + Hex8(address_) + " length " + std::to_string(length_));
      if (length_ % 128 != 0) Anomaly("header length " + std::to_string(length_) + " is not a multiple of 128");
      if (options_.stallAfterHeader) {
        stalled_ = true;
        Event("stalled");
      }
      blocks_ = 0;
      block_.clear();
      phase_ = Phase::kBlocks;
      if (options_.burstBytes > 0) {
        Send(std::vector<uint8_t>(static_cast<size_t>(options_.burstBytes), options_.burstValue));
        Event("burst " + std::to_string(options_.burstBytes) + " bytes");
      }
      if (options_.errorAfterBlock == 0) {
        Send(0x60);
        Event("error 60 after header");
        phase_ = Phase::kIdle;
      } else if (length_ == 0) {
        Send(0x00);
        phase_ = Phase::kIdle;
      } else {
        Send(0x11);
      }
      return;
    case Phase::kBlocks: {
      block_.push_back(b);
      if (block_.size() < 128) return;
      SparseMemory& memory = ramTarget_ ? ram_ : rom_;
      memory.Write(address_ + blocks_ * 128, block_.data(), block_.size());
      block_.clear();
      ++blocks_;
      if (options_.errorAfterBlock > 0 && blocks_ == static_cast<uint32_t>(options_.errorAfterBlock)) {
        Send(0x60);
        Event("error 60 after block " + std::to_string(blocks_));
        phase_ = Phase::kIdle;
      } else if (uint64_t{blocks_} * 128 >= length_) {
        Send(0x00);
        ++counters_.writesDone;
        uint32_t last = address_ + length_ - 1;
        Event(std::string("write done: ") + (ramTarget_ ? "RAM " : "ROM ") + Hex8(address_) + "-" + Hex8(last) +
              " (" + std::to_string(length_) + " bytes)");
        phase_ = Phase::kIdle;
      } else {
        Send(0x11);
      }
      return;
    }
    case Phase::kIdle:
      if (b == '2') {
        ++counters_.ramTransfers;
        ramTarget_ = true;
        Event("RAM transfer");
        phase_ = Phase::kPoll;
      } else if (b == '1') {
        ++counters_.runs;
        Event("run program");
      } else {
        unexpected("32, 31 or a sync");
      }
      return;
    default:
      return;
  }
}

}  // namespace porten::sim
