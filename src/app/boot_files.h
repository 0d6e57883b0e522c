// The boot loader files offered in the main dialog, and the directory they
// come from.
#pragma once

#include <string>
#include <vector>

namespace porten::app {

// Regular files directly in dir whose names end in ".MOT" in any case,
// hidden (dot) files left out, sorted without regard to case.
std::vector<std::string> ListBootFiles(const std::string& dir);

// The directory the boot file list comes from: dirArgument when given (the
// caller has checked it); else cwd when it holds a boot file; else
// remembered, the one of the last run, when it is still a directory; else cwd.
std::string ChooseBootDir(const std::string& dirArgument, const std::string& cwd,
                          const std::string& remembered);

}  // namespace porten::app
