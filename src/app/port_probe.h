// The serial ports a user could pick right now: devices that exist, have
// hardware behind them and are not held by another program.
#pragma once

#include <string>
#include <vector>

namespace porten::app {

struct ProbePlaces {
  std::string devDir = "/dev";
  std::string sysTtyDir = "/sys/class/tty";
};

// Bare device names ("ttyUSB0"), grouped by kind in a fixed order (ttyS,
// ttyUSB, ttyACM, ttyAMA, ...), numerically within a kind. Each candidate is
// opened and closed again; a port another program holds is left out.
std::vector<std::string> ProbePorts(const ProbePlaces& places = {});

}  // namespace porten::app
