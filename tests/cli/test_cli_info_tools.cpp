// porten-cli info --dump-bin against the binary that srec_cat and objcopy
// make of the same S-record files, which these tools also wrote.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "cli_run.h"
#include "srec/srec_text.h"

namespace porten::cli {
namespace {

using srectest::Pattern;
using srectest::TempDir;

struct ToolCase {
  const char* name;
  // Shell commands run in a directory holding a.bin (3000 bytes) and
  // b.bin (700 bytes); they leave the S-record file in img.mot.
  const char* make;
  // Shell command that converts img.mot into ref.bin (gaps 0xFF).
  const char* reference;
  const char* address;  // first output line
};
void PrintTo(const ToolCase& c, std::ostream* os) { *os << c.name; }

constexpr char kSrecCatRef[] =
    "srec_cat '(' img.mot -fill 0xFF -over img.mot ')' -offset - -minimum-addr img.mot -o ref.bin -binary";
constexpr char kObjcopyRef[] = "objcopy -I srec -O binary --gap-fill 0xFF img.mot ref.bin";

std::string ToString(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

class CliInfoTools : public ::testing::TestWithParam<ToolCase> {};

TEST_P(CliInfoTools, DumpMatchesTheToolsBinary) {
  for (const char* tool : {"srec_cat", "objcopy"}) {
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed (Debian packages srecord, binutils)";
  }
  TempDir dir;
  std::ofstream(dir.File("a.bin"), std::ios::binary) << ToString(Pattern(3000, 21));
  std::ofstream(dir.File("b.bin"), std::ios::binary) << ToString(Pattern(700, 22));
  std::string cd = "cd '" + dir.path() + "' && ";
  ASSERT_EQ(0, std::system((cd + GetParam().make).c_str())) << GetParam().make;
  ASSERT_EQ(0, std::system((cd + GetParam().reference).c_str())) << GetParam().reference;

  CliResult r = RunCli(dir.path(), "info img.mot --dump-bin out.bin", dir.path());
  ASSERT_EQ(0, r.exit) << r.err;
  std::string reference = ReadWhole(dir.File("ref.bin"));
  std::string dumped = ReadWhole(dir.File("out.bin"));
  ASSERT_FALSE(reference.empty());
  EXPECT_EQ(reference.size(), dumped.size());
  EXPECT_TRUE(reference == dumped) << "the dump differs from the tools' binary";
  EXPECT_EQ(std::string(GetParam().address) + "\nlength: " + std::to_string(reference.size()) + " bytes\n",
            r.out);
}

INSTANTIATE_TEST_SUITE_P(
    Files, CliInfoTools,
    ::testing::Values(
        ToolCase{"objcopy_S1", "objcopy -I binary -O srec a.bin img.mot", kSrecCatRef,
                 "ｱﾄﾞﾚｽ: 00000000 - 00000BB7"},
        ToolCase{"objcopy_S2_long_records",
                 "objcopy -I binary -O srec --srec-len 64 --change-addresses 0x20000 a.bin img.mot", kSrecCatRef,
                 "ｱﾄﾞﾚｽ: 00020000 - 00020BB7"},
        ToolCase{"objcopy_S3", "objcopy -I binary -O srec --srec-forceS3 --change-addresses 0x80001000 a.bin img.mot",
                 kSrecCatRef, "ｱﾄﾞﾚｽ: 80001000 - 80001BB7"},
        ToolCase{"srec_cat_gap_S3",
                 "srec_cat a.bin -binary -offset 0x10000000 b.bin -binary -offset 0x10002000 "
                 "-o img.mot -motorola -address-length=4 -CRLF",
                 kObjcopyRef, "ｱﾄﾞﾚｽ: 10000000 - 100022BB"},
        ToolCase{"srec_cat_unordered_S2",
                 "srec_cat b.bin -binary -offset 0x3000 -o b.mot -motorola -address-length=3 -CRLF && "
                 "srec_cat a.bin -binary -offset 0x1000 -o a.mot -motorola -address-length=3 -CRLF && "
                 "(grep -v '^S[5-9]' b.mot; grep -v '^S0' a.mot) > img.mot",
                 kObjcopyRef, "ｱﾄﾞﾚｽ: 00001000 - 000032BB"},
        ToolCase{"srec_cat_block_size",
                 "srec_cat a.bin -binary -offset 0x8000 -o img.mot -motorola -Output_Block_Size=250 -CRLF",
                 kObjcopyRef, "ｱﾄﾞﾚｽ: 00008000 - 00008BB7"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CliInfoToolsLineEnds, UnixLineEndsAreRefused) {
  if (!HaveTool("srec_cat")) GTEST_SKIP() << "srec_cat is not installed (Debian package srecord)";
  TempDir dir;
  std::ofstream(dir.File("a.bin"), std::ios::binary) << ToString(Pattern(300, 3));
  ASSERT_EQ(0, std::system(("cd '" + dir.path() + "' && srec_cat a.bin -binary -o lf.mot -motorola "
                            "-Line_Termination=NewLine")
                               .c_str()));
  CliResult r = RunCli(dir.path(), "info lf.mot", dir.path());
  EXPECT_EQ(2, r.exit);
  EXPECT_EQ("lf.mot: ﾓﾄﾛｰﾗＳﾌｫｰﾏｯﾄでありません\n", r.err);
}

}  // namespace
}  // namespace porten::cli
