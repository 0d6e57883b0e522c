// porten-board's command line.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "sim/sim_board.h"

namespace porten::sim {

struct BoardSettings {
  BoardOptions board;
  std::string romOut, ramOut;  // memory files written after each write and at exit
  std::string expect;          // S-record file the ROM is compared with
  bool once = false;           // exit after the first finished write
  // A fixture of boards, one after the other: on the link (fixture), or each
  // with its own link in hotPlugDir.
  bool fixture = false;
  std::string hotPlugDir;
  double offSeconds = 3;  // how long the fixture stays empty between boards
  int keepSyncs = 0;      // a written board stays for this many syncs; -1 for good
  int boards = 0;         // exit once this many boards have been taken off; 0 never
  bool version = false;
};

// Parses the arguments after the program name into settings. Returns nothing
// when the board should run, else the exit status: 0 after --help or
// --version went to out, 1 after a usage error went to err.
std::optional<int> ParseBoardArgs(const std::vector<std::string>& args, BoardSettings& settings, std::ostream& out,
                                  std::ostream& err);

}  // namespace porten::sim
