// Who holds a serial port: the port's open failure names the holder, and the
// port list marks busy ports with it.
#pragma once

#include <string>

#include "core/port.h"

namespace porten {

// Which processes hold the device at path open, as "PID (name)" (several
// joined by ", "); empty when none is found. A flock holder named in
// procRoot/locks comes first; otherwise procRoot/*/fd is searched for the
// device, other processes before our own.
std::string FindPortHolder(const std::string& path, const std::string& procRoot = "/proc");

// The failure class of an errno from open(2) of a serial device.
OpenFailure ClassifyOpenErrno(int err);

}  // namespace porten
