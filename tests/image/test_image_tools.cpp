// One image of 300 bytes at an odd address, written by srec_cat (S-records
// with LF line ends, Intel HEX), linked by ld into a 32-bit ELF executable and
// turned by objcopy into a 64-bit one, S-records and Intel HEX: every file
// loads as the same base and bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>

#include "image/image_load.h"
#include "support/image_writer.h"

namespace porten {
namespace {

bool ToolsMissing() {
  return std::system("(command -v srec_cat && command -v objcopy && command -v ld) >/dev/null") != 0;
}

ImageLoad::Result Load(ImageLoad& load, const std::string& file, const std::string& dir,
                       const std::vector<std::string>& sections = {}) {
  ImageLoad::Result result = load.Open(file, dir, {sections});
  while (result == ImageLoad::Result::kMore) result = load.Batch();
  return result;
}

// The same bytes as .text in a file linked with .data, run at 20000000 but
// loaded after .text with a gap, and .eeprom in a segment far away (as
// avr-gcc places EEPROM data): the whole file is refused, naming .eeprom;
// each choice of sections loads what objcopy -O binary -j gives, gaps 0xFF.
TEST(ToolFiles, EveryFileLoadsTheSameImageAndSectionsAsObjcopyTakesThem) {
  if (ToolsMissing()) GTEST_SKIP() << "srec_cat, objcopy or ld is not installed (Debian packages srecord, binutils)";
  const testing::TempDir dir;
  const std::vector<uint8_t> bytes = testing::RandomBytes(300, 11);
  dir.Write("img.bin", std::string(bytes.begin(), bytes.end()));
  for (auto [name, n] : {std::pair{"d.bin", 40}, {"e.bin", 16}}) dir.Write(name, std::string(n, name[0]));
  dir.Write("img.ld", "PHDRS { p PT_LOAD; }\nSECTIONS { .data 0x12345 : { *(.data) } :p }\n");
  dir.Write("s.ld", "PHDRS { text PT_LOAD; data PT_LOAD; far PT_LOAD; }\nSECTIONS {\n"
                    "  .text 0x12345 : { *img.bin(.data) } :text\n  .eeprom 0x810000 : { *e.bin(.data) } :far\n"
                    "  .data 0x20000000 : AT(0x12600) { *d.bin(.data) } :data\n}\n");
  const std::string binary = " && objcopy -I elf32-little -O binary --gap-fill 0xff ";
  const std::string make = "cd '" + dir.path() + "' && srec_cat img.bin -binary -offset 0x12345 -o cat.mot && " +
                           "srec_cat img.bin -binary -offset 0x12345 -o cat.hex -intel && " +
                           "ld -T img.ld -b binary img.bin --oformat elf32-little -o ld.elf && " +
                           "objcopy -I elf32-little -O elf64-little ld.elf obj.elf && " +
                           "objcopy -O srec ld.elf obj.mot && objcopy -O ihex ld.elf obj.hex && " +
                           "ld -T s.ld -b binary img.bin d.bin e.bin --oformat elf32-little -o s.elf" + binary +
                           "-j .text -j .data s.elf td.out" + binary + "-j .data s.elf d.out" + binary +
                           "-j .eeprom s.elf e.out";
  ASSERT_EQ(0, std::system(make.c_str())) << make;
  ImageLoad load;
  for (const char* file : {"cat.mot", "cat.hex", "ld.elf", "obj.elf", "obj.mot", "obj.hex"}) {
    ASSERT_EQ(ImageLoad::Result::kDone, Load(load, file, dir.path())) << file << ": " << load.error().detail;
    const Image image = load.TakeImage();
    EXPECT_EQ(0x12345u, image.base) << file;
    EXPECT_TRUE(bytes == image.bytes) << file;
  }
  ASSERT_EQ(ImageLoad::Result::kFailed, Load(load, "s.elf", dir.path()));
  EXPECT_EQ("segment 2, which holds .eeprom at 00810000 (16 bytes): the data runs past the limit of 307,200 bytes "
            "from the lowest address 00012345: 0005D345 is the first address beyond it",
            load.error().detail);
  for (auto [sections, out, base] : {std::tuple{std::vector<std::string>{".text", ".data"}, "td.out", 0x12345u},
                                     {{".data", ".data"}, "d.out", 0x12600u}, {{".eeprom"}, "e.out", 0x810000u}}) {
    ASSERT_EQ(ImageLoad::Result::kDone, Load(load, "s.elf", dir.path(), sections)) << load.error().detail;
    std::ostringstream expected;
    expected << std::ifstream(dir.File(out), std::ios::binary).rdbuf();
    const Image image = load.TakeImage();
    EXPECT_EQ(base, image.base) << out;
    EXPECT_EQ(expected.str(), std::string(image.bytes.begin(), image.bytes.end())) << out;
  }
  ASSERT_EQ(ImageLoad::Result::kFailed, Load(load, "s.elf", dir.path(), {".text", ".bss"}));
  EXPECT_EQ("no section named .bss; the sections that load are .text (00012345), .eeprom (00810000), .data (00012600)",
            load.error().detail);
}

}  // namespace
}  // namespace porten
