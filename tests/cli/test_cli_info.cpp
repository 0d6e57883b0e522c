#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli_run.h"
#include "srec/srec_text.h"

namespace porten::cli {
namespace {

using srectest::DataRecords;
using srectest::Pattern;
using srectest::Record;
using srectest::TempDir;

const std::string kS0 = Record('0', 0, {'h', 'd', 'r'});
const std::string kS9 = Record('9', 0, {});

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

TEST(CliInfo, PrintsAddressRangeAndLength) {
  TempDir dir;
  std::string path = dir.Write("app.mot", kS0 + DataRecords('2', 0x10000, Pattern(5000), 32) + kS9);
  Outcome r = Info({path});
  EXPECT_EQ(0, r.exit);
  EXPECT_EQ("ｱﾄﾞﾚｽ: 00010000 - 00011387\nlength: 5000 bytes\n", r.out);
  EXPECT_EQ("", r.err);
}

TEST(CliInfo, DumpHoldsTheImageWithGapsErased) {
  TempDir dir;
  std::string path = dir.Write("gap.mot", Record('1', 0x0100, {1, 2, 3}) + Record('1', 0x0110, {4}) + kS9);
  std::string dump = dir.File("gap.bin");
  Outcome r = Info({path, "--dump-bin", dump});
  ASSERT_EQ(0, r.exit) << r.err;
  EXPECT_EQ("ｱﾄﾞﾚｽ: 00000100 - 00000110\nlength: 17 bytes\n", r.out);
  std::vector<uint8_t> expected(17, 0xFF);
  expected[0] = 1;
  expected[1] = 2;
  expected[2] = 3;
  expected[16] = 4;
  EXPECT_EQ(Bytes(expected), ReadWhole(dump));

  // The = form, and an image of nothing: an empty dump.
  std::string empty = dir.Write("empty.mot", kS0 + Record('5', 0, {}) + Record('1', 0x2000, {9}) + kS9);
  r = Info({"--dump-bin=" + dump, empty});
  ASSERT_EQ(0, r.exit) << r.err;
  EXPECT_EQ("ｱﾄﾞﾚｽ: 00002000 - 00001FFF\nlength: 0 bytes\n", r.out);
  EXPECT_EQ("", ReadWhole(dump));
}

struct RefusedFile {
  const char* name;
  std::string content;
  const char* message;
};
void PrintTo(const RefusedFile& c, std::ostream* os) { *os << c.name; }

class CliInfoRefused : public ::testing::TestWithParam<RefusedFile> {};

TEST_P(CliInfoRefused, ExitTwoWithTheMessage) {
  TempDir dir;
  std::string path = dir.Write("bad.mot", GetParam().content);
  std::string dump = dir.File("out.bin");
  Outcome r = Info({path, "--dump-bin", dump});
  EXPECT_EQ(2, r.exit);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(path + ": " + GetParam().message + "\n", r.err);
  EXPECT_FALSE(std::ifstream(dump).good()) << "no dump of a refused file";
}

INSTANTIATE_TEST_SUITE_P(
    Files, CliInfoRefused,
    ::testing::Values(
        RefusedFile{"not_srec", "hello\r\n", "ﾓﾄﾛｰﾗＳﾌｫｰﾏｯﾄでありません"},
        RefusedFile{"LF_only", DataRecords('1', 0, Pattern(100), 16, "\n"), "ﾓﾄﾛｰﾗＳﾌｫｰﾏｯﾄでありません"},
        RefusedFile{"checksum", Record('1', 0, {1}, "\r\n", 1), "チェックサムが誤っています"},
        RefusedFile{"too_wide", Record('3', 0, {1}) + Record('3', 307200, {1}), "ﾒﾓﾘが８ＭＢを越えます"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CliInfo, MissingFile) {
  Outcome r = Info({"/nonexistent/dir/x.mot"});
  EXPECT_EQ(2, r.exit);
  EXPECT_EQ("/nonexistent/dir/x.mot: ﾌｧｲﾙがｵｰﾌﾟﾝ出来ません\n", r.err);
}

TEST(CliInfo, UnwritableDumpFails) {
  TempDir dir;
  std::string path = dir.Write("a.mot", Record('1', 0, {1}) + kS9);
  Outcome r = Info({path, "--dump-bin", dir.File("no/such/dir/out.bin")});
  EXPECT_EQ(2, r.exit);
  EXPECT_EQ("", r.out) << "nothing reported as success";
}

TEST(CliInfo, UsageErrors) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"a.mot", "b.mot"}, {"--bogus", "a.mot"}, {"a.mot", "--dump-bin"}, {"a.mot", "--dump-bin="}}) {
    Outcome r = Info(args);
    EXPECT_EQ(1, r.exit) << ::testing::PrintToString(args);
    EXPECT_EQ("", r.out);
    EXPECT_NE("", r.err);
  }
  // "--" lets a file name start with a dash.
  Outcome r = Info({"--", "-x.mot"});
  EXPECT_EQ(2, r.exit);
  EXPECT_EQ("-x.mot: ﾌｧｲﾙがｵｰﾌﾟﾝ出来ません\n", r.err);
}

