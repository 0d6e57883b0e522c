// The serial ports of this machine, with what sysfs says about the adapter
// behind each and whether another program holds it. Qt-free, so the command
// line lists exactly what the dialog offers.
#pragma once

#include <string>
#include <vector>

namespace porten {

// Where to look; tests point these at a fake tree.
struct PortPlaces {
  std::string devDir = "/dev";
  std::string sysTtyDir = "/sys/class/tty";
  std::string procRoot = "/proc";
};

enum class PortAvailability {
  kFree,
  kInUse,         // another program holds it (lock, exclusive flag or open descriptor)
  kNoPermission,  // we may not open it (not in the dialout group)
};

struct PortInfo {
  std::string name;  // "ttyUSB0"
  std::string path;  // "/dev/ttyUSB0"
  bool usb = false;
  // For USB adapters, from the USB device's sysfs directory; empty when the
  // adapter does not say.
  std::string vendorId;  // "0403"
  std::string productId;
  std::string manufacturer;
  std::string product;
  std::string serial;
  PortAvailability availability = PortAvailability::kFree;
  std::string holder;  // "PID (name)" of the holder, when it can be found out
};

// The ports in the order the dialog lists them: grouped by kind (ttyS,
// ttyUSB, ttyACM, ttyAMA, ...), numerically within a kind. ttyS entries
// without a UART behind them are left out. Each port is opened and closed
// again to learn whether it is free.
std::vector<PortInfo> ListPorts(const PortPlaces& places = {});

// One line per port, columns aligned:
//   ttyUSB0  /dev/ttyUSB0  FTDI FT232R USB UART (0403:6001), serial A50285BI  [in use by 812 (minicom)]
std::vector<std::string> FormatPortLines(const std::vector<PortInfo>& ports);

}  // namespace porten
