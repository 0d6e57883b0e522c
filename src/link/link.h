// Port names and open failures in words a user can act on.
#pragma once

#include <string>

#include "core/port.h"

namespace porten {

// A port name as the user gives it: a bare name ("ttyUSB0") is in /dev; a
// relative name with a slash is in /dev when it exists there (the stable
// names "serial/by-id/..." and "serial/by-path/..."), else a path from the
// current directory; an absolute path is used as it stands.
std::string DevicePath(const std::string& name, const std::string& devDir = "/dev");

// What went wrong opening path, in English, for the command line.
std::string DescribeOpenFailure(const std::string& path, const OpenError& error);

}  // namespace porten
