// porten-cli info FILE [--dump-bin OUT]: loads FILE exactly as the dialog's
// "参照" does, through the same batched load, and prints the address range
// the address box would show, the format, the length and the image's
// digests.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits.h>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "protocol/download_machine.h"
#include "image/digest.h"
#include "image/image_load.h"

namespace porten::cli {

namespace {

constexpr char kInfoHelp[] =
    "Usage: porten-cli info FILE [--dump-bin OUT]\n"
    "Loads FILE (S-record, Intel HEX or ELF, told from its content) as the image\n"
    "to write and prints the address range (as the address box shows it), the\n"
    "format, the length in bytes, and the SHA-256 and CRC-32 of the bytes a write\n"
    "sends: from the lowest address for the length, gaps as 0xFF. A relative FILE\n"
    "is taken from the current directory.\n"
    "\n"
    "  --dump-bin OUT  also write the image to OUT, from its lowest address for\n"
    "                  its length; bytes no record sets are 0xFF\n"
    "\n"
    "Exit status: 0 loaded, 1 usage error, 2 the file was refused (the message\n"
    "goes to standard error as FILE: TEXT, followed by a line that says where).\n";

std::string CurrentDirectory() {
  char dir[PATH_MAX];
  return ::getcwd(dir, sizeof dir) ? std::string(dir) : std::string();
}

int UsageError(std::ostream& err, const std::string& what) {
  err << "porten-cli info: " << what << "\n" << kInfoHelp;
  return kExitUsage;
}

bool WriteFile(const std::string& path, const uint8_t* bytes, size_t count) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) return false;
  file.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(count));
  file.close();
  return !file.fail();
}

}  // namespace

int RunInfo(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string file;
  std::string dumpPath;
  bool haveFile = false;
  bool haveDump = false;
  bool optionsEnded = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!optionsEnded && (arg == "--help" || arg == "-h")) {
      out << kInfoHelp;
      return kExitOk;
    }
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && arg == "--dump-bin") {
      if (i + 1 >= args.size()) return UsageError(err, "--dump-bin needs a file name");
      dumpPath = args[++i];
      haveDump = true;
    } else if (!optionsEnded && arg.rfind("--dump-bin=", 0) == 0) {
      dumpPath = arg.substr(std::strlen("--dump-bin="));
      haveDump = true;
    } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      return UsageError(err, "unknown option " + arg);
    } else if (haveFile) {
      return UsageError(err, "one FILE only");
    } else {
      file = arg;
      haveFile = true;
    }
  }
  if (!haveFile) return UsageError(err, "FILE is missing");
  if (haveDump && dumpPath.empty()) return UsageError(err, "--dump-bin needs a file name");

  // The same batched load the dialog runs, one batch after the other: with
  // no window to keep responsive there is nothing to wait for between them.
  ImageLoad load;
  ImageLoad::Result result = load.Open(file, CurrentDirectory());
  while (result == ImageLoad::Result::kMore) result = load.Batch();
  if (result == ImageLoad::Result::kFailed) {
    err << file << ": " << load.error().message << "\n";
    if (!load.error().detail.empty()) err << "porten-cli info: " << load.error().detail << "\n";
    return kExitFailed;
  }
  const Image image = load.TakeImage();
  const uint32_t length = static_cast<uint32_t>(image.bytes.size());
  if (haveDump && !WriteFile(dumpPath, image.bytes.data(), length)) {
    err << "porten-cli info: cannot write " << dumpPath << ": " << std::strerror(errno) << "\n";
    return kExitFailed;
  }
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08x", Crc32(image.bytes));
  out << DownloadMachine::AddressText(image.base, length) << "\n"
      << "format: " << FormatName(load.format()) << "\n"
      << "length: " << length << " bytes\n"
      << "sha256: " << Sha256Hex(image.bytes) << "\n"
      << "crc32: " << crc << "\n";
  return kExitOk;
}

}  // namespace porten::cli
