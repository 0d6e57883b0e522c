// porten-cli info in process: its arguments, its report, and how a refused
// file reaches standard error. What loads and what is refused is the
// loader's own tests' business.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "support/image_writer.h"

namespace porten::cli {
namespace {

struct Outcome {
  int exit;
  std::string out;
  std::string err;
};

Outcome Info(std::vector<std::string> args) {
  std::ostringstream out, err;
  args.insert(args.begin(), {"porten-cli", "info"});
  const int exit = Dispatch(args, out, err);
  return {exit, out.str(), err.str()};
}

// "123456789" has well-known digests: CRC-32 cbf43926, and the SHA-256 below.
TEST(CliInfo, PrintsRangeFormatLengthAndDigestsOfEachFormat) {
  testing::TempDir dir;
  const std::vector<testing::Segment> image = {{0x10000, {'1', '2', '3', '4', '5', '6', '7', '8', '9'}}};
  for (const auto& [file, format] : std::vector<std::pair<std::string, std::string>>{
           {testing::MakeSRecords(image, 2, 16, "\n"), "S-record"},
           {testing::MakeIntelHex(image), "Intel HEX"},
           {testing::MakeElf(image), "ELF"}}) {
    const Outcome r = Info({dir.Write("image", file), "--dump-bin=" + dir.File("out.bin")});
    EXPECT_EQ(0, r.exit);
    EXPECT_EQ("ｱﾄﾞﾚｽ: 00010000 - 00010008\nformat: " + format +
                  "\nlength: 9 bytes\n"
                  "sha256: 15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225\n"
                  "crc32: cbf43926\n",
              r.out);
    EXPECT_EQ("", r.err);
    std::ostringstream dumped;
    dumped << std::ifstream(dir.File("out.bin"), std::ios::binary).rdbuf();
    EXPECT_EQ("123456789", dumped.str());
  }
}

// The message as the dialog's box shows it, then the line that says where;
// no dump of a refused file, and no report when the dump cannot be written.
TEST(CliInfo, RefusedFilesAndUsageErrors) {
  testing::TempDir dir;
  const std::string bad = dir.Write("bad", testing::SRecord(3, 0, {1}) + testing::SRecord(3, 307200, {1}));
  Outcome r = Info({bad, "--dump-bin", dir.File("out.bin")});
  EXPECT_EQ(2, r.exit);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(bad + ": ﾒﾓﾘが８ＭＢを越えます\nporten-cli info: line 2: the data runs past the limit of 307,200 bytes "
                  "from the lowest address 00000000: 0004B000 is the first address beyond it\n",
            r.err);
  EXPECT_FALSE(std::ifstream(dir.File("out.bin")).good());
  r = Info({dir.Write("a.mot", testing::SRecord(1, 0, {1})), "--dump-bin", dir.File("no/such/dir/out.bin")});
  EXPECT_EQ(2, r.exit);
  EXPECT_EQ("", r.out) << "nothing reported as success";

  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"a.mot", "b.mot"}, {"--bogus", "a.mot"}, {"a.mot", "--dump-bin"}, {"a.mot", "--dump-bin="}}) {
    r = Info(args);
    EXPECT_EQ(1, r.exit) << ::testing::PrintToString(args);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(0u, r.err.find("porten-cli info: ")) << r.err;
  }
  // "--" lets a file name start with a dash.
  EXPECT_EQ("-x.mot: ﾌｧｲﾙがｵｰﾌﾟﾝ出来ません\n", Info({"--", "-x.mot"}).err);
  EXPECT_EQ("-: ﾌｧｲﾙがｵｰﾌﾟﾝ出来ません\n", Info({"-"}).err);
  EXPECT_EQ(0u, Info({"--help"}).out.find("Usage: porten-cli info FILE [--dump-bin OUT]\n"));
}

}  // namespace
}  // namespace porten::cli
