// One image of 300 bytes at an odd address, written by srec_cat (S-records
// with LF line ends, Intel HEX), linked by ld into a 32-bit ELF executable and
// turned by objcopy into a 64-bit one, S-records and Intel HEX: every file
// loads as the same base and bytes. And an ELF file by sections, against
// objcopy -O binary -j.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>

#include "core/texts.h"
#include "image/elf_image.h"
#include "image/image_load.h"
#include "support/image_writer.h"

namespace porten {
namespace {

bool ToolsMissing() {
  return std::system("(command -v srec_cat && command -v objcopy && command -v ld) >/dev/null") != 0;
}

TEST(ToolFiles, EveryFileLoadsTheSameImage) {
  if (ToolsMissing()) GTEST_SKIP() << "srec_cat, objcopy or ld is not installed (Debian packages srecord, binutils)";
  const testing::TempDir dir;
  const std::vector<uint8_t> bytes = testing::RandomBytes(300, 11);
  dir.Write("img.bin", std::string(bytes.begin(), bytes.end()));
  dir.Write("img.ld", "PHDRS { p PT_LOAD; }\nSECTIONS { .data 0x12345 : { *(.data) } :p }\n");
  const std::string make = "cd '" + dir.path() + "' && srec_cat img.bin -binary -offset 0x12345 -o cat.mot && " +
                           "srec_cat img.bin -binary -offset 0x12345 -o cat.hex -intel && " +
                           "ld -T img.ld -b binary img.bin --oformat elf32-little -o ld.elf && " +
                           "objcopy -I elf32-little -O elf64-little ld.elf obj.elf && " +
                           "objcopy -O srec ld.elf obj.mot && objcopy -O ihex ld.elf obj.hex";
  ASSERT_EQ(0, std::system(make.c_str())) << make;
  ImageLoad load;
  for (const char* file : {"cat.mot", "cat.hex", "ld.elf", "obj.elf", "obj.mot", "obj.hex"}) {
    SCOPED_TRACE(file);
    ImageLoad::Result result = load.Open(file, dir.path());
    while (result == ImageLoad::Result::kMore) result = load.Batch();
    ASSERT_EQ(ImageLoad::Result::kDone, result) << load.error().message << " / " << load.error().detail;
    const Image image = load.TakeImage();
    EXPECT_EQ(0x12345u, image.base);
    EXPECT_TRUE(bytes == image.bytes);
  }
}

// .text where it runs, .data run at 20000000 but loaded after .text with a
// gap, .eeprom in a segment far away (as avr-gcc places EEPROM data). The
// whole file is refused, naming .eeprom; each choice of sections loads the
// bytes objcopy gives for it, gaps 0xFF, from the lowest load address.
TEST(ToolFiles, SectionsLoadAsObjcopyTakesThem) {
  if (ToolsMissing()) GTEST_SKIP() << "srec_cat, objcopy or ld is not installed (Debian packages srecord, binutils)";
  const testing::TempDir dir;
  for (auto [name, n, seed] : {std::tuple{"t.bin", 300, 1}, {"d.bin", 40, 2}, {"e.bin", 16, 3}}) {
    const std::vector<uint8_t> bytes = testing::RandomBytes(n, seed);
    dir.Write(name, std::string(bytes.begin(), bytes.end()));
  }
  dir.Write("s.ld", "PHDRS { text PT_LOAD; data PT_LOAD; far PT_LOAD; }\nSECTIONS {\n"
                    "  .text 0x1000 : { *t.bin(.data) } :text\n"
                    "  .eeprom 0x810000 : { *e.bin(.data) } :far\n"
                    "  .data 0x20000000 : AT(0x1200) { *d.bin(.data) } :data\n}\n");
  const std::string make = "cd '" + dir.path() + "' && ld -T s.ld -b binary t.bin d.bin e.bin --oformat elf32-little " +
                           "-o s.elf && objcopy -I elf32-little -O srec s.elf s.mot";
  ASSERT_EQ(0, std::system(make.c_str())) << make;
  ImageLoad load;
  auto loads = [&](const std::string& file, const std::vector<std::string>& sections) {
    ImageLoad::Result result = load.Open(file, dir.path(), {sections});
    while (result == ImageLoad::Result::kMore) result = load.Batch();
    return result;
  };
  ASSERT_EQ(ImageLoad::Result::kFailed, loads("s.elf", {}));
  EXPECT_EQ(std::string(text::kMemoryOver) + " / segment 2, which holds .eeprom at 00810000 (16 bytes): the data runs "
                                             "past the limit of 307,200 bytes from the lowest address 00001000: "
                                             "0004C000 is the first address beyond it",
            load.error().message + " / " + load.error().detail);
  for (auto [sections, base] : {std::pair{std::vector<std::string>{".text", ".data"}, 0x1000u},
                                {{".data", ".data"}, 0x1200u}, {{".eeprom"}, 0x810000u}}) {
    std::string objcopy = "cd '" + dir.path() + "' && objcopy -I elf32-little -O binary --gap-fill 0xff";
    for (const std::string& s : sections) objcopy += " -j " + s;
    ASSERT_EQ(0, std::system((objcopy + " s.elf s.bin").c_str())) << objcopy;
    std::ostringstream expected;
    expected << std::ifstream(dir.path() + "/s.bin", std::ios::binary).rdbuf();
    ASSERT_EQ(ImageLoad::Result::kDone, loads("s.elf", sections)) << objcopy << ": " << load.error().detail;
    const Image image = load.TakeImage();
    EXPECT_EQ(base, image.base) << objcopy;
    EXPECT_EQ(expected.str(), std::string(image.bytes.begin(), image.bytes.end())) << objcopy;
  }
  for (auto [file, said] : {std::pair{"s.elf", std::string("no such section in the file / no section named .bss; "
                                                           "the sections that load are .text (00001000), .eeprom "
                                                           "(00810000), .data (00001200)")},
                            {"s.mot", std::string(text::kNotElf) + " / sections are named, but the file is S-record"}}) {
    ASSERT_EQ(ImageLoad::Result::kFailed, loads(file, {".text", ".bss"}));
    EXPECT_EQ(said, load.error().message + " / " + load.error().detail);
  }
}

}  // namespace
}  // namespace porten
