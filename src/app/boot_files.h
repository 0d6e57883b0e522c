// The boot loader files offered in the main dialog.
#pragma once

#include <string>
#include <vector>

namespace porten::app {

// Regular files directly in dir whose names end in ".MOT" in any case,
// hidden (dot) files left out, sorted without regard to case.
std::vector<std::string> ListBootFiles(const std::string& dir);

}  // namespace porten::app
