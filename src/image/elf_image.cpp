#include "image/elf_image.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/image.h"
#include "core/texts.h"
#include "core/unique_fd.h"
#include "image/image_load.h"
#include "image/span.h"

namespace porten {

namespace {

// File contents that load at a physical address: a segment, or a section.
struct Piece {
  std::string name;  // "segment 2" or ".data"
  uint64_t index;    // in the program or section header table, as readelf numbers them
  uint64_t address;
  uint64_t offset;
  uint64_t size;
};

struct Section {
  std::string name;
  bool loads;  // allocated, with contents in the file
  Piece piece;
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

std::string LibelfSays(const char* what) {
  const int error = elf_errno();
  return std::string(what) + (error != 0 ? std::string(": ") + elf_errmsg(error) : std::string());
}

// The sections of the file. One whose contents lie in a loadable segment
// loads where that part of the segment does (its LMA, as objcopy has it);
// any other at its own address.
std::vector<Section> ReadSections(Elf* elf, const std::vector<Piece>& segments) {
  std::vector<Section> sections;
  size_t names = 0;
  if (elf_getshdrstrndx(elf, &names) != 0) return sections;
  for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
    GElf_Shdr h;
    if (!gelf_getshdr(scn, &h)) continue;
    const char* name = elf_strptr(elf, names, h.sh_name);
    Section s{name ? name : "", (h.sh_flags & SHF_ALLOC) && h.sh_type != SHT_NOBITS && h.sh_size > 0,
              {name ? name : "", elf_ndxscn(scn), h.sh_addr, h.sh_offset, h.sh_size}};
    for (const Piece& g : segments) {
      const bool inside = h.sh_offset >= g.offset && h.sh_offset - g.offset <= g.size &&
                          h.sh_size <= g.size - (h.sh_offset - g.offset);
      if (s.loads && inside) {
        s.piece.address = g.address + (h.sh_offset - g.offset);
        break;
      }
    }
    sections.push_back(std::move(s));
  }
  return sections;
}

// ".data at 00001000 (16 bytes)", for each section that loads with the
// segment, ", " between them.
std::string SectionsIn(const Piece& segment, const std::vector<Section>& sections) {
  std::string list;
  for (const Section& s : sections) {
    const Piece& p = s.piece;
    if (!s.loads || p.offset < segment.offset || p.offset - segment.offset >= segment.size) continue;
    list += (list.empty() ? "" : ", ") + p.name + Printf(" at %08llX (%llu bytes)", p.address, p.size);
  }
  return list;
}

// The loadable segments with contents.
bool ReadSegments(Elf* elf, std::vector<Piece>& segments, std::string& problem) {
  size_t headers = 0;
  if (elf_getphdrnum(elf, &headers) != 0) {
    problem = LibelfSays("libelf cannot read its program headers");
    return false;
  }
  for (size_t i = 0; i < headers; ++i) {
    GElf_Phdr header;
    if (!gelf_getphdr(elf, static_cast<int>(i), &header)) {
      problem = Printf("program header %llu cannot be read", i);
      return false;
    }
    if (header.p_type == PT_LOAD && header.p_filesz > 0) {
      segments.push_back({Printf("segment %llu", i), i, header.p_paddr, header.p_offset, header.p_filesz});
    }
  }
  return true;
}

// The sections named, or why one cannot be loaded.
ElfLoad PickSections(const std::vector<Section>& sections, const std::vector<std::string>& names,
                     std::vector<Piece>& picked) {
  for (const std::string& name : names) {
    auto it = std::find_if(sections.begin(), sections.end(), [&](const Section& s) { return s.piece.name == name; });
    if (it == sections.end()) {
      std::string known;
      for (const Section& s : sections) {
        if (s.loads) known += (known.empty() ? "" : ", ") + s.piece.name + Printf(" (%08llX)", s.piece.address);
      }
      return Refused(text::kNoSuchSection, "no section named " + name + "; the sections that load are " +
                                               (known.empty() ? "none" : known));
    }
    if (!it->loads) return Refused(text::kSectionWithoutContents, "section " + name + " has no contents in the file");
    const bool twice = std::any_of(picked.begin(), picked.end(), [&](const Piece& p) { return p.name == name; });
    if (!twice) picked.push_back(it->piece);
  }
  return {};
}

// Copies the pieces into image from the lowest address on.
ElfLoad Place(Elf* elf, std::vector<Piece> pieces, const std::vector<Section>& sections, bool areSegments,
              std::vector<uint8_t>& image) {
  std::sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.address < b.address; });
  for (size_t k = 1; k < pieces.size(); ++k) {
    const Piece& low = pieces[k - 1];
    const Piece& high = pieces[k];
    if (high.address - low.address < low.size) {
      const Piece& first = high.index < low.index ? high : low;
      const Piece& second = &first == &low ? high : low;
      return Refused(text::kNotElf, areSegments ? Printf("segments %llu and %llu overlap at physical address %08llX",
                                                         first.index, second.index, high.address)
                                                : "sections " + first.name + " and " + second.name +
                                                      Printf(" overlap at physical address %08llX", high.address));
    }
  }
  ElfLoad result;
  result.base = static_cast<uint32_t>(pieces.front().address);
  for (const Piece& p : pieces) {
    std::string problem = SpanProblem(p.address, p.size, result.base);
    if (!problem.empty()) {
      const std::string held = areSegments ? SectionsIn(p, sections) : "";
      return Refused(text::kMemoryOver, p.name + (held.empty() ? "" : ", which holds " + held) + ": " + problem);
    }
    Elf_Data* data = elf_getdata_rawchunk(elf, static_cast<int64_t>(p.offset), p.size, ELF_T_BYTE);
    if (!data || data->d_size != p.size) {
      return Refused(text::kNotElf, p.name + ": its contents lie beyond the end of the file");
    }
    const uint32_t offset = static_cast<uint32_t>(p.address - result.base);
    std::memcpy(image.data() + offset, data->d_buf, p.size);
    result.length = std::max(result.length, offset + static_cast<uint32_t>(p.size));
  }
  return result;
}

}  // namespace

ElfLoad LoadElfImage(int fd, std::vector<uint8_t>& image, const std::vector<std::string>& names) {
  static const bool libelfReady = elf_version(EV_CURRENT) != EV_NONE;
  Elf* elf = libelfReady ? elf_begin(fd, ELF_C_READ, nullptr) : nullptr;
  struct Ender {
    Elf* elf;
    ~Ender() { elf_end(elf); }
  } ender{elf};

  if (!elf || elf_kind(elf) != ELF_K_ELF) return Refused(text::kNotElf, LibelfSays("libelf does not read it as ELF"));
  std::vector<Piece> segments;
  std::string problem;
  if (!ReadSegments(elf, segments, problem)) return Refused(text::kNotElf, problem);
  const std::vector<Section> sections = ReadSections(elf, segments);
  if (names.empty()) {
    if (segments.empty()) return Refused(text::kNotElf, "no loadable segment with contents in the file");
    return Place(elf, segments, sections, true, image);
  }
  std::vector<Piece> picked;
  if (ElfLoad refused = PickSections(sections, names, picked); refused.message) return refused;
  return Place(elf, picked, sections, false, image);
}

bool OpensAsOtherThanElf(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  char magic[4] = {};
  const ssize_t n = ::read(fd.get(), magic, sizeof magic);
  return n >= 0 && std::memcmp(magic, "\177ELF", 4) != 0;
}

}  // namespace porten
