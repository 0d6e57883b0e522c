#include "image/elf_image.h"

#include <gelf.h>
#include <libelf.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/image.h"
#include "core/texts.h"
#include "image/image_load.h"
#include "image/span.h"

namespace porten {

namespace {

struct Segment {
  size_t index;  // in the program header table, as readelf numbers them
  uint64_t address;
  uint64_t offset;
  uint64_t size;
};

ElfLoad Refused(const char* message, std::string detail) {
  ElfLoad result;
  result.message = message;
  result.detail = std::move(detail);
  return result;
}

std::string Printf(const char* format, unsigned long long a, unsigned long long b = 0, unsigned long long c = 0) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

}  // namespace

ElfLoad LoadElfImage(int fd, std::vector<uint8_t>& image) {
  static const bool libelfReady = elf_version(EV_CURRENT) != EV_NONE;
  Elf* elf = libelfReady ? elf_begin(fd, ELF_C_READ, nullptr) : nullptr;
  struct Ender {
    Elf* elf;
    ~Ender() { elf_end(elf); }
  } ender{elf};

  auto libelfSays = [](const char* what) {
    const int error = elf_errno();
    return std::string(what) + (error != 0 ? std::string(": ") + elf_errmsg(error) : std::string());
  };
  if (!elf || elf_kind(elf) != ELF_K_ELF) return Refused(text::kNotElf, libelfSays("libelf does not read it as ELF"));
  size_t headers = 0;
  if (elf_getphdrnum(elf, &headers) != 0) {
    return Refused(text::kNotElf, libelfSays("libelf cannot read its program headers"));
  }
  std::vector<Segment> segments;
  for (size_t i = 0; i < headers; ++i) {
    GElf_Phdr header;
    if (!gelf_getphdr(elf, static_cast<int>(i), &header)) {
      return Refused(text::kNotElf, Printf("program header %llu cannot be read", i));
    }
    if (header.p_type == PT_LOAD && header.p_filesz > 0) {
      segments.push_back({i, header.p_paddr, header.p_offset, header.p_filesz});
    }
  }
  if (segments.empty()) return Refused(text::kNotElf, "no loadable segment with contents in the file");

  std::sort(segments.begin(), segments.end(), [](const Segment& a, const Segment& b) { return a.address < b.address; });
  for (size_t k = 1; k < segments.size(); ++k) {
    const Segment& low = segments[k - 1];
    const Segment& high = segments[k];
    if (high.address - low.address < low.size) {
      return Refused(text::kNotElf,
                     Printf("segments %llu and %llu overlap at physical address %08llX",
                            std::min(low.index, high.index), std::max(low.index, high.index), high.address));
    }
  }

  ElfLoad result;
  result.base = static_cast<uint32_t>(segments.front().address);
  for (const Segment& s : segments) {
    std::string problem = SpanProblem(s.address, s.size, result.base);
    if (!problem.empty()) return Refused(text::kMemoryOver, Printf("segment %llu: ", s.index) + problem);
    Elf_Data* data = elf_getdata_rawchunk(elf, static_cast<int64_t>(s.offset), s.size, ELF_T_BYTE);
    if (!data || data->d_size != s.size) {
      return Refused(text::kNotElf, Printf("segment %llu: its contents lie beyond the end of the file", s.index));
    }
    const uint32_t offset = static_cast<uint32_t>(s.address - result.base);
    std::memcpy(image.data() + offset, data->d_buf, s.size);
    result.length = std::max(result.length, offset + static_cast<uint32_t>(s.size));
  }
  return result;
}

}  // namespace porten
