#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "srec/hex.h"
#include "srec/srec.h"
#include "srec/srec_text.h"

namespace porten {
namespace {

using srectest::Record;

// The converter must take exactly what sscanf's "%Nx" takes from S-record
// text: compare the two on random strings over digits of both cases, other
// letters and NUL. Left out: white space (CR and LF among it), signs and "0x",
// which sscanf skips or accepts; a field never starts with them in a good
// file, and a CR where a digit belongs must fail rather than be skipped.
TEST(ScanHex, AgreesWithSscanf) {
  const char alphabet[] = "0123456789abcdefABCDEFSgGzZ:";
  std::mt19937 rng(7);
  std::uniform_int_distribution<size_t> pick(0, sizeof alphabet - 1);  // incl. the NUL
  for (int round = 0; round < 20000; ++round) {
    char text[12] = {};
    for (int i = 0; i < 10; ++i) text[i] = alphabet[pick(rng)];
    for (int width : {2, 4, 6, 8}) {
      uint32_t ours = 0xDEADBEEF;
      int took = srec::ScanHex(text, width, &ours);
      unsigned long theirs = 0;
      char format[8];
      std::snprintf(format, sizeof format, "%%%dlx", width);
      int converted = std::sscanf(text, format, &theirs);
      ASSERT_EQ(converted == 1, took > 0) << "text '" << text << "' width " << width;
      if (converted == 1) {
        ASSERT_EQ(theirs, ours) << "text '" << text << "' width " << width;
      } else {
        ASSERT_EQ(0xDEADBEEFu, ours) << "a field that does not convert leaves the value";
      }
    }
  }
}

struct ParseCase {
  const char* name;
  std::string record;  // whole record, "S" first
  int32_t result;
  std::vector<uint8_t> bytes;
};
void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class ParseDataRecordTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseDataRecordTest, Result) {
  const ParseCase& c = GetParam();
  int P = RecordPrefixLength(c.record[1]);
  uint32_t address = 0;
  ReadRecordAddress(c.record.c_str(), P, &address);
  uint8_t out[256];
  std::fill(std::begin(out), std::end(out), 0xEE);
  int32_t n = ParseDataRecord(c.record.c_str() + 2, P, address, out);
  EXPECT_EQ(c.result, n);
  if (n > 0) {
    EXPECT_EQ(c.bytes, std::vector<uint8_t>(out, out + n));
  }
}

const std::vector<uint8_t> k16 = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

std::string Lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Records, ParseDataRecordTest,
    ::testing::Values(
        ParseCase{"S1_16_bytes_at_0", "S1130000000102030405060708090A0B0C0D0E0F74\r\n", 16, k16},
        ParseCase{"S2", Record('2', 0x123456, {0xDE, 0xAD}), 2, {0xDE, 0xAD}},
        ParseCase{"S3_high_address", Record('3', 0xFEDCBA98, {0x01}), 1, {0x01}},
        ParseCase{"S3_max_count", Record('3', 0x1000, std::vector<uint8_t>(250, 0x5A)), 250,
                  std::vector<uint8_t>(250, 0x5A)},
        ParseCase{"lower_case", "S" + Lower(Record('1', 0xABCD, {0xEF, 0xBE})).substr(1), 2,
                  {0xEF, 0xBE}},
        ParseCase{"checksum_off_by_one", Record('1', 0, k16, "\r\n", 1), -2, {}},
        ParseCase{"checksum_covers_address", "S1130001000102030405060708090A0B0C0D0E0F74\r\n", -2,
                  {}},
        ParseCase{"S3_count_5_no_data", Record('3', 0x1000, {}), -1, {}},
        ParseCase{"S1_count_3", "S1030000FC\r\n", -1, {}},
        ParseCase{"S1_count_0", "S1000000FF\r\n", -1, {}},
        ParseCase{"count_not_hex", "S1ZZ0000FF\r\n", -1, {}},
        ParseCase{"data_pair_not_hex", "S1050000G1F9\r\n", -1, {}},
        // "1G" converts its first digit alone; the checksum is the one for 0x01.
        ParseCase{"second_digit_not_hex", "S10400001GFA\r\n", 1, {0x01}},
        // The count claims more than the line holds: the next line's "S" is
        // not a hex digit.
        ParseCase{"count_too_long", "S1060000AAEF\r\nS9030000FC\r\n", -1, {}},
        // Cut off by the end of the text: missing bytes are 0, and without a
        // checksum the record cannot pass.
        ParseCase{"truncated_before_checksum", "S1050000AB", -1, {}},
        ParseCase{"truncated_in_data", "S1060000AB", -1, {}},
        ParseCase{"checksum_one_digit", "S1040000AB", -1, {}},
        ParseCase{"one_byte", Record('1', 0x8000, {0x42}), 1, {0x42}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseDataRecord, SingleChecksumDigitConvertsAlone) {
  // As "%2x" does at the end of the text: "F" reads 0x0F, the complement of
  // 0x04 + 0xEC.
  uint8_t out[256];
  EXPECT_EQ(1, ParseDataRecord("040000ECF", 8, 0, out));
  EXPECT_EQ(0xEC, out[0]);
}

struct AddressCase {
  std::string record;
  bool converts;
  uint32_t address;
};
void PrintTo(const AddressCase& c, std::ostream* os) { *os << c.record; }

class ReadRecordAddressTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(ReadRecordAddressTest, Reads) {
  const AddressCase& c = GetParam();
  uint32_t address = 0x55555555;
  EXPECT_EQ(c.converts, ReadRecordAddress(c.record.c_str(), RecordPrefixLength(c.record[1]),
                                          &address))
      << c.record;
  EXPECT_EQ(c.converts ? c.address : 0x55555555u, address) << c.record;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ReadRecordAddressTest,
    ::testing::Values(AddressCase{"S1131234", true, 0x1234}, AddressCase{"S2131234567", true, 0x123456},
                      AddressCase{"S313ffffFFFF", true, 0xFFFFFFFF},
                      AddressCase{"S31300000001AA", true, 0x00000001},
                      AddressCase{"S11312G4", true, 0x12}, AddressCase{"S113G234", false, 0},
                      AddressCase{"S113", false, 0}, AddressCase{"S11", false, 0},
                      AddressCase{"S1", false, 0}));

TEST(RecordPrefixLength, ByType) {
  EXPECT_EQ(8, RecordPrefixLength('1'));
  EXPECT_EQ(10, RecordPrefixLength('2'));
  EXPECT_EQ(12, RecordPrefixLength('3'));
  for (char t : {'0', '4', '5', '7', '8', '9', 's', '\0'}) EXPECT_EQ(0, RecordPrefixLength(t)) << t;
}

}  // namespace
}  // namespace porten
