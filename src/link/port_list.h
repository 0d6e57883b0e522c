// The serial ports of this machine, with what sysfs says about the adapter
// behind each and whether another program holds it. Qt-free, so the command
// line lists exactly what the dialog offers.
#pragma once

#include <string>
#include <vector>

#include "link/board_links.h"

namespace porten {

// Where to look; tests point these at a fake tree.
struct PortPlaces {
  std::string devDir = "/dev";
  std::string sysTtyDir = "/sys/class/tty";
  std::string procRoot = "/proc";
  std::string boardDir = BoardLinkDir();  // simulated boards' links
};

enum class PortAvailability {
  kFree,
  kInUse,         // another program holds it (lock, exclusive flag or open descriptor)
  kNoPermission,  // we may not open it (not in the dialout group)
};

struct PortInfo {
  std::string name;  // "ttyUSB0"; a simulated board's link by its path
  std::string path;  // "/dev/ttyUSB0"
  bool usb = false;
  bool simulated = false;  // a porten-board link
  // A stable name for --port that survives replugging, relative to /dev:
  // "serial/by-id/usb-FTDI_...-if00-port0"; empty when udev made none.
  std::string byId;
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
// ttyUSB, ttyACM, ttyAMA, ...), numerically within a kind, then the links of
// simulated boards. ttyS entries without a UART behind them are left out.
// Each port is opened and closed again to learn whether it is free.
std::vector<PortInfo> ListPorts(const PortPlaces& places = {});

// The serial number of the USB adapter behind the device at path (links
// followed), from sysfs without opening the device; empty for anything else.
std::string UsbSerialOf(const std::string& path, const PortPlaces& places = {});

// One line per port, columns aligned, and a second line with the stable
// name where there is one:
//   ttyUSB0  /dev/ttyUSB0  FTDI FT232R USB UART (0403:6001), serial A50285BI  [in use by 812 (minicom)]
//            --port serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0
std::vector<std::string> FormatPortLines(const std::vector<PortInfo>& ports);

}  // namespace porten
