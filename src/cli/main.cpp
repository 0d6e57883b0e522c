#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  return porten::cli::Dispatch(args, std::cout, std::cerr);
}
