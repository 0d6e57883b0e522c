// The same random image written by srec_cat (S-records and Intel HEX), by
// objcopy (S-records and Intel HEX from a linked ELF file) and as the linked
// ELF files themselves, 32- and 64-bit, whose second section runs at another
// address than it loads at: porten-cli info --dump-bin must give the same
// base and bytes for every file, and those of the image.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cli_run.h"
#include "support/image_writer.h"

namespace porten::cli {
namespace {

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", v);
  return text;
}

class CliInfoTools : public ::testing::TestWithParam<unsigned> {};

TEST_P(CliInfoTools, EveryToolsFileLoadsTheImage) {
  for (const char* tool : {"srec_cat", "objcopy", "ld"}) {
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed (Debian packages srecord, binutils)";
  }
  std::mt19937 rng(GetParam());
  auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  const uint32_t a0 = pick(0x10000000), a1 = a0 + 1000 + 1 + pick(5000);
  const auto s0 = testing::RandomBytes(1000, pick(99)), s1 = testing::RandomBytes(1 + pick(3000), pick(99));
  testing::TempDir dir;
  std::ofstream(dir.File("s0.bin"), std::ios::binary) << std::string(s0.begin(), s0.end());
  std::ofstream(dir.File("s1.bin"), std::ios::binary) << std::string(s1.begin(), s1.end());
  // The second section loads at a1 and runs in RAM at 0x20000000.
  std::ofstream(dir.File("img.ld")) << "PHDRS { a PT_LOAD; b PT_LOAD; }\nSECTIONS { .s0 " << Hex(a0)
                                    << " : { *(.s0) } :a .s1 0x20000000 : AT(" << Hex(a1) << ") { *(.s1) } :b }\n";
  const std::string srecCat = "srec_cat s0.bin -binary -offset " + Hex(a0) + " s1.bin -binary -offset " + Hex(a1);
  const std::string make =
      "cd '" + dir.path() + "' && " + srecCat + " -o cat.mot -motorola && " + srecCat + " -o cat.hex -intel && " +
      "for i in 0 1; do objcopy -I binary -O elf32-i386 -B i386 --rename-section .data=.s$i s$i.bin s$i.o && "
      "objcopy -I binary -O elf64-x86-64 -B i386:x86-64 --rename-section .data=.s$i s$i.bin t$i.o; done && "
      "ld -m elf_i386 -T img.ld s0.o s1.o -o img32.elf && ld -m elf_x86_64 -T img.ld t0.o t1.o -o img64.elf && "
      "objcopy -O srec img32.elf objcopy.mot && objcopy -O ihex img64.elf objcopy.hex";
  ASSERT_EQ(0, std::system(make.c_str())) << make;

  std::string image(a1 + s1.size() - a0, '\xFF');
  image.replace(0, s0.size(), std::string(s0.begin(), s0.end()));
  image.replace(a1 - a0, s1.size(), std::string(s1.begin(), s1.end()));
  char range[64];
  std::snprintf(range, sizeof range, "ｱﾄﾞﾚｽ: %08X - %08X\n", a0, a1 + static_cast<uint32_t>(s1.size()) - 1);
  for (const char* file : {"cat.mot", "cat.hex", "objcopy.mot", "objcopy.hex", "img32.elf", "img64.elf"}) {
    CliResult r = RunCli(dir.path(), std::string("info ") + file + " --dump-bin out.bin", dir.path());
    ASSERT_EQ(0, r.exit) << file << ": " << r.err;
    EXPECT_EQ(0u, r.out.find(range)) << file << ": " << r.out;
    EXPECT_TRUE(image == ReadWhole(dir.File("out.bin"))) << file << " does not load the image";
  }
}

INSTANTIATE_TEST_SUITE_P(Images, CliInfoTools, ::testing::Values(1u, 2u, 3u));

}  // namespace
}  // namespace porten::cli
