// Runs the porten-cli executable as a user would, capturing its output.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace porten::cli {

struct CliResult {
  int exit = -1;
  std::string out;
  std::string err;
};

inline std::string ReadWhole(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream s;
  s << file.rdbuf();
  return s.str();
}

// `arguments` is shell text, run from directory `cwd`; output goes through
// files in `scratch`.
inline CliResult RunCli(const std::string& cwd, const std::string& arguments, const std::string& scratch) {
  std::string out = scratch + "/cli.out";
  std::string err = scratch + "/cli.err";
  std::string command = "cd '" + cwd + "' && LC_ALL=C.UTF-8 '" PORTEN_CLI_PATH "' " + arguments + " >'" + out +
                        "' 2>'" + err + "' </dev/null";
  int status = std::system(command.c_str());
  CliResult r;
  r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = ReadWhole(out);
  r.err = ReadWhole(err);
  return r;
}

inline bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace porten::cli
