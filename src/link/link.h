// Opening, writing and reopening the serial port, on the link variables of
// one download. The caller holds the download lock.
#pragma once

#include <cstdint>
#include <string>

#include "core/download_state.h"

namespace porten {

// A bare port name ("ttyUSB0") means /dev/NAME; anything with a slash is used
// as it stands, symbolic links included.
std::string DevicePath(const std::string& name);

// Records path in PortPath (also on failure) and opens it; on success resets
// TransferLength and both ring indices. TransferAddress keeps its value.
bool OpenPort(LinkVars& link, const std::string& path, int baud, int stopBits, int parity);
void ClosePort(LinkVars& link);
// count when every byte went out within the write time-out, else 0.
uint32_t WritePort(LinkVars& link, const uint8_t* bytes, uint32_t count);
inline uint32_t WriteByte(LinkVars& link, uint8_t byte) { return WritePort(link, &byte, 1); }
// Close, open at 38400 bit/s; on success pause 10 ms. 1 on success, else 0.
int ReopenFast(LinkVars& link, Clock& clock);
// Close, open at 4800 bit/s; the result is not looked at.
void ReopenSlow(LinkVars& link);

// Words a user can act on for a failed open of path (permission, in use,
// missing device), in English, for the command line and the dialog's hint.
std::string DescribeOpenFailure(const LinkVars& link);

}  // namespace porten
