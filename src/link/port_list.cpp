#include "link/port_list.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "link/port_holder.h"

namespace porten {

namespace fs = std::filesystem;

namespace {

// Kinds of serial device, in the order the dialog shows them: on-board UARTs
// first, as COM1 was, then USB adapters, then SoC and Bluetooth ones.
constexpr const char* kKinds[] = {"ttyS",   "ttyUSB", "ttyACM", "ttyAMA", "ttyTHS",
                                  "ttymxc", "ttySAC", "ttyO",   "rfcomm"};

// Kind index when name is a kind's prefix followed by digits only, else -1
// ("ttySAC0" must not count as a ttyS port).
int KindOf(const std::string& name, long& number) {
  for (int k = 0; k < static_cast<int>(std::size(kKinds)); ++k) {
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

std::string ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

// The kernel creates ttyS0..N whether or not a UART sits behind them; those
// without one report type 0 (PORT_UNKNOWN).
bool SysfsSaysNoUart(const PortPlaces& places, const std::string& name) {
  std::ifstream in(places.sysTtyDir + "/" + name + "/type");
  int type = -1;
  return in >> type && type == 0;
}

// Walks up from the tty's device directory to the USB device that carries
// idVendor (ttyUSB sits two levels below it, ttyACM one).
void ReadUsbInfo(const PortPlaces& places, PortInfo& info) {
  std::error_code ec;
  fs::path dir = fs::canonical(fs::path(places.sysTtyDir) / info.name / "device", ec);
  if (ec) return;
  for (int depth = 0; depth < 8 && dir.has_relative_path(); ++depth, dir = dir.parent_path()) {
    if (!fs::exists(dir / "idVendor", ec)) continue;
    info.usb = true;
    info.vendorId = ReadLine(dir / "idVendor");
    info.productId = ReadLine(dir / "idProduct");
    info.manufacturer = ReadLine(dir / "manufacturer");
    info.product = ReadLine(dir / "product");
    info.serial = ReadLine(dir / "serial");
    return;
  }
}

enum class Probe { kGone, kNoUart, kFree, kLocked, kBusy, kNoPermission };

// Opened non-blocking so that a modem line without carrier cannot stall us.
Probe ProbeDevice(const std::string& path, bool checkUart) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    switch (ClassifyOpenErrno(errno)) {
      case OpenFailure::kPermission:
        return Probe::kNoPermission;
      case OpenFailure::kBusy:
        return Probe::kBusy;
      default:
        return Probe::kGone;
    }
  }
  Probe result = Probe::kFree;
  serial_struct serial{};
  if (checkUart && ::ioctl(fd, TIOCGSERIAL, &serial) == 0 && serial.type == PORT_UNKNOWN) {
    result = Probe::kNoUart;
  } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    result = Probe::kLocked;
  }
  ::close(fd);  // also gives back our lock
  return result;
}

// The stable names udev made for the device at path, by id first.
std::string StableName(const PortPlaces& places, const std::string& path) {
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  if (ec) return "";
  for (const char* kind : {"serial/by-id", "serial/by-path"}) {
    for (const auto& entry : fs::directory_iterator(fs::path(places.devDir) / kind, ec)) {
      std::error_code ignored;
      if (fs::canonical(entry.path(), ignored) == real) {
        return std::string(kind) + "/" + entry.path().filename().string();
      }
    }
  }
  return "";
}

struct Candidate {
  int kind;
  long number;
  PortInfo info;
};

}  // namespace

std::vector<PortInfo> ListPorts(const PortPlaces& places) {
  std::vector<Candidate> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(places.devDir, ec)) {
    const std::string name = entry.path().filename().string();
    long number = 0;
    const int kind = KindOf(name, number);
    if (kind < 0) continue;
    const bool uart = kind == 0;
    if (uart && SysfsSaysNoUart(places, name)) continue;

    PortInfo info;
    info.name = name;
    info.path = entry.path().string();
    switch (ProbeDevice(info.path, uart)) {
      case Probe::kGone:
      case Probe::kNoUart:
        continue;
      case Probe::kNoPermission:
        info.availability = PortAvailability::kNoPermission;
        break;
      case Probe::kLocked:
      case Probe::kBusy:
        info.availability = PortAvailability::kInUse;
        info.holder = FindPortHolder(info.path, places.procRoot);
        break;
      case Probe::kFree:
        // Terminal programs often take a port without locking it; an open
        // descriptor elsewhere means the same to the user.
        info.holder = FindPortHolder(info.path, places.procRoot);
        if (!info.holder.empty()) info.availability = PortAvailability::kInUse;
        break;
    }
    ReadUsbInfo(places, info);
    if (info.usb) info.byId = StableName(places, info.path);
    found.push_back({kind, number, std::move(info)});
  }
  std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
    return a.kind != b.kind ? a.kind < b.kind : a.number < b.number;
  });
  std::vector<PortInfo> ports;
  ports.reserve(found.size());
  for (auto& c : found) ports.push_back(std::move(c.info));
  for (const std::string& link : ListBoardLinks(places.boardDir)) {
    PortInfo info;
    info.name = link;
    info.path = fs::canonical(link, ec).string();
    info.simulated = true;
    ports.push_back(std::move(info));
  }
  return ports;
}

std::string UsbSerialOf(const std::string& path, const PortPlaces& places) {
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  if (ec) return "";
  PortInfo info;
  info.name = real.filename().string();
  ReadUsbInfo(places, info);
  return info.serial;
}

std::vector<std::string> FormatPortLines(const std::vector<PortInfo>& ports) {
  size_t nameWidth = 0;
  size_t pathWidth = 0;
  for (const PortInfo& p : ports) {
    nameWidth = std::max(nameWidth, p.name.size());
    pathWidth = std::max(pathWidth, p.path.size());
  }
  std::vector<std::string> lines;
  for (const PortInfo& p : ports) {
    std::vector<std::string> columns = {p.name + std::string(nameWidth - p.name.size(), ' '),
                                        p.path + std::string(pathWidth - p.path.size(), ' ')};
    if (p.simulated) columns.push_back("simulated board");
    if (p.usb) {
      std::string adapter = p.manufacturer;
      if (!p.product.empty()) adapter += (adapter.empty() ? "" : " ") + p.product;
      if (adapter.empty()) adapter = "USB adapter";
      adapter += " (" + p.vendorId + ":" + p.productId + ")";
      if (!p.serial.empty()) adapter += ", serial " + p.serial;
      columns.push_back(adapter);
    }
    switch (p.availability) {
      case PortAvailability::kFree:
        break;
      case PortAvailability::kInUse:
        columns.push_back(p.holder.empty() ? "[in use]" : "[in use by " + p.holder + "]");
        break;
      case PortAvailability::kNoPermission:
        columns.push_back("[no permission: join the dialout group]");
        break;
    }
    std::string line;
    for (const std::string& c : columns) line += (line.empty() ? "" : "  ") + c;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(std::move(line));
    if (!p.byId.empty()) lines.push_back(std::string(nameWidth + 2, ' ') + "--port " + p.byId);
  }
  return lines;
}

}  // namespace porten
