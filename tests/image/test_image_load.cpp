// Whole file loads through ImageLoad, as the dialog and porten-cli run them,
// and the record parsers under them: what loads must be what the file's data
// records describe, and what cannot be is refused with its message and the
// line that says where.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/texts.h"
#include "image/image_load.h"
#include "support/image_writer.h"

namespace porten {
namespace {

using namespace testing;
using Bytes = std::vector<uint8_t>;
using R = ImageLoad::Result;

long OpenDescriptors() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
}

struct Loaded {
  R result;
  Image image = {};
  LoadError error = {};
  std::vector<uint32_t> progress = {};  // the length after each batch that did not end the load
};

Loaded LoadPath(const std::string& path, const std::string& startDir = "") {
  const long descriptors = OpenDescriptors();
  static ImageLoad load;  // one for all, as a window keeps one: nothing may carry over
  Loaded r{load.Open(path, startDir)};
  while (r.result == R::kMore && (r.result = load.Batch()) == R::kMore) r.progress.push_back(load.length());
  EXPECT_FALSE(load.IsOpen());
  EXPECT_EQ(descriptors, OpenDescriptors()) << "the load leaves its file open";
  if (r.result == R::kDone) r.image = load.TakeImage();
  r.error = load.error();
  return r;
}

Loaded Load(const std::string& content) {
  static const TempDir dir;
  return LoadPath(dir.Write("image", content));
}

// The image that segments written in this order make: later bytes win.
void ExpectImage(const std::vector<Segment>& segments, const Loaded& r) {
  ASSERT_EQ(R::kDone, r.result) << r.error.message << " / " << r.error.detail;
  std::map<uint64_t, uint8_t> bytes;
  for (const Segment& s : segments) {
    for (size_t i = 0; i < s.bytes.size(); ++i) bytes[s.address + i] = s.bytes[i];
  }
  const uint64_t low = bytes.begin()->first;
  Bytes expected(bytes.rbegin()->first + 1 - low, 0xFF);
  for (auto [address, b] : bytes) expected[address - low] = b;
  EXPECT_EQ(low, r.image.base);
  EXPECT_TRUE(expected == r.image.bytes) << "lengths " << expected.size() << " and " << r.image.bytes.size();
}

const char *kNot = text::kNotSRecord, *kSum = text::kChecksum, *kOver = text::kMemoryOver;
const char *kNotHex = text::kNotIntelHex, *kNotElf = text::kNotElf;
const Bytes A = RandomBytes(16, 1), B = RandomBytes(16, 2), C = RandomBytes(16, 3), D = RandomBytes(32, 4);
const Bytes K250 = RandomBytes(250, 5), K255 = RandomBytes(255, 6);

// One row per kind of file, run with LF and with CR LF line ends: a "\n" in
// the text stands for the one line end, a "\v" for the other.
struct Case {
  std::string name;  // "elf..." rows load as they are
  std::string file;
  std::vector<Segment> image;  // what loads, when message is null
  const char* message = nullptr;
  std::string detail = {};
};

std::string S(int t, uint32_t at, const Bytes& data, std::string eol = "\n") { return SRecord(t, at, data, eol); }
std::string H(int t, uint16_t at, const Bytes& data, std::string eol = "\n") { return HexRecord(t, at, data, eol); }
// Three adjacent segments at their load addresses, the second with .bss and run in RAM,
// the third of one byte; neither an empty PT_LOAD nor a PT_NOTE is part of the image.
const std::vector<ElfSegment> kElf = {{0x8000, 0x8000, A}, {0x8010, 0x20000000, B, 0x400}, {0x8020, 0x8020, {7}},
                                      {0, 0, {}, 0x100}, {0x9000, 0x9000, C, 0, 4}};
const std::string kAfterData = "an S1 record after the end of the data at line 2";
const std::string kAfterEnd = "a data record after the end record at line 2";
const std::string kPast = "the data runs past the limit of 307,200 bytes from the lowest address ";
const std::string kWraps = "the last byte would lie beyond address FFFFFFFF";
const std::string kBlock = "is written in blocks of 128 bytes, and its last block would run past address FFFFFFFF";
const std::string kNotHexIn = "a character that is not a hexadecimal digit in the ";
const std::string kShort = "the line ends before the checksum its count calls for";
const std::string kTrailing = "more than spaces or tabs after the checksum";

// clang-format off
const Case kCases[] = {
    // A line end of the other style, then a record lower than all before it.
    {"mixed_eol", S(1, 0x2000, A) + S(1, 0x2010, B, "\v") + S(1, 0x1000, C), {{0x2000, A}, {0x2010, B}, {0x1000, C}}},
    {"blank_line_in_the_data", S(1, 0x100, A) + "\n" + S(1, 0x110, B), {}, kNot, "line 3: " + kAfterData},
    {"lone_CR_after_the_end", S(1, 0x100, A) + S(9, 0, {}) + "end\r" + S(1, 0x110, B),
     {}, kNot, "line 4: an S1 record after the end of the data at line 2"},
    {"S3", S(1, 0x100, A) + S(9, 0, {}) + "S3", {}, kNot, "line 3: an S3 record after the end of the data at line 2"},
    {"after_the_data", S(0, 0, {'h'}) + S(1, 0x100, A) + S(9, 0, {}) + "\n" + S(5, 1, {}) + "end\n\n", {{0x100, A}}},
    {"CR_ends_the_file", S(1, 0x100, A) + S(1, 0x110, B, "\r"), {{0x100, A}, {0x110, B}}},
    {"wraps_past_FFFFFFFF", S(3, 0xFFFFFFF0, D), {}, kOver, "line 1: " + kWraps},
    // The last 128-byte block of the download ends at FFFFFFFF; an empty record and a count record do not
    // move the base or count as data; S6 counts in 24 bits.
    {"longest_record_ends_at_FFFFFFFF", S(3, 0xFFFFFF00, {1, 2, 3, 4, 5, 6}) + S(3, 0xFFFFFF06, K250) + S(1, 0, {}) +
       S(6, 3, {}) + S(7, 0, {}), {{0xFFFFFF00, {1, 2, 3, 4, 5, 6}}, {0xFFFFFF06, K250}}},
    {"last_block_past_FFFFFFFF", S(3, 0xFFFFFFF0, A), {}, kOver, "the image at FFFFFFF0 " + kBlock},
    {"lower_case_count_record_blank_lines", "S1060000abcdef92 \t\n" + S(5, 1, {}) + "\n \n" + S(9, 0, {}) + "end\n",
     {{0, {0xAB, 0xCD, 0xEF}}}},
    {"blank_file", "\n \n", {}, kNot, "no S1, S2 or S3 record with data"},
    // A stray character moved the data; an unknown line hid the one after it; a lost line loaded short.
    {"G_in_the_address", "S10412G0AA3F\nS9030000FC\n", {}, kNot, "line 1, column 7: " + kNotHexIn + "address"},
    {"unknown_line", "S104010011E9\nX104010122D7\nS5030002FA\nS9030000FC\n", {}, kNot, "line 2: not a record"},
    {"after_the_checksum", "S104010011E9XYZ\n", {}, kNot, "line 1, column 13: " + kTrailing},
    {"lost_line", S(1, 0x100, A) + S(1, 0x110, B) + S(5, 3, {}) + S(9, 0, {}),
     {}, kNot, "line 3: the count record says 3 data records, but 2 came before it"},
    {"text_after_a_count_record", S(1, 0x100, A) + S(5, 1, {}) + "end\n", {}, kNot, "line 3: not a record"},
    {"data_after_a_count_record", S(1, 0x100, A) + S(5, 1, {}) + S(1, 0x110, B), {}, kNot, "line 3: " + kAfterData},
    {"S4", S(1, 0x100, A) + S(4, 0, {}), {}, kNot, "line 2: an unknown record type"},
    {"S0_in_the_data", S(1, 0x100, A) + S(0, 0, {}), {}, kNot, "line 2: an S0 header after the first line"},
    {"end_with_data", S(1, 0x100, A) + S(9, 0, {1}), {}, kNot, "line 2: an end record with data"},
    {"count_too_small", S(1, 0x100, A) + "S1020000FD\n",
     {}, kNot, "line 2, column 3: a count too small for the address and the checksum"},
    {"NUL", S(1, 0x100, A) + S(1, 0x110, B, std::string("\0\n", 2)), {}, kNot, "line 2: a NUL character in the record"},
    {"lone_CR", S(1, 0x100, A, "\r") + S(1, 0x110, B), {}, kNot, "line 1: a carriage return without a line feed"},
    {"span_307200", S(3, 0x100000, {1}) + S(3, 0x14AFFC, {2, 3, 4, 5}), {{0x100000, {1}}, {0x14AFFC, {2, 3, 4, 5}}}},
    {"span_307201", S(3, 0x100000, {1}) + S(3, 0x14AFFD, {2, 3, 4, 5}),
     {}, kOver, "line 2: " + kPast + "00100000: 0014B000 is the first address beyond it"},
    {"checksum", S(1, 0x100, A) + SRecord(1, 0x110, B, "\n", 1), {}, kSum, "line 2: the checksum does not match"},
    // The address cut short: the count wants the next line's digits.
    {"count_beyond_the_line", "S20500FA\n01FF\n", {}, kNot, "line 1: " + kShort},
    {"no_line_end", S(1, 0x100, A) + S(1, 0x110, B, ""), {}, kNot, "line 2: no line end"},
    {"only_byte_at_FFFFFFFF", S(3, 0xFFFFFFFF, {1}), {}, kOver, "the image at FFFFFFFF " + kBlock},
    {"first_line_S5", S(5, 1, {}) + S(1, 0x100, A), {}, kNot, "line 1: not an S0, S1, S2 or S3 record"},
    {"header_over_1024", "S0" + std::string(1100, '0') + "\n" + S(1, 0x100, A),
     {}, kNot, "line 1: no line end within 1024 characters"},
    {"header_CR", S(0, 0, {1}, "\r") + S(1, 0x100, A), {}, kNot, "line 1: a carriage return without a line feed"},
    {"data_over_1024", S(1, 0x100, A, std::string(1100, ' ') + "\n"), {}, kNot, "line 1: longer than 1024 characters"},
    // Intel HEX: every record type, blank lines, text after the end record.
    {"hex_record_types", "\n" + H(4, 0, {0, 1}) + H(0, 0x8000, A) + "\n" + H(3, 0, {0, 0, 1, 2}) + H(2, 0, {0x10, 0}) +
       H(0, 0x0010, B) + " \t\n" + H(5, 0, {0, 0, 0, 4}, "\t \n") + H(0, 0xFFF0, C) + H(4, 0, {0, 1}) +
       H(0, 0xFFF8, D) + H(1, 0, {}) + "end\n" + H(4, 0, {0, 2}) + H(0x10, 0, {}) + ";10000000\n",
     {{0x18000, A}, {0x10010, B}, {0x1FFF0, C}, {0x1FFF8, D}}},
    {"hex_segment_wrap", H(2, 0, {0x10, 0}) + H(0, 0xFFF8, A) + H(1, 0, {}), {}, kNotHex,
     "line 2: the data runs past offset FFFF under a segment address (type 02), which tools read in two ways"},
    // The format told after 600 blank lines; lower case; the longest record.
    {"hex_after_many_blank_lines", std::string(600, '\n') + H(0, 0x10, A) + ":0300300002337a1e\n" +
       H(0, 0xFF00, K255) + H(1, 0, {}), {{0x10, A}, {0x30, {0x02, 0x33, 0x7A}}, {0xFF00, K255}}},
    // More lines after the end than a batch takes, the last without a line end: the loads after this one must
    // still look at the line after their end record.
    {"hex_lines_after_the_end", H(0, 0, A) + H(1, 0, {}) + std::string(200, '\n') + "end", {{0, A}}},
    {"hex_no_record_after_the_end", H(0, 0, A) + H(1, 0, {}) + ":0G00000000\n", {{0, A}}},
    {"hex_no_end_record", H(0, 0, A), {}, kNotHex, "no end record (type 01)"},
    {"hex_after_end", H(0, 0, A) + H(1, 0, {}) + H(0, 0x10, B), {}, kNotHex, "line 3: " + kAfterEnd},
    {"hex_checksum", H(0, 0, A) + HexRecord(0, 0x10, B, "\n", -1) + H(1, 0, {}),
     {}, kSum, "line 2: the checksum does not match"},
    {"hex_text_line", H(0, 0, A) + "junk\n" + H(1, 0, {}), {}, kNotHex, "line 2: not a record"},
    {"hex_longer", H(0, 0, A) + ":" + std::string(522, '0') + "\n", {}, kNotHex, "line 2, column 12: " + kTrailing},
    {"hex_shorter", H(0, 0, A) + ":0200000000FF\n", {}, kNotHex, "line 2: " + kShort},
    {"hex_end_with_data", H(0, 0, A) + H(1, 0, {0}), {}, kNotHex, "line 2: an end record with data"},
    {"hex_base_count", H(0, 0, A) + H(2, 0, {1}), {}, kNotHex, "line 2: a base address record without 2 bytes"},
    {"hex_start_count", H(0, 0, A) + H(5, 0, {1, 2, 3}), {}, kNotHex, "line 2: a start address record without 4 bytes"},
    {"hex_type_06", H(0, 0, A) + H(6, 0, {}), {}, kNotHex, "line 2: a record type other than 00 to 05"},
    {"hex_lone_CR", H(0, 0, A, "\r") + H(1, 0, {}), {}, kNotHex, "line 1: a carriage return without a line feed"},
    {"hex_no_data", H(0, 0x10, {}) + H(1, 0, {}), {}, kNotHex, "no data record"},
    {"hex_wraps", H(4, 0, {0xFF, 0xFF}) + H(0, 0xFFF0, D) + H(1, 0, {}), {}, kOver, "line 2: " + kWraps},
    {"hex_span", H(0, 0x100, {1}) + H(4, 0, {0, 4}) + H(0, 0xB100, {2}) + H(1, 0, {}),
     {}, kOver, "line 3: " + kPast + "00000100: 0004B100 is the first address beyond it"},
    // ELF, both classes and byte orders.
    {"elf32_LSB", MakeElf(kElf), {{0x8000, A}, {0x8010, B}, {0x8020, {7}}}},
    {"elf64_MSB", MakeElf(kElf, true, true), {{0x8000, A}, {0x8010, B}, {0x8020, {7}}}},
    {"elf_overlap", MakeElf({{0x1000, 0x1000, A}, {0x1008, 0x5000, B}}, true, true),
     {}, kNotElf, "segments 0 and 1 overlap at physical address 00001008"},
    {"elf_no_contents", MakeElf({{0x1000, 0x1000, {}, 0x100}, {0x2000, 0x2000, A, 0, 4}}),
     {}, kNotElf, "no loadable segment with contents in the file"},
    {"elf_above_4G", MakeElf({{0x100000000, 0, A}}, true), {}, kOver, "segment 0: " + kWraps},
    {"elf_magic_only", "\177ELF", {}, kNotElf, "libelf does not read it as ELF"},
    {"elf_cut_off", MakeElf({{0x1000, 0x1000, A}}).erase(99),  // of 52 + 32 + 16 bytes
     {}, kNotElf, "segment 0: its contents lie beyond the end of the file"},
};
// clang-format on

// A stray character in the last digit of each field of each record type that is read.
std::vector<Case> StrayCharacterRows() {
  std::vector<Case> rows;
  for (const int t : {1, 2, 3, 5, 6, 7, 8, 9, 100, 101, 102, 103, 104, 105}) {  // 1xx: Intel HEX type xx
    const bool srec = t < 100;
    const int a = t % 4 == 1 ? 2 : t % 4 == 2 || t == 8 ? 3 : 4;  // address bytes of S1 to S9
    const std::vector<Bytes> hexData = {{0xAB}, {}, {0x10, 0}, {0, 0, 1, 2}, {0, 1}, {0, 0, 0, 4}};
    const std::string rec = srec ? S(t, 1, t <= 3 ? Bytes{0xAB} : Bytes{}) : H(t - 100, 0, hexData[t - 100]);
    std::vector<std::pair<size_t, std::string>> fields = {{srec ? 3 : 2, "count"}, {rec.size() - 2, "checksum"}};
    fields.emplace_back(srec ? 3 + 2 * a : 6, t == 5 || t == 6 ? "record count" : "address");
    if (!srec) fields.emplace_back(8, "record type");
    if (t <= 3 || t > 101) fields.emplace_back(rec.size() - 4, "data");
    for (auto [at, field] : fields) {
      rows.push_back({(srec ? rec.substr(0, 2) : "HEX" + rec.substr(7, 2)) + " " + field, (srec ? S(1, 0x100, A) : H(0, 0, A)) + rec, {},
                      srec ? kNot : kNotHex, "line 2, column " + std::to_string(at + 1) + ": " + kNotHexIn + field});
      rows.back().file[rows.back().file.size() - rec.size() + at] = 'g';
    }
  }
  return rows;
}

TEST(ImageLoad, FilesLoadTheirRecordsOrAreRefused) {
  std::vector<Case> rows(std::begin(kCases), std::end(kCases));
  for (Case& c : StrayCharacterRows()) rows.push_back(std::move(c));
  for (const Case& c : rows) {
    const bool binary = c.name.rfind("elf", 0) == 0;
    for (const bool crlf : {false, true}) {
      SCOPED_TRACE(c.name + (crlf ? " CRLF" : " LF"));
      std::string file;
      for (char ch : c.file) {
        file += binary || (ch != '\n' && ch != '\v') ? std::string(1, ch) : (ch == '\n') == crlf ? "\r\n" : "\n";
      }
      const Loaded r = Load(file);
      const std::string refused = r.result == R::kFailed ? r.error.message + " / " + r.error.detail : "loaded";
      EXPECT_EQ(c.message ? c.message + (" / " + c.detail) : "loaded", refused);
      if (!c.message) ExpectImage(c.image, r);
    }
  }
}

// 1,000 records of 16 bytes: six full batches of 150 and a seventh that ends
// the data, whichever the text format.
TEST(ImageLoad, ThousandRecordsInSevenBatches) {
  const Bytes bytes = RandomBytes(16000, 4);
  for (const std::string& file : {MakeSRecords({{0x1000, bytes}}, 1), MakeIntelHex({{0x1000, bytes}})}) {
    const Loaded r = Load(file);
    ExpectImage({{0x1000, bytes}}, r);
    EXPECT_EQ((std::vector<uint32_t>{2400, 4800, 7200, 9600, 12000, 14400}), r.progress);
  }
}

// Each shift moves the boundary of the first window to another character of
// the records that straddle it, from an "S" through its line end (a space
// before the line end is not looked at); later windows start at line starts.
// Then a header line of 1000 .. 1023 characters before its CR LF: at 1023
// the CR is the window's last character, its LF still in the file.
TEST(ImageLoad, WindowBoundaryAtEveryCharacter) {
  const Bytes bytes = RandomBytes(2000, 7);
  const uint8_t* p = bytes.data();
  for (size_t shift = 0; shift < 192; ++shift) {
    const std::string eol = shift % 4 < 2 ? "\r\n" : "\n";
    const long first = 16 + static_cast<long>(shift / 4);
    std::string text = S(3, 0x1000, {p, p + first}, std::string(shift % 2, ' ') + eol);
    for (long at = first; at < 2000; at += 16) text += S(1, 0x1000 + at, {p + at, p + std::min(at + 16, 2000L)}, eol);
    SCOPED_TRACE("shift " + std::to_string(shift));
    ExpectImage({{0x1000, bytes}}, Load(text));
  }
  for (size_t length = 1000; length < 1024; ++length) {
    SCOPED_TRACE(length);
    ExpectImage({{0x40, A}}, Load("S0" + std::string(length - 2, '0') + "\r\n" + SRecord(3, 0x40, A)));
  }
}

// After the end of the data the file is read on through refills: a line end
// split across one (its CR at every place in the window), or long text, does
// not hide a data record behind it, and a record inside a long line that a
// refill starts at is no record.
TEST(ImageLoad, DataAfterTheEndAcrossRefills) {
  for (size_t pad = 1000; pad < 2024; ++pad) {
    SCOPED_TRACE(pad);
    const std::string text = std::string(pad, 'x') + "S1:0000000000\r\n";
    EXPECT_EQ("line 4: " + kAfterData, Load(S(1, 0x100, A) + S(9, 0, {}) + text + S(1, 0x110, B)).error.detail);
    EXPECT_EQ("line 4: " + kAfterEnd, Load(H(0, 0, A) + H(1, 0, {}) + text + H(0, 0x10, B)).error.detail);
  }
}

TEST(ImageLoad, OpenFailuresAndRelativePaths) {
  TempDir dir;
  dir.Write("rel.hex", MakeIntelHex({{0x10, A}}));
  ExpectImage({{0x10, A}}, LoadPath("rel.hex", dir.path()));  // not the process's directory
  // A FIFO is refused rather than left blocking the window thread.
  ASSERT_EQ(0, ::mkfifo(dir.File("fifo").c_str(), 0600));
  for (const std::string path : {"missing.mot", "fifo", "", "."}) {
    EXPECT_EQ(text::kFileOpenFailed, LoadPath(path, dir.path()).error.message) << path;
  }
}

// Random images as records of random types and line ends, in random order,
// with gaps and overlaps: the load gives the image the records make, in
// either text format. 300 images from a random seed, or from the one
// PORTEN_LOAD_SEED gives; a failure names its image's seed.
TEST(ImageLoad, RandomImages) {
  const char* given = std::getenv("PORTEN_LOAD_SEED");
  const uint64_t first = given && *given ? std::strtoull(given, nullptr, 0) : std::random_device{}();
  for (uint64_t seed = first; seed < first + 300; ++seed) {
    SCOPED_TRACE("PORTEN_LOAD_SEED=" + std::to_string(seed));
    std::mt19937 rng(static_cast<uint32_t>(seed));
    auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
    // A quarter of the images in the last 307,200 bytes below 4 GB that leave room for a whole last block.
    const uint32_t base = pick(4) == 0 ? 0u - kImageBufferSize - 128 : pick(4) == 0 ? pick(0x10000) : pick(0xFF000000);
    const uint32_t span = 1 + pick(pick(8) == 0 ? kImageBufferSize : 4096);
    std::vector<Segment> records;
    std::string srec;
    for (uint32_t n = 1 + pick(60); n > 0; --n) {
      const uint32_t length = 1 + pick(std::min<uint32_t>(span, 64));
      const Segment& r = records.emplace_back(Segment{base + pick(span - length + 1), RandomBytes(length, pick(1000))});
      const int type = std::max<int>(1 + pick(3), r.address > 0xFFFFFF ? 3 : r.address > 0xFFFF ? 2 : 1);
      srec += SRecord(type, r.address, r.bytes, pick(2) ? "\n" : "\r\n");
    }
    ExpectImage(records, Load(MakeIntelHex(records, 64, pick(2) ? "\n" : "\r\n")));
    ExpectImage(records, Load(srec + SRecord(7, 0, {})));
  }
}

}  // namespace
}  // namespace porten
