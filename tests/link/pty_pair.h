// A pseudo-terminal for the port tests: the test plays the far end on the
// master side. A second descriptor on the slave ("holder") keeps the pair
// alive while the port under test is closed, as a board that stays powered.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/unique_fd.h"

namespace porten::testing {

class PtyPair {
 public:
  PtyPair() {
    master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    char name[128] = {};
    if (!master_ || ::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0 ||
        ::ptsname_r(master_.get(), name, sizeof name) != 0) {
      return;
    }
    slavePath_ = name;
    holder_.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    termios tio{};
    ::tcgetattr(holder_.get(), &tio);
    ::cfmakeraw(&tio);  // no echo back to the master before the port sets the line
    ::tcsetattr(holder_.get(), TCSANOW, &tio);
  }

  bool Ok() const { return master_ && holder_ && !slavePath_.empty(); }
  const std::string& SlavePath() const { return slavePath_; }
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
  // Waits until bytes the master wrote are queued on the slave side.
  bool WaitSlaveInput() {
    pollfd p{holder_.get(), POLLIN, 0};
    return ::poll(&p, 1, 5000) == 1;
  }
  void HangUp() {
    holder_.reset();
    master_.reset();
  }

 private:
  UniqueFd master_, holder_;
  std::string slavePath_;
};

}  // namespace porten::testing