TEST(CliInfo, Help) {
  Outcome r = Info({"--help"});
  EXPECT_EQ(0, r.exit);
  EXPECT_EQ(0u, r.out.find("Usage: porten-cli info FILE [--dump-bin OUT]\n"));
}

TEST(CliInfoUsage, ListsEveryCommand) {
  std::ostringstream out, err;
  EXPECT_EQ(0, Dispatch({"porten-cli", "--help"}, out, err));
  EXPECT_EQ(Usage(), out.str());
  EXPECT_EQ(0u, out.str().find("Usage: porten-cli COMMAND [ARGS...]\n"));
  for (const Subcommand& c : Subcommands()) {
    EXPECT_NE(std::string::npos, out.str().find(std::string("\n  ") + c.name)) << c.name;
  }

  std::ostringstream out2, err2;
  EXPECT_EQ(1, Dispatch({"porten-cli"}, out2, err2));
  EXPECT_EQ(Usage(), err2.str());

  std::ostringstream out3, err3;
  EXPECT_EQ(1, Dispatch({"porten-cli", "frobnicate"}, out3, err3));
  EXPECT_EQ("porten-cli: unknown command 'frobnicate'\n\n" + Usage(), err3.str());
}

// The executable itself: a relative FILE is found from the directory it
// runs in, the caption is the path as typed, and the exit statuses reach
// the shell.
TEST(CliInfoExecutable, RelativePathAndExitStatuses) {
  TempDir dir;
  dir.Write("rel.mot", DataRecords('1', 0x0400, Pattern(64), 16) + kS9);
  dir.Write("bad.mot", "S1\r\n");

  CliResult ok = RunCli(dir.path(), "info rel.mot --dump-bin rel.bin", dir.path());
  EXPECT_EQ(0, ok.exit) << ok.err;
  EXPECT_EQ("ｱﾄﾞﾚｽ: 00000400 - 0000043F\nlength: 64 bytes\n", ok.out);
  EXPECT_EQ(Bytes(Pattern(64)), ReadWhole(dir.File("rel.bin")));

  CliResult bad = RunCli(dir.path(), "info bad.mot", dir.path());
  EXPECT_EQ(2, bad.exit);
  EXPECT_EQ("bad.mot: ﾓﾄﾛｰﾗＳﾌｫｰﾏｯﾄでありません\n", bad.err);

  CliResult usage = RunCli(dir.path(), "info", dir.path());
  EXPECT_EQ(1, usage.exit);
}

// A load of many batches through the console loop's real timers: the first
// tick waits 100 ms, the rest run on 0 ms timers.
TEST(CliInfoExecutable, LargeFileThroughTheTimers) {
  TempDir dir;
  auto bytes = Pattern(307200, 5);
  dir.Write("full.mot", kS0 + DataRecords('3', 0x00400000, bytes, 16) + Record('7', 0, {}));
  CliResult r = RunCli(dir.path(), "info full.mot --dump-bin full.bin", dir.path());
  ASSERT_EQ(0, r.exit) << r.err;
  EXPECT_EQ("ｱﾄﾞﾚｽ: 00400000 - 0044AFFF\nlength: 307200 bytes\n", r.out);
  EXPECT_EQ(Bytes(bytes), ReadWhole(dir.File("full.bin")));
}

}  // namespace
}  // namespace porten::cli
