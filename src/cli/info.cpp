// porten-cli info FILE [--dump-bin OUT] [--section NAME...]: loads FILE exactly as the dialog's
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
#include "image/elf_image.h"
#include "image/image_load.h"

namespace porten::cli {

namespace {

constexpr char kInfoHead[] =
    "Usage: porten-cli info FILE [--dump-bin OUT] [--section NAME...]\n"
    "Loads FILE (S-record, Intel HEX or ELF, told from its content) as the image\n"
    "to write and prints the address range (as the address box shows it), the\n"
    "format, the length in bytes, and the SHA-256 and CRC-32 of the bytes a write\n"
    "sends: from the lowest address for the length, gaps as 0xFF. A relative FILE\n"
    "is taken from the current directory.\n";
constexpr char kInfoTail[] =
    "\n"
    "Exit status: 0 loaded, 1 usage error, 2 the file was refused (the message\n"
    "goes to standard error as FILE: TEXT, followed by a line that says where).\n";

struct InfoOptions {
  std::string file;
  std::string dumpPath;
  std::vector<std::string> sections;
};

std::string CurrentDirectory() {
  char dir[PATH_MAX];
  return ::getcwd(dir, sizeof dir) ? std::string(dir) : std::string();
}

bool WriteFile(const std::string& path, const uint8_t* bytes, size_t count) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) return false;
  file.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(count));
  file.close();
  return !file.fail();
}

int Info(const InfoOptions& opt, std::ostream& out, std::ostream& err) {
  const std::string& file = opt.file;
  // The same batched load the dialog runs, one batch after the other: with
  // no window to keep responsive there is nothing to wait for between them.
  ImageLoad load;
  ImageLoad::Result result = load.Open(file, CurrentDirectory(), {opt.sections});
  while (result == ImageLoad::Result::kMore) result = load.Batch();
  if (result == ImageLoad::Result::kFailed) {
    err << file << ": " << load.error().message << "\n";
    if (!load.error().detail.empty()) err << "porten-cli info: " << load.error().detail << "\n";
    return kExitFailed;
  }
  const Image image = load.TakeImage();
  const uint32_t length = static_cast<uint32_t>(image.bytes.size());
  if (!opt.dumpPath.empty() && !WriteFile(opt.dumpPath, image.bytes.data(), length)) {
    err << "porten-cli info: cannot write " << opt.dumpPath << ": " << std::strerror(errno) << "\n";
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

}  // namespace

Runner DeclareInfo(CLI::App& app) {
  auto opt = std::make_shared<InfoOptions>();
  args::SetHelp(app, kInfoHead, kInfoTail, 18);
  app.add_option("FILE", opt->file)->required();
  args::AddText(app, "--dump-bin", opt->dumpPath, "OUT",
                "also write the image to OUT, from its lowest address for\n"
                "its length; bytes no record sets are 0xFF");
  args::AddList(app, "--section", opt->sections, "NAME",
                "load only the section NAME of an ELF file, at its load\n"
                "address (LMA); once for each section to load");
  app.final_callback([opt] {
    if (!opt->sections.empty() && OpensAsOtherThanElf(opt->file)) {
      throw CLI::ValidationError("--section: " + opt->file + " is not an ELF file");
    }
  });
  return [opt](std::ostream& out, std::ostream& err) { return Info(*opt, out, err); };
}

}  // namespace porten::cli
