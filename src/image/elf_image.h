// ELF images: the PT_LOAD segments' file contents at their physical
// addresses, as objcopy -O srec turns an ELF file into S-records. A
// segment's memory beyond its file size (.bss) is not part of the image.
// Or, when sections are named, only those sections at their load addresses,
// as objcopy -O binary -j NAME takes them. Read through libelf; 32- and
// 64-bit files of either byte order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace porten {

namespace text {
// Only the command line names sections: these messages are its own.
inline constexpr char kNoSuchSection[] = "no such section in the file";
inline constexpr char kSectionWithoutContents[] = "the section has no contents to load";
}  // namespace text

struct ElfLoad {
  const char* message = nullptr;  // why the file was refused; nullptr: loaded
  std::string detail;             // where and what, in English
  uint32_t base = 0;
  uint32_t length = 0;
};

// Reads the ELF file open at fd into image (kImageBufferSize bytes, all
// 0xFF) from its lowest physical address on: every loadable segment, or
// only the sections named. Overlapping segments or sections, a file libelf
// cannot read and one without loadable contents are refused as not ELF;
// contents beyond the span as too wide, naming the sections that lie there.
ElfLoad LoadElfImage(int fd, std::vector<uint8_t>& image, const std::vector<std::string>& sections = {});

// Whether the file at path opens and does not begin with the ELF magic.
bool OpensAsOtherThanElf(const std::string& path);

}  // namespace porten
