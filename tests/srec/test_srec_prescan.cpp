#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "srec/srec.h"
#include "srec/srec_text.h"

namespace porten {
namespace {

using srectest::DataRecords;
using srectest::Pattern;
using srectest::Record;
using srectest::TempDir;

struct ScanCase {
  const char* name;
  std::string content;
  uint32_t lowest;
};
void PrintTo(const ScanCase& c, std::ostream* os) { *os << c.name; }

class ScanLowestAddressTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanLowestAddressTest, FindsLowestAndRewinds) {
  TempDir dir;
  std::string path = dir.Write("f.mot", GetParam().content);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ::lseek(fd, 0, SEEK_SET);
  EXPECT_EQ(GetParam().lowest, ScanLowestAddress(fd));
  EXPECT_EQ(0, ::lseek(fd, 0, SEEK_CUR));
  ::close(fd);
}

std::string Data16(char type, uint32_t address) { return Record(type, address, Pattern(16)); }

const std::string kS0 = Record('0', 0, {'h', 'd', 'r'});
const std::string kS9 = Record('9', 0, {});

// Many records, so that lines straddle the 512-byte reads at various points;
// the lowest one sits last.
std::string LongFileLowestLast() {
  std::string text = kS0;
  for (uint32_t i = 0; i < 40; ++i) text += Data16('2', 0x20000 + 16 * i);
  return text + Data16('1', 0x0100) + kS9;
}

// The last line start of the file falls at every position relative to the
// 512-byte pieces.
std::string PaddedHeader(size_t length) {
  return "S0" + std::string(length, '0') + "\r\n" + Data16('1', 0x4000) + kS9;
}

INSTANTIATE_TEST_SUITE_P(
    Files, ScanLowestAddressTest,
    ::testing::Values(
        ScanCase{"unordered", kS0 + Data16('1', 0x3000) + Data16('1', 0x1000) + Data16('1', 0x2000) + kS9,
                 0x1000},
        ScanCase{"S1_and_S2", Data16('1', 0x8000) + Data16('2', 0x001000) + kS9, 0x1000},
        ScanCase{"S3_below_S1", Data16('1', 0x0200) + Data16('3', 0x00000100) + kS9, 0x100},
        ScanCase{"header_and_end_only", kS0 + kS9, 0xFFFFFFFF},
        ScanCase{"empty", "", 0xFFFFFFFF},
        ScanCase{"shorter_than_a_prefix", "S1050000", 0xFFFFFFFF},
        ScanCase{"LF_only_data_first", Record('1', 0x5000, Pattern(4), "\n") + Record('1', 0x10, Pattern(4), "\n"),
                 0x5000},
        ScanCase{"LF_only_header_first", Record('0', 0, {1}, "\n") + Record('1', 0x10, Pattern(4), "\n"),
                 0xFFFFFFFF},
        ScanCase{"CR_only_data_first", Record('1', 0x5000, Pattern(4), "\r") + Record('1', 0x10, Pattern(4), "\r"),
                 0x5000},
        // CR and LF need not be adjacent nor in order.
        ScanCase{"LF_CR_reversed", Record('1', 0x5000, Pattern(4), "\n\r") + Record('1', 0x10, Pattern(4), "\r\n"),
                 0x10},
        ScanCase{"CR_x_LF", Record('1', 0x5000, Pattern(4), "\rxx\n") + Record('1', 0x10, Pattern(4), "\r\n"),
                 0x10},
        ScanCase{"only_S3_at_top", Record('3', 0xFFFFFFFF, {1}), 0xFFFFFFFF},
        ScanCase{"address_not_converting", "S113ZZZZ00\r\n" + Data16('1', 0x0700), 0x0700},
        // The last record is too short to be examined (under 12 characters).
        ScanCase{"short_tail_not_examined", Data16('1', 0x0700) + "S1050010FF", 0x0700},
        ScanCase{"twelve_char_tail_examined", Data16('1', 0x0700) + "S10400102AB1", 0x0010},
        ScanCase{"lowest_after_several_pieces", LongFileLowestLast(), 0x0100},
        ScanCase{"S3_record_ends_a_piece", "S0" + std::string(498, '0') + "\r\n" + "S30900000300", 0x0300},
        ScanCase{"header_pad_1", PaddedHeader(495), 0x4000}, ScanCase{"header_pad_2", PaddedHeader(496), 0x4000},
        ScanCase{"header_pad_3", PaddedHeader(497), 0x4000}, ScanCase{"header_pad_4", PaddedHeader(498), 0x4000},
        ScanCase{"header_pad_5", PaddedHeader(499), 0x4000}, ScanCase{"header_pad_6", PaddedHeader(500), 0x4000},
        ScanCase{"header_pad_7", PaddedHeader(505), 0x4000}, ScanCase{"header_pad_8", PaddedHeader(508), 0x4000},
        ScanCase{"header_pad_9", PaddedHeader(509), 0x4000}, ScanCase{"header_pad_10", PaddedHeader(510), 0x4000}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace porten
