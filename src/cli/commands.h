// The subcommands of porten-cli. Each lives in its own file; this table is
// the one place that names them, and the usage text is made from it.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace porten::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;  // as args::Parse returns it
inline constexpr int kExitFailed = 2;  // the file or the board failed

// What a subcommand does once its command line has parsed.
using Runner = std::function<int(std::ostream& out, std::ostream& err)>;

struct Subcommand {
  const char* name;
  const char* synopsis;  // arguments, after the name
  const char* summary;   // one line for the command list
  // Declares the subcommand's help text, options and checks on app, bound
  // to what the returned Runner reads; nullptr: not in this build yet.
  Runner (*declare)(CLI::App& app);
};

// The program's usage text, listing every subcommand.
std::string Usage();

// The whole command line, program name first; returns the exit status.
int Dispatch(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

Runner DeclareWrite(CLI::App& app);
Runner DeclareInfo(CLI::App& app);
Runner DeclarePorts(CLI::App& app);
Runner DeclareRecords(CLI::App& app);
Runner DeclareStation(CLI::App& app);

}  // namespace porten::cli
