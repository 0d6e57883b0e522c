#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli_run.h"
#include "support/image_writer.h"

namespace porten::cli {
namespace {

using testing::SRecord;
using testing::TempDir;

struct Outcome {
  int exit;
  std::string out;
  std::string err;
};

Outcome Info(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  std::vector<std::string> all = {"porten-cli", "info"};
  all.insert(all.end(), args.begin(), args.end());
  int exit = Dispatch(all, out, err);
  return {exit, out.str(), err.str()};
}

std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// "123456789" has well-known digests: CRC-32 cbf43926, and the SHA-256 below.
const std::vector<uint8_t> kCheck = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
std::string Report(const char* format) {
  return std::string("ｱﾄﾞﾚｽ: 00010000 - 00010008\nformat: ") + format +
         "\nlength: 9 bytes\n"
         "sha256: 15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225\n"
         "crc32: cbf43926\n";
}

TEST(CliInfo, PrintsRangeFormatLengthAndDigestsOfEachFormat) {
  TempDir dir;
  const std::vector<testing::Segment> image = {{0x10000, kCheck}};
  for (const auto& [file, format] :
       std::vector<std::pair<std::string, const char*>>{{testing::MakeSRecords(image, 2, 16, "\n"), "S-record"},
                                                        {testing::MakeIntelHex(image), "Intel HEX"},
                                                        {testing::MakeElf(image), "ELF"}}) {
    Outcome r = Info({dir.Write("image", file)});
    EXPECT_EQ(0, r.exit);
    EXPECT_EQ(Report(format), r.out);
    EXPECT_EQ("", r.err);
  }
}

// The message as the dialog's box shows it, then the line that says where;
// no dump of a refused file.
TEST(CliInfo, RefusedFilesExitTwoWithTheMessageAndWhere) {
  TempDir dir;
  for (const auto& [content, err] : std::vector<std::pair<std::string, std::string>>{
           {"hello\r\n", "ﾓﾄﾛｰﾗＳﾌｫｰﾏｯﾄでありません\nporten-cli info: no S1, S2 or S3 record\n"},
           {SRecord(3, 0, {1}) + SRecord(3, 307200, {1}),
            "ﾒﾓﾘが８ＭＢを越えます\nporten-cli info: line 2: the data runs past the limit of 307,200 bytes from the "
            "lowest address 00000000: 0004B000 is the first address beyond it\n"},
           {testing::MakeElf({{0x1000, 0x1000, {}, 16}}),
            "ELFﾌｫｰﾏｯﾄでありません\nporten-cli info: no loadable segment with contents in the file\n"}}) {
    const std::string path = dir.Write("bad", content);
    Outcome r = Info({path, "--dump-bin", dir.File("out.bin")});
    EXPECT_EQ(2, r.exit);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(path + ": " + err, r.err);
    EXPECT_FALSE(std::ifstream(dir.File("out.bin")).good());
  }
}

TEST(CliInfo, UsageErrorsMissingFileAndUnwritableDump) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"a.mot", "b.mot"}, {"--bogus", "a.mot"}, {"a.mot", "--dump-bin"}, {"a.mot", "--dump-bin="}}) {
    Outcome r = Info(args);
    EXPECT_EQ(1, r.exit) << ::testing::PrintToString(args);
    EXPECT_EQ("", r.out);
    EXPECT_NE("", r.err);
  }
  // "--" lets a file name start with a dash.
  EXPECT_EQ("-x.mot: ﾌｧｲﾙがｵｰﾌﾟﾝ出来ません\n", Info({"--", "-x.mot"}).err);
  EXPECT_EQ("-: ﾌｧｲﾙがｵｰﾌﾟﾝ出来ません\n", Info({"-"}).err);
  EXPECT_EQ(0u, Info({"--help"}).out.find("Usage: porten-cli info FILE [--dump-bin OUT]\n"));
  TempDir dir;
  Outcome r = Info({dir.Write("a.mot", SRecord(1, 0, {1})), "--dump-bin", dir.File("no/such/dir/out.bin")});
  EXPECT_EQ(2, r.exit);
  EXPECT_EQ("", r.out) << "nothing reported as success";
}

// The executable itself: a relative FILE is found from the directory it
// runs in, the caption is the path as typed, and the exit statuses reach
// the shell; a full image of many batches.
TEST(CliInfoExecutable, RelativePathsExitStatusesAndAFullImage) {
  TempDir dir;
  const auto bytes = testing::RandomBytes(307200, 5);
  dir.Write("full.hex", testing::MakeIntelHex({{0x00400000, bytes}}, 32, "\n"));
  dir.Write("bad.mot", "S1\r\n");

  CliResult ok = RunCli(dir.path(), "info full.hex --dump-bin=full.bin", dir.path());
  EXPECT_EQ(0, ok.exit) << ok.err;
  EXPECT_EQ(0u, ok.out.find("ｱﾄﾞﾚｽ: 00400000 - 0044AFFF\nformat: Intel HEX\nlength: 307200 bytes\n"));
  EXPECT_EQ(Bytes(bytes), ReadWhole(dir.File("full.bin")));

  CliResult bad = RunCli(dir.path(), "info bad.mot", dir.path());
  EXPECT_EQ(2, bad.exit);
  EXPECT_EQ("bad.mot: ﾓﾄﾛｰﾗＳﾌｫｰﾏｯﾄでありません\nporten-cli info: no S1, S2 or S3 record\n", bad.err);
  EXPECT_EQ(1, RunCli(dir.path(), "info", dir.path()).exit);
}

}  // namespace
}  // namespace porten::cli
