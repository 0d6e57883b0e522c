// Whole file loads through ImageLoad, as the dialog and porten-cli run them:
// what loads must be what the file's data records describe, and what cannot
// be that is refused with its message and the line that says where.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/texts.h"
#include "srec/image_load.h"
#include "srec/srec.h"
#include "support/image_writer.h"

namespace porten {
namespace {

using testing::ElfSegment;
using testing::HexRecord;
using testing::MakeElf;
using testing::MakeSRecords;
using testing::RandomBytes;
using testing::Segment;
using testing::SRecord;
using testing::TempDir;
using Bytes = std::vector<uint8_t>;
using R = ImageLoad::Result;

int OpenDescriptors() {
  int n = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

struct Loaded {
  R result = R::kFailed;
  Image image;
  ImageFormat format = ImageFormat::kSRecord;
  LoadError error;
  std::vector<uint32_t> progress;  // the length after each batch that did not end the load
};

Loaded LoadPath(const std::string& path, const std::string& startDir = "") {
  const int descriptors = OpenDescriptors();
  // One load for all, as a window keeps one: nothing may carry over.
  static ImageLoad load;
  Loaded r;
  r.result = load.Open(path, startDir);
  while (r.result == R::kMore) {
    r.result = load.Batch();
    if (r.result == R::kMore) r.progress.push_back(load.length());
  }
  EXPECT_FALSE(load.IsOpen());
  EXPECT_EQ(descriptors, OpenDescriptors()) << "the load leaves its file open";
  if (r.result == R::kDone) {
    r.image = load.TakeImage();
    r.format = load.format();
  }
  r.error = load.error();
  return r;
}

Loaded Load(const std::string& content) {
  static const TempDir dir;
  return LoadPath(dir.Write("image", content));
}

// The image that segments written in this order make: later bytes win.
Image Expected(const std::vector<Segment>& segments) {
  Image image;
  uint64_t low = UINT64_MAX, high = 0;
  for (const Segment& s : segments) {
    low = std::min<uint64_t>(low, s.address);
    high = std::max<uint64_t>(high, s.address + s.bytes.size());
  }
  image.base = static_cast<uint32_t>(low);
  image.bytes.assign(high - low, 0xFF);
  for (const Segment& s : segments) std::copy(s.bytes.begin(), s.bytes.end(), image.bytes.begin() + (s.address - low));
  return image;
}

void ExpectImage(const std::vector<Segment>& segments, const Loaded& r) {
  ASSERT_EQ(R::kDone, r.result) << r.error.message << " / " << r.error.detail;
  const Image expected = Expected(segments);
  EXPECT_EQ(expected.base, r.image.base);
  EXPECT_TRUE(expected.bytes == r.image.bytes)
      << "lengths " << expected.bytes.size() << " and " << r.image.bytes.size();
}

const char* kNot = text::kNotSRecord;
const char* kSum = text::kChecksum;
const char* kOver = text::kMemoryOver;
const char* kNotHex = text::kNotIntelHex;
const char* kNotElf = text::kNotElf;
const Bytes A = RandomBytes(16, 1), B = RandomBytes(16, 2), C = RandomBytes(16, 3), D = RandomBytes(32, 4);

// One row per kind of file, run with CR LF and with LF line ends.
struct Case {
  const char* name;
  std::function<std::string(const std::string& eol)> file;
  std::vector<Segment> image;  // what loads, when message is null
  const char* message = nullptr;
  std::string detail = {};
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class LoadCase : public ::testing::TestWithParam<std::tuple<Case, const char*>> {};

TEST_P(LoadCase, LoadsTheRecordsOrRefuses) {
  const auto& [c, eol] = GetParam();
  const Loaded r = Load(c.file(eol));
  if (!c.message) {
    ExpectImage(c.image, r);
    const std::string name = c.name;
    EXPECT_EQ(name.rfind("hex", 0) == 0   ? ImageFormat::kIntelHex
              : name.rfind("elf", 0) == 0 ? ImageFormat::kElf
                                          : ImageFormat::kSRecord,
              r.format);
    return;
  }
  EXPECT_EQ(R::kFailed, r.result);
  EXPECT_EQ(c.message, r.error.message);
  EXPECT_EQ(c.detail, r.error.detail);
}

std::string Other(const std::string& eol) { return eol == "\n" ? "\r\n" : "\n"; }
std::string S(int type, uint32_t address, const Bytes& data, const std::string& eol) {
  return SRecord(type, address, data, eol);
}
std::string H(int type, uint16_t offset, const Bytes& data, const std::string& eol) {
  return HexRecord(type, offset, data, eol);
}
// An ELF file, whatever the line end.
std::function<std::string(const std::string&)> Elf(std::vector<ElfSegment> segments, bool is64 = false,
                                                   bool msb = false) {
  return [=](const std::string&) { return MakeElf(segments, is64, msb); };
}
// Two adjacent segments at their load addresses, the second with .bss and run in RAM;
// neither an empty PT_LOAD nor a PT_NOTE is part of the image.
const std::vector<ElfSegment> kElf = {
    {0x8000, 0x8000, A}, {0x8010, 0x20000000, B, 0x400}, {0, 0, {}, 0x100}, {0x9000, 0x9000, C, 0, 4}};
const std::string kAfter2 = "line 3: an S1 record after the end of the data at line 2";
const std::string kPast = "the data runs past the limit of 307,200 bytes from the lowest address ";
const char* kNoData = "no S1, S2 or S3 record";

// clang-format off
const Case kCases[] = {
    // A line end of the other style, then a record lower than all before it.
    {"mixed_line_ends", [](auto e) { return S(1, 0x2000, A, e) + S(1, 0x2010, B, Other(e)) + S(1, 0x1000, C, e); },
     {{0x2000, A}, {0x2010, B}, {0x1000, C}}},
    {"blank_line_in_the_data", [](auto e) { return S(1, 0x100, A, e) + e + S(1, 0x110, B, e); }, {}, kNot, kAfter2},
    {"comment_in_the_data", [](auto e) { return S(1, 0x100, A, e) + "; rev 2" + e + S(1, 0x110, B, e); }, {}, kNot,
     kAfter2},
    {"S5_in_the_data", [](auto e) { return S(1, 0x100, A, e) + S(5, 1, {}, e) + S(1, 0x110, B, e); }, {}, kNot,
     kAfter2},
    {"two_files_joined",
     [](auto e) { return MakeSRecords({{0x8000, D}}, 1, 16, e) + MakeSRecords({{0x1000, A}}, 2, 16, e); },
     {}, kNot, "line 6: an S2 record after the end of the data at line 4"},
    {"behind_a_lone_CR_after_the_end", [](auto e) { return S(1, 0x100, A, e) + "S9030000FC\r" + S(1, 0x110, B, e); },
     {}, kNot, "line 3: an S1 record after the end of the data at line 2"},
    {"S3_at_the_end_of_the_file", [](auto e) { return S(1, 0x100, A, e) + S(9, 0, {}, e) + "S3"; },
     {}, kNot, "line 3: an S3 record after the end of the data at line 2"},
    {"what_may_follow_the_data",
     [](auto e) { return S(0, 0, {'h'}, e) + S(1, 0x100, A, e) + S(9, 0, {}, e) + e + S(5, 1, {}, e) + "end" + e + e; },
     {{0x100, A}}},
    {"no_end_record", [](auto e) { return S(3, 0x12340, A, e) + S(2, 0x12350, B, e); }, {{0x12340, A}, {0x12350, B}}},
    {"CR_ends_the_file", [](auto e) { return S(1, 0x100, A, e) + S(1, 0x110, B, "\r"); }, {{0x100, A}, {0x110, B}}},
    {"wraps_past_FFFFFFFF", [](auto e) { return S(3, 0xFFFFFFF0, D, e); },
     {}, kOver, "line 1: the last byte would lie beyond address FFFFFFFF"},
    {"ends_at_FFFFFFFF", [](auto e) { return S(3, 0xFFFFFFF0, A, e); }, {{0xFFFFFFF0, A}}},
    {"NUL_after_the_checksum", [](auto e) { return S(1, 0x100, A, e) + S(1, 0x110, B, std::string(1, '\0') + e); },
     {}, kNot, "line 2: a NUL character in the record"},
    {"lone_CR", [](auto e) { return S(1, 0x100, A, "\r") + S(1, 0x110, B, e); },
     {}, kNot, "line 1: a carriage return without a line feed"},
    {"span_307200", [](auto e) { return S(3, 0x100000, {1}, e) + S(3, 0x100000 + 307196, {2, 3, 4, 5}, e); },
     {{0x100000, {1}}, {0x100000 + 307196, {2, 3, 4, 5}}}},
    {"span_307201", [](auto e) { return S(3, 0x100000, {1}, e) + S(3, 0x100000 + 307197, {2, 3, 4, 5}, e); },
     {}, kOver, "line 2: " + kPast + "00100000: 0014B000 is the first address beyond it"},
    {"checksum", [](auto e) { return S(1, 0x100, A, e) + SRecord(1, 0x110, B, e, 1); },
     {}, kSum, "line 2: the checksum does not match"},
    {"no_data_byte", [](auto e) { return S(1, 0x100, A, e) + S(1, 0x200, {}, e); },
     {}, kNot, "line 2: a malformed record"},
    {"address_without_digit",  // its checksum made for the previous record's address
     [](auto e) { std::string r = S(1, 0x100, B, e); return S(1, 0x100, A, e) + r.replace(4, 4, "GGGG"); },
     {}, kNot, "line 2: an address without a digit"},
    {"count_beyond_the_line",  // the address cut short: its data and checksum on the next line
     [](auto e) { return "S20500FA" + e + std::string(e.size() == 1, 'x') + "01FF" + e; },
     {}, kNot, "line 1: a malformed record"},
    {"no_line_end", [](auto e) { return S(1, 0x100, A, e) + S(1, 0x110, B, ""); }, {}, kNot, "line 2: no line end"},
    {"header_and_end_only", [](auto e) { return S(0, 0, {'h'}, e) + S(9, 0, {}, e); }, {}, kNot, kNoData},
    {"only_byte_at_FFFFFFFF", [](auto e) { return S(3, 0xFFFFFFFF, {1}, e); }, {}, kNot, kNoData},
    {"text", [](auto e) { return "hello" + e; }, {}, kNot, kNoData},
    {"first_line_blank", [](auto e) { return e + S(1, 0x100, A, e); },
     {}, kNot, "line 1: not an S0, S1, S2 or S3 record"},
    {"header_over_1024", [](auto e) { return "S0" + std::string(1100, '0') + e + S(1, 0x100, A, e); },
     {}, kNot, "line 1: no line end within 1024 characters"},
    {"header_with_lone_CR", [](auto e) { return S(0, 0, {1}, "\r") + S(1, 0x100, A, e); },
     {}, kNot, "line 1: a carriage return without a line feed"},
    {"data_line_over_1024", [](auto e) { return S(1, 0x100, A, std::string(1100, ' ') + e); },
     {}, kNot, "line 1: longer than 1024 characters"},
    // Intel HEX: every record type, blank lines, text after the end record.
    {"hex_record_types", [](auto e) {
       return e + H(4, 0, {0, 1}, e) + H(0, 0x8000, A, e) + e + H(3, 0, {0, 0, 1, 2}, e) + H(2, 0, {0x10, 0}, e) +
              H(0, 0x0010, B, e) + " \t" + e + H(5, 0, {0, 0, 0, 4}, "\t " + e) + H(0, 0xFFF8, C, e) + H(1, 0, {}, e) +
              "end" + e + H(4, 0, {0, 2}, e) + H(0x10, 0, {}, e); },
     {{0x18000, A}, {0x10010, B}, {0x1FFF8, C}}},
    {"hex_after_many_blank_lines", [](auto e) { return std::string(600, '\n') + H(0, 0x10, A, e) + H(1, 0, {}, e); },
     {{0x10, A}}},
    {"hex_long_text_after_the_end",  // more lines than a batch takes
     [](auto e) { std::string t = H(0, 0, A, e) + H(1, 0, {}, e);
                  for (int i = 0; i < 200; ++i) t += "text" + e;
                  return t; },
     {{0, A}}},
    {"hex_text_like_a_record_after_the_end", [](auto e) { return H(0, 0x8000, A, e) + H(1, 0, {}, e) + ";10000000" + e; },
     {{0x8000, A}}},
    {"hex_colon_only", [](auto) { return std::string(":"); }, {}, kNotHex, "no data record"},
    {"hex_no_end_record", [](auto e) { return H(0, 0, A, e); }, {}, kNotHex, "no end record (type 01)"},
    {"hex_data_after_end", [](auto e) { return H(0, 0, A, e) + H(1, 0, {}, e) + e + H(0, 0x10, B, e); },
     {}, kNotHex, "line 4: a data record after the end record at line 2"},
    {"hex_checksum", [](auto e) { return H(0, 0, A, e) + HexRecord(0, 0x10, B, e, -1) + H(1, 0, {}, e); },
     {}, kSum, "line 2: the checksum does not match"},
    {"hex_type_count", [](auto e) { return H(0, 0, A, e) + H(4, 0, {1, 2, 3}, e); },
     {}, kNotHex, "line 2: a base address record without 2 bytes"},
    {"hex_text_line", [](auto e) { return H(0, 0, A, e) + "junk" + e + H(1, 0, {}, e); },
     {}, kNotHex, "line 2: not a record"},
    {"hex_lone_CR", [](auto e) { return H(0, 0, A, "\r") + H(1, 0, {}, e); },
     {}, kNotHex, "line 1: a carriage return without a line feed"},
    {"hex_no_data", [](auto e) { return H(0, 0x10, {}, e) + H(1, 0, {}, e); }, {}, kNotHex, "no data record"},
    {"hex_wraps", [](auto e) { return H(4, 0, {0xFF, 0xFF}, e) + H(0, 0xFFF0, D, e) + H(1, 0, {}, e); },
     {}, kOver, "line 2: the last byte would lie beyond address FFFFFFFF"},
    {"hex_span",
     [](auto e) { return H(0, 0x100, {1}, e) + H(4, 0, {0, 4}, e) + H(0, 0xB100, {2}, e) + H(1, 0, {}, e); },
     {}, kOver, "line 3: " + kPast + "00000100: 0004B100 is the first address beyond it"},
    // ELF, both classes and byte orders.
    {"elf32_LSB", Elf(kElf), {{0x8000, A}, {0x8010, B}}},
    {"elf64_LSB", Elf(kElf, true), {{0x8000, A}, {0x8010, B}}},
    {"elf32_MSB", Elf(kElf, false, true), {{0x8000, A}, {0x8010, B}}},
    {"elf64_MSB", Elf(kElf, true, true), {{0x8000, A}, {0x8010, B}}},
    {"elf_overlap", Elf({{0x1000, 0x1000, A}, {0x1008, 0x5000, B}}, true, true),
     {}, kNotElf, "segments 0 and 1 overlap at physical address 00001008"},
    {"elf_no_contents", Elf({{0x1000, 0x1000, {}, 0x100}, {0x2000, 0x2000, A, 0, 4}}),
     {}, kNotElf, "no loadable segment with contents in the file"},
    {"elf_span", Elf({{0x1000, 0x1000, A}, {0x1000 + 307192, 0, A}}, false, true),
     {}, kOver, "segment 1: " + kPast + "00001000: 0004C000 is the first address beyond it"},
    {"elf_wraps", Elf({{0xFFFFFFF8, 0, A}}), {}, kOver, "segment 0: the last byte would lie beyond address FFFFFFFF"},
    {"elf_above_4G", Elf({{0x100000000, 0, A}}, true),
     {}, kOver, "segment 0: the last byte would lie beyond address FFFFFFFF"},
    {"elf_magic_only", [](auto) { return std::string("\177ELF"); }, {}, kNotElf, "libelf does not read it as ELF"},
    {"elf_headers_beyond_the_file",
     [](auto) { return MakeElf({{0x1000, 0x1000, A}}).replace(28, 4, "\xF0\xFF\xFF\x0F"); },
     {}, kNotElf, "libelf cannot read its program headers: invalid data"},
    {"elf_contents_cut_off", [](auto) { std::string f = MakeElf({{0x1000, 0x1000, A}}); return f.erase(f.size() - 1); },
     {}, kNotElf, "segment 0: its contents lie beyond the end of the file"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Files, LoadCase,
                         ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Values("\r\n", "\n")),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param)[0] == '\r' ? "_CRLF" : "_LF");
                         });

// 1,000 records of 16 bytes: six full batches of 150 and a seventh that ends
// the data, whichever the text format.
TEST(ImageLoad, ThousandRecordsInSevenBatches) {
  const Bytes bytes = RandomBytes(16000, 4);
  for (const std::string& file :
       {testing::MakeSRecords({{0x1000, bytes}}, 1, 16), testing::MakeIntelHex({{0x1000, bytes}})}) {
    const Loaded r = Load(file);
    ExpectImage({{0x1000, bytes}}, r);
    EXPECT_EQ((std::vector<uint32_t>{2400, 4800, 7200, 9600, 12000, 14400}), r.progress);
  }
}

// Each shift moves the boundary of the first window to another character of
// the records that straddle it, from an "S" through its line end (a space
// before the line end is not looked at); later windows start at line starts.
TEST(ImageLoad, WindowBoundaryAtEveryCharacter) {
  const Bytes bytes = RandomBytes(2000, 7);
  for (size_t shift = 0; shift < 96; ++shift) {
    for (const std::string eol : {"\r\n", "\n"}) {
      const long first = 16 + static_cast<long>(shift / 2);
      std::string text = SRecord(3, 0x1000, {bytes.begin(), bytes.begin() + first}, std::string(shift % 2, ' ') + eol);
      for (long at = first; at < 2000; at += 16) {
        text += SRecord(1, 0x1000 + static_cast<uint32_t>(at),
                        {bytes.begin() + at, bytes.begin() + std::min(at + 16, 2000L)}, eol);
      }
      SCOPED_TRACE("shift " + std::to_string(shift) + (eol.size() == 1 ? " LF" : ""));
      ExpectImage({{0x1000, bytes}}, Load(text));
    }
  }
}

// A header line of 1000 .. 1023 characters before its CR LF: at 1023 the CR
// is the window's last character, its LF still in the file.
TEST(ImageLoad, LongHeaderLineEndAtTheWindowsEnd) {
  for (size_t length = 1000; length < 1024; ++length) {
    SCOPED_TRACE(length);
    ExpectImage({{0x40, A}},
                Load("S0" + std::string(length - 2, '0') + "\r\n" + SRecord(3, 0x40, A) + SRecord(7, 0, {})));
  }
}

// After the end of the data the file is read on through refills: a line end
// split across one (its CR at every place in the window), or long text, does
// not hide a data record behind it.
TEST(ImageLoad, DataAfterTheEndAcrossRefills) {
  for (size_t pad = 1000; pad < 2024; ++pad) {
    SCOPED_TRACE(pad);
    const std::string text = std::string(pad, 'x') + "\r\n";
    EXPECT_EQ("line 4: an S1 record after the end of the data at line 2",
              Load(SRecord(1, 0x100, A) + SRecord(9, 0, {}) + text + SRecord(1, 0x110, B)).error.detail);
    EXPECT_EQ("line 4: a data record after the end record at line 2",
              Load(HexRecord(0, 0, A) + HexRecord(1, 0, {}) + text + HexRecord(0, 0x10, B)).error.detail);
  }
}

TEST(ImageLoad, OpenFailuresAndRelativePaths) {
  TempDir dir;
  dir.Write("rel.hex", HexRecord(0, 0x10, A) + HexRecord(1, 0, {}));
  ExpectImage({{0x10, A}}, LoadPath("rel.hex", dir.path()));  // not the process's directory
  // A FIFO is refused rather than left blocking the window thread.
  ASSERT_EQ(0, ::mkfifo(dir.File("fifo").c_str(), 0600));
  for (const std::string path : {"missing.mot", "fifo", "", "."}) {
    const Loaded r = LoadPath(path, dir.path());
    EXPECT_EQ(text::kFileOpenFailed, r.error.message) << path;
  }
}

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 0) : fallback;
}

