// ELF images: the PT_LOAD segments' file contents at their physical
// addresses, as objcopy -O srec turns an ELF file into S-records. A
// segment's memory beyond its file size (.bss) is not part of the image.
// Read through libelf; 32- and 64-bit files of either byte order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace porten {

struct ElfLoad {
  const char* message = nullptr;  // why the file was refused; nullptr: loaded
  std::string detail;             // where and what, in English
  uint32_t base = 0;
  uint32_t length = 0;
};

// Reads the ELF file open at fd into image (kImageBufferSize bytes, all
// 0xFF) from its lowest physical address on. Overlapping segments, a file
// libelf cannot read and one without loadable contents are refused as not
// ELF; contents beyond the span as too wide.
ElfLoad LoadElfImage(int fd, std::vector<uint8_t>& image);

}  // namespace porten
