#include "link/link.h"

#include <sys/stat.h>

namespace porten {

std::string DevicePath(const std::string& name, const std::string& devDir) {
  if (name.empty() || name[0] == '/') return name;
  const std::string inDev = devDir + "/" + name;
  if (name.find('/') == std::string::npos) return inDev;
  // "serial/by-id/usb-..." is a stable name in /dev; "boards/ttySIM0" a path
  // from here.
  struct stat st {};
  return ::lstat(inDev.c_str(), &st) == 0 ? inDev : name;
}

std::string DescribeOpenFailure(const std::string& path, const OpenError& error) {
  const std::string& detail = error.detail;
  switch (error.kind) {
    case OpenFailure::kNone:
      return path + ": open";
    case OpenFailure::kNotFound:
      return path + ": no such device (is the adapter plugged in?)";
    case OpenFailure::kPermission:
      return path +
             ": permission denied. Add yourself to the dialout group "
             "(sudo usermod -aG dialout $USER), then log in again.";
    case OpenFailure::kBusy:
      // Name the holder when we know it; the usual suspects only otherwise.
      if (!error.holder.empty()) return path + ": the port is in use by " + error.holder + ".";
      return path +
             ": the port is in use. Close the other program (ModemManager and brltty are "
             "common culprits).";
    case OpenFailure::kNotSerial:
      return path + ": not a serial device";
    case OpenFailure::kOther:
      break;
  }
  return path + ": cannot open" + (detail.empty() ? "" : ": " + detail);
}

}  // namespace porten
