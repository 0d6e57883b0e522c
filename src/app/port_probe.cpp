#include "app/port_probe.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace porten::app {

namespace {

// Kinds of serial device, in the order the list shows them. The on-board
// UARTs come first, as COM1 did; USB adapters next, then the SoC and
// Bluetooth ones.
constexpr const char* kKinds[] = {"ttyS",   "ttyUSB", "ttyACM", "ttyAMA", "ttyTHS",
                                  "ttymxc", "ttySAC", "ttyO",   "rfcomm"};
constexpr int kKindCount = static_cast<int>(sizeof kKinds / sizeof kKinds[0]);

struct Candidate {
  int kind;
  long number;
  std::string name;
};

// Kind index when name is a kind's prefix followed by digits only, else -1
// ("ttySAC0" must not count as a ttyS port).
int KindOf(const std::string& name, long& number) {
  for (int k = 0; k < kKindCount; ++k) {
    const std::string prefix = kKinds[k];
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string digits = name.substr(prefix.size());
    if (digits.size() > 6 ||
        !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); })) {
      continue;
    }
    number = std::stol(digits);
    return k;
  }
  return -1;
}

// The kernel creates ttyS0..N whether or not a UART sits behind them; those
// without one report type 0 (PORT_UNKNOWN) and cannot transfer anything.
bool SysfsSaysNoUart(const ProbePlaces& places, const std::string& name) {
  std::ifstream in(places.sysTtyDir + "/" + name + "/type");
  int type = -1;
  return in >> type && type == 0;
}

bool IoctlSaysNoUart(int fd) {
  serial_struct info{};
  return ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN;
}

// True when the device opens now and nobody holds its lock. Opened
// non-blocking so a modem line without carrier cannot stall the dialog.
bool Available(const std::string& path, bool checkUart) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = true;
  if (checkUart && IoctlSaysNoUart(fd)) ok = false;
  if (ok && ::flock(fd, LOCK_EX | LOCK_NB) != 0) ok = false;  // another program has it
  ::close(fd);  // also drops our lock
  return ok;
}

}  // namespace

std::vector<std::string> ProbePorts(const ProbePlaces& places) {
  std::vector<Candidate> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(places.devDir, ec)) {
    const std::string name = entry.path().filename().string();
    long number = 0;
    const int kind = KindOf(name, number);
    if (kind < 0) continue;
    const bool uart = std::string(kKinds[kind]) == "ttyS";
    if (uart && SysfsSaysNoUart(places, name)) continue;
    if (!Available(entry.path().string(), uart)) continue;
    found.push_back({kind, number, name});
  }
  std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
    return a.kind != b.kind ? a.kind < b.kind : a.number < b.number;
  });
  std::vector<std::string> names;
  names.reserve(found.size());
  for (auto& c : found) names.push_back(std::move(c.name));
  return names;
}

}  // namespace porten::app