// Random images as records of random types and line ends, in random order,
// with gaps and overlaps: the load gives the image the records make, in
// either text format, and the prescan's base is the lowest address.
// PORTEN_LOAD_IMAGES=N images (default 300), PORTEN_LOAD_SEED=S the first
// image's seed (default: random); a failure names its seed.
TEST(ImageLoad, RandomImages) {
  const uint64_t count = EnvNumber("PORTEN_LOAD_IMAGES", 300);
  const uint64_t first = EnvNumber("PORTEN_LOAD_SEED", std::random_device{}());
  TempDir dir;
  for (uint64_t seed = first; seed < first + count; ++seed) {
    SCOPED_TRACE("PORTEN_LOAD_SEED=" + std::to_string(seed) + " PORTEN_LOAD_IMAGES=1");
    std::mt19937 rng(static_cast<uint32_t>(seed));
    auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
    const uint32_t base = pick(4) == 0   ? 0xFFFFFFFF - kImageBufferSize + 1
                          : pick(4) == 0 ? pick(0x10000)
                                         : pick(0xFF000000);
    const uint32_t span = 1 + pick(pick(8) == 0 ? kImageBufferSize : 4096);
    std::vector<Segment> records;
    for (uint32_t n = 1 + pick(60); n > 0; --n) {
      const uint32_t length = 1 + pick(std::min<uint32_t>(span, 64));
      records.push_back({base + pick(span - length + 1), RandomBytes(length, pick(1000))});
    }
    std::string srec;
    for (const Segment& r : records) {
      const int type = std::max<int>(1 + pick(3), r.address > 0xFFFFFF ? 3 : r.address > 0xFFFF ? 2 : 1);
      srec += SRecord(type, r.address, r.bytes, pick(2) ? "\n" : "\r\n");
    }
    ExpectImage(records, Load(testing::MakeIntelHex(records, 64, pick(2) ? "\n" : "\r\n")));
    const std::string path = dir.Write("random.mot", srec + SRecord(7, 0, {}));
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(Expected(records).base, ScanLowestAddress(fd));
    ::close(fd);
    ExpectImage(records, LoadPath(path));
  }
}

}  // namespace
}  // namespace porten
