// porten-cli info in process: its arguments, its report, and how a refused
// file reaches standard error. What loads and what is refused is the
// loader's own tests' business.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "cli/commands.h"
#include "support/image_writer.h"

namespace porten::cli {
namespace {

// "123456789" has well-known digests: CRC-32 cbf43926, and the SHA-256 below.
// A refused file: the message as the dialog's box shows it, then the line
// that says where; no dump of it, and no report when the dump fails.
TEST(CliInfo, ReportsAndErrors) {
  testing::TempDir dir;
  const std::vector<testing::Segment> check = {{0x10000, {'1', '2', '3', '4', '5', '6', '7', '8', '9'}}};
  const std::string mot = dir.Write("a.mot", testing::MakeSRecords(check, 2, 16, "\n")), dump = dir.File("out.bin");
  const std::string hex = dir.Write("a.hex", testing::MakeIntelHex(check));
  const std::string elf = dir.Write("a.elf", testing::MakeElf(check));
  const std::string bad = dir.Write("bad", testing::SRecord(3, 0, {1}) + testing::SRecord(3, 307200, {1}));
  const std::string report = "ｱﾄﾞﾚｽ: 00010000 - 00010008\nformat: %\nlength: 9 bytes\nsha256: "
                             "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225\ncrc32: cbf43926\n";
  const std::string usage = "porten-cli info: ", open = ": ﾌｧｲﾙがｵｰﾌﾟﾝ出来ません\n";
  auto start = [](const std::string& whole, const std::string& expected) {
    return expected.empty() || expected.back() == '\n' ? whole : whole.substr(0, expected.size());
  };
  // Arguments, exit status, standard output and error: whole, or their start
  // when the text does not end in a line feed.
  for (auto [args, status, out, err] : std::vector<std::tuple<std::vector<std::string>, int, std::string, std::string>>{
           {{mot, "--dump-bin", dump}, 0, std::string(report).replace(report.find('%'), 1, "S-record"), ""},
           {{"--dump-bin=" + dump, hex}, 0, std::string(report).replace(report.find('%'), 1, "Intel HEX"), ""},
           {{elf, "--dump-bin", dump}, 0, std::string(report).replace(report.find('%'), 1, "ELF"), ""},
           {{bad, "--dump-bin", dump}, 2, "",
            bad + ": ﾒﾓﾘが８ＭＢを越えます\nporten-cli info: line 2: the data runs past the limit of 307,200 bytes "
                  "from the lowest address 00000000: 0004B000 is the first address beyond it\n"},
           {{mot, "--dump-bin", dir.File("no/such/dir/out.bin")}, 2, "", usage + "cannot write "},
           {{}, 1, "", usage}, {{"a.mot", "b.mot"}, 1, "", usage}, {{"--bogus", "a.mot"}, 1, "", usage},
           {{"a.mot", "--dump-bin"}, 1, "", usage}, {{"a.mot", "--dump-bin="}, 1, "", usage},
           {{"--", "-x.mot"}, 2, "", "-x.mot" + open}, {{"-"}, 2, "", "-" + open},  // "--" ends the options
           {{"--help"}, 0, "Usage: porten-cli info FILE [--dump-bin OUT]", ""}}) {
    std::ostringstream o, e, dumped;
    std::remove(dump.c_str());
    args.insert(args.begin(), {"porten-cli", "info"});
    EXPECT_EQ(status, Dispatch(args, o, e)) << ::testing::PrintToString(args);
    EXPECT_EQ(out, start(o.str(), out)) << ::testing::PrintToString(args);
    EXPECT_EQ(err, start(e.str(), err)) << ::testing::PrintToString(args);
    dumped << std::ifstream(dump, std::ios::binary).rdbuf();
    EXPECT_EQ(status == 0 && args.size() > 3 ? "123456789" : "", dumped.str());
  }
}

}  // namespace
}  // namespace porten::cli
