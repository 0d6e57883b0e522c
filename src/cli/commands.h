// The subcommands of porten-cli. Each lives in its own file; this table is
// the one place that names them, and the usage text is made from it.
#pragma once

#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace porten::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitFailed = 2;  // the file or the board failed

// args[0] is the subcommand's own name.
using CommandFn = int (*)(const std::vector<std::string>& args, std::ostream& out,
                          std::ostream& err);

struct Subcommand {
  const char* name;
  const char* synopsis;  // arguments, after the name
  const char* summary;   // one line for the command list
  CommandFn run;         // nullptr: not in this build yet
};

std::span<const Subcommand> Subcommands();

// The program's usage text, listing every subcommand.
std::string Usage();

// The whole command line, program name first; returns the exit status.
int Dispatch(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

int RunWrite(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RunInfo(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RunPorts(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RunRecords(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace porten::cli
