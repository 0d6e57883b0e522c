// One image of 300 bytes at an odd address, written by srec_cat (S-records
// with LF line ends, Intel HEX), linked by ld into a 32-bit ELF executable and
// turned by objcopy into a 64-bit one, S-records and Intel HEX: every file
// loads as the same base and bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "image/image_load.h"
#include "support/image_writer.h"

namespace porten {
namespace {

TEST(ToolFiles, EveryFileLoadsTheSameImage) {
  if (std::system("(command -v srec_cat && command -v objcopy && command -v ld) >/dev/null") != 0) {
    GTEST_SKIP() << "srec_cat, objcopy or ld is not installed (Debian packages srecord, binutils)";
  }
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

}  // namespace
}  // namespace porten
