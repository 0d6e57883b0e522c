#include "cli/commands.h"

#include <algorithm>
#include <cstring>

#include "cli/args.h"

namespace porten::cli {

namespace {

constexpr Subcommand kSubcommands[] = {
    {"info", "FILE [--dump-bin OUT]",
     "load an image file (S-record, Intel HEX or ELF) as the write image; print its address range and length",
     DeclareInfo},
    {"write", "--port PORT... (--boot LOADER | --ram) IMAGE",
     "write an image into the board's ROM (or RAM)", DeclareWrite},
    {"ports", "", "list the serial ports", DeclarePorts},
    {"records", "[--records WHERE] list|export|series",
     "read the records of written boards and their serial numbers", DeclareRecords},
    {"station", "(--port PORT... | --watch DIR...) (--boot LOADER | --ram) IMAGE",
     "write every board that arrives, board after board, and log each", DeclareStation},
};

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h" || arg == "help"; }

}  // namespace

std::string Usage() {
  std::string text =
      "Usage: porten-cli COMMAND [ARGS...]\n"
      "Writes program images into a microcontroller's ROM over a serial port.\n"
      "\n"
      "Commands:\n";
  size_t width = 0;
  for (const Subcommand& c : kSubcommands) {
    width = std::max(width, std::strlen(c.name) + 1 + std::strlen(c.synopsis));
  }
  for (const Subcommand& c : kSubcommands) {
    std::string head = std::string(c.name) + (*c.synopsis ? " " : "") + c.synopsis;
    text += "  " + head + std::string(width + 2 - head.size(), ' ') + c.summary;
    if (!c.declare) text += " (not in this build yet)";
    text += "\n";
  }
  text +=
      "\n"
      "Run 'porten-cli COMMAND --help' for the details of one command,\n"
      "'porten-cli --version' for the version.\n"
      "Exit status: 0 done, 1 usage error, 2 file error; write adds 3 port, 4 transfer,\n"
      "5 no answer, 130 interrupted.\n";
  return text;
}

int Dispatch(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() < 2) {
    err << Usage();
    return kExitUsage;
  }
  const std::string& name = args[1];
  if (IsHelp(name)) {
    out << Usage();
    return kExitOk;
  }
  if (name == "--version") {
    out << PORTEN_VERSION << "\n";
    return kExitOk;
  }
  for (const Subcommand& c : kSubcommands) {
    if (name != c.name) continue;
    if (!c.declare) {
      err << "porten-cli: '" << name << "' is not in this build yet\n";
      return kExitUsage;
    }
    CLI::App app(c.summary, "porten-cli " + name);
    const Runner run = c.declare(app);
    if (auto status = args::Parse(app, std::vector<std::string>(args.begin() + 2, args.end()), out, err)) {
      return *status;
    }
    return run(out, err);
  }
  err << "porten-cli: unknown command '" << name << "'\n\n" << Usage();
  return kExitUsage;
}

}  // namespace porten::cli
