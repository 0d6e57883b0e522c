// Reading and writing the board's memory as S-record or binary files.
//
// The board has its own small S-record reader on purpose: it checks the
// tool's loader, so it must not share that loader's mistakes.
#pragma once

#include <string>

#include "sim/sparse_memory.h"

namespace porten::sim {

// Reads the data records (S1/S2/S3) of an S-record file into out; checks
// every record's checksum. False with a message naming the line on failure.
bool ReadSRecordFile(const std::string& path, SparseMemory& out, std::string& error);

// Writes the written ranges of memory to path: ".bin" gives the bytes from the
// lowest to the highest written address (gaps 0xFF); ".mot", ".srec", ".s19",
// ".s28" and ".s37" give S3 records with an S7 end record.
bool WriteMemoryFile(const std::string& path, const SparseMemory& memory, std::string& error);

}  // namespace porten::sim
