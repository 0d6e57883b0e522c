// A pseudo-terminal for the port tests: the test plays the far end on the
// master side. A second descriptor on the slave ("holder") keeps the pair
// alive while the port under test is closed, as a board that stays powered.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "link/termios_port.h"

namespace porten::testing {

class PtyPair {
 public:
  PtyPair() {
    master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master_ || ::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0) return;
    char name[128] = {};
    if (::ptsname_r(master_.get(), name, sizeof name) != 0) return;
    slavePath_ = name;
    ::fcntl(master_.get(), F_SETFL, ::fcntl(master_.get(), F_GETFL) | O_NONBLOCK);
    holder_.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    termios tio{};
    ::tcgetattr(holder_.get(), &tio);
    ::cfmakeraw(&tio);  // no echo back to the master before the port sets the line
    ::tcsetattr(holder_.get(), TCSANOW, &tio);
  }

  bool Ok() const { return master_ && holder_ && !slavePath_.empty(); }
  const std::string& SlavePath() const { return slavePath_; }
  int Master() const { return master_.get(); }
  int Holder() const { return holder_.get(); }

  // The slave's settings as the far end sees them.
  termios SlaveSettings() const {
    termios tio{};
    ::tcgetattr(master_.get(), &tio);
    return tio;
  }

  bool MasterWrite(const std::vector<uint8_t>& bytes) {
    return ::write(master_.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  // Reads until count bytes have come or timeoutMs has passed.
  std::vector<uint8_t> MasterRead(size_t count, int timeoutMs = 5000) {
    std::vector<uint8_t> out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd p{master_.get(), POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      uint8_t buf[512];
      ssize_t n = ::read(master_.get(), buf, std::min(sizeof buf, count - out.size()));
      if (n > 0) out.insert(out.end(), buf, buf + n);
    }
    return out;
  }

  // Waits until bytes the master wrote are queued on the slave side.
  bool WaitSlaveInput(int timeoutMs = 5000) {
    pollfd p{holder_.get(), POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1;
  }

  void HangUp() {
    holder_.reset();
    master_.reset();
  }

 private:
  UniqueFd master_;
  UniqueFd holder_;
  std::string slavePath_;
};

}  // namespace porten::testing
