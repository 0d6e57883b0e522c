// porten-cli ports: the serial ports the dialog would offer, with the USB
// adapter behind each and whether another program holds it.

#include "cli/commands.h"
#include "link/port_list.h"

namespace porten::cli {

namespace {

constexpr char kPortsHead[] =
    "Usage: porten-cli ports\n"
    "Lists the serial ports, one per line: the name to give to --port (or to pick\n"
    "in the dialog), the device path, and for USB adapters the maker, product,\n"
    "USB ids and serial number. A port another program holds is marked\n"
    "[in use by PID (program)]; one you may not open is marked [no permission].\n"
    "Simulated boards (porten-board) are pseudo-terminals and not listed: give\n"
    "the path the board prints.\n";
constexpr char kPortsTail[] =
    "\n"
    "Exit status: 0 (also when no port was found), 1 usage error.\n";

int Ports(std::ostream& out, std::ostream& err) {
  const std::vector<PortInfo> ports = ListPorts();
  if (ports.empty()) {
    err << "porten-cli ports: no serial ports found (is the adapter plugged in?)\n";
    return kExitOk;
  }
  for (const std::string& line : FormatPortLines(ports)) out << line << "\n";
  return kExitOk;
}

}  // namespace

Runner DeclarePorts(CLI::App& app) {
  args::SetHelp(app, kPortsHead, kPortsTail, 0);
  return Ports;
}

}  // namespace porten::cli
