#include "link/link.h"

namespace porten {

std::string DevicePath(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  return "/dev/" + name;
}

bool OpenPort(LinkVars& link, const std::string& path, int baud, int stopBits, int parity) {
  link.PortPath = path;
  if (!link.port || !link.port->Open(path, baud, stopBits, parity)) return false;
  link.TransferLength = 0;
  link.RxRead = 0;
  link.RxWrite = 0;
  return true;
}

void ClosePort(LinkVars& link) {
  if (link.port) link.port->Close();
}

uint32_t WritePort(LinkVars& link, const uint8_t* bytes, uint32_t count) {
  if (!link.port || count == 0) return 0;
  int timeout = link.writeTimeoutPerByteMs * static_cast<int>(count) + link.writeTimeoutConstantMs;
  size_t written = link.port->Write(bytes, count, timeout);
  return written == count ? count : 0;
}

int ReopenFast(LinkVars& link, Clock& clock) {
  ClosePort(link);
  if (!OpenPort(link, link.PortPath, 38400, 1, 0)) return 0;
  clock.Sleep(10);
  return 1;
}

void ReopenSlow(LinkVars& link) {
  ClosePort(link);
  OpenPort(link, link.PortPath, 4800, 1, 0);
}

std::string DescribeOpenFailure(const LinkVars& link) {
  const std::string& path = link.PortPath;
  if (!link.port) return path + ": no port";
  std::string detail = link.port->LastError();
  switch (link.port->LastFailure()) {
    case OpenFailure::kNone:
      return path + ": open";
    case OpenFailure::kNotFound:
      return path + ": no such device (is the adapter plugged in?)";
    case OpenFailure::kPermission:
      return path +
             ": permission denied. Add yourself to the dialout group "
             "(sudo usermod -aG dialout $USER), then log in again.";
    case OpenFailure::kBusy:
      return path + ": the port is in use" + (detail.empty() ? "" : " (" + detail + ")") +
             ". Close the other program (ModemManager and brltty are common culprits).";
    case OpenFailure::kNotSerial:
      return path + ": not a serial device";
    case OpenFailure::kOther:
      break;
  }
  return path + ": cannot open" + (detail.empty() ? "" : ": " + detail);
}

}  // namespace porten
