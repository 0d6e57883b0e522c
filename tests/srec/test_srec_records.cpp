// Single records of both text formats, parsed from memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "srec/hex.h"
#include "srec/intel_hex.h"
#include "srec/srec.h"
#include "support/image_writer.h"

namespace porten {
namespace {

using testing::SRecord;

// The converter must take exactly what sscanf's "%Nx" takes from S-record
// text: compare the two on random strings over digits of both cases, other
// letters and NUL. Left out: white space, signs and "0x", which sscanf skips
// or accepts; a CR where a digit belongs must fail rather than be skipped.
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
      ASSERT_EQ(converted == 1 ? theirs : 0xDEADBEEFul, ours) << "text '" << text << "' width " << width;
    }
  }
}

struct SCase {
  std::string record;  // whole record, "S" first
  int32_t result;
  std::vector<uint8_t> bytes;
};
void PrintTo(const SCase& c, std::ostream* os) { *os << c.record; }

class SRecordParse : public ::testing::TestWithParam<SCase> {};

TEST_P(SRecordParse, Result) {
  const SCase& c = GetParam();
  const int P = RecordPrefixLength(c.record[1]);
  uint32_t address = 0x55555555;
  ReadRecordAddress(c.record.c_str(), P, &address);
  uint8_t out[256];
  const int32_t n = ParseDataRecord(c.record.c_str() + 2, P, address, out);
  EXPECT_EQ(c.result, n);
  if (n > 0) {
    EXPECT_EQ(c.bytes, std::vector<uint8_t>(out, out + n));
  }
}

const std::vector<uint8_t> k16 = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, k250(250, 0x5A);

// clang-format off
INSTANTIATE_TEST_SUITE_P(Records, SRecordParse, ::testing::Values(
    SCase{"S1130000000102030405060708090A0B0C0D0E0F74\r\n", 16, k16},
    SCase{SRecord(2, 0x123456, {0xDE, 0xAD}), 2, {0xDE, 0xAD}},
    SCase{SRecord(3, 0xFEDCBA98, k250), 250, k250},
    SCase{"S1060000abcdef92\n", 3, {0xAB, 0xCD, 0xEF}},                            // lower case
    SCase{SRecord(1, 0, k16, "\r\n", 1), kRecordChecksum, {}},                     // off by one
    SCase{"S1130001000102030405060708090A0B0C0D0E0F74\r\n", kRecordChecksum, {}},  // the address counts
    SCase{SRecord(3, 0x1000, {}), kRecordMalformed, {}},                           // no data byte
    SCase{"S1ZZ0000FF\r\n", kRecordMalformed, {}},                                 // count
    SCase{"S1050000G1F9\r\n", kRecordMalformed, {}},                               // data pair
    SCase{"S10400001GFA\r\n", 1, {0x01}},                        // "1G" converts its first digit alone
    SCase{"S1060000AAEF\r\nS9030000FC\r\n", kRecordMalformed, {}},  // count too long
    SCase{"S1050000AB", kRecordMalformed, {}},                      // no checksum
    SCase{"S1040000ECF", 1, {0xEC}},                                // "F" alone reads 0x0F, as "%2x" would
    SCase{SRecord(1, 0x8000, {0x42}, "7\r\n"), 1, {0x42}}));       // a digit after the checksum
// clang-format on

TEST(ReadRecordAddress, Fields) {
  for (const auto& [record, converts, expected] :
       std::vector<std::tuple<std::string, bool, uint32_t>>{{"S1131234", true, 0x1234},
                                                            {"S2131234567", true, 0x123456},
                                                            {"S313ffffFFFF", true, 0xFFFFFFFF},
                                                            {"S11312G4", true, 0x12},
                                                            {"S113G234", false, 0},
                                                            {"S113", false, 0},
                                                            {"S1", false, 0}}) {
    uint32_t address = 0x55555555;
    EXPECT_EQ(converts, ReadRecordAddress(record.c_str(), RecordPrefixLength(record[1]), &address)) << record;
    EXPECT_EQ(converts ? expected : 0x55555555u, address) << record;
  }
}

struct HexCase {
  std::string record;  // without its line end
  std::string why;     // "" loads, "checksum" or what is malformed
  int type = 0, offset = 0;
  std::vector<uint8_t> data = {};
};
void PrintTo(const HexCase& c, std::ostream* os) { *os << c.record; }

class IntelHexParse : public ::testing::TestWithParam<HexCase> {};

TEST_P(IntelHexParse, Result) {
  const HexCase& c = GetParam();
  HexRecord record;
  const HexParse parsed = ParseHexRecord(c.record.c_str(), c.record.size(), &record);
  EXPECT_EQ(c.why, parsed.status == HexParse::kChecksum ? "checksum" : parsed.why ? parsed.why : "");
  EXPECT_EQ(c.why.empty(), parsed.status == HexParse::kOk);
  if (parsed.status == HexParse::kOk) {
    EXPECT_EQ(c.type, record.type);
    EXPECT_EQ(c.offset, record.offset);
    EXPECT_EQ(c.data, std::vector<uint8_t>(record.data, record.data + record.count));
  }
}

std::string Hex(int type, uint16_t offset, const std::vector<uint8_t>& data, int checksumDelta = 0) {
  return testing::HexRecord(type, offset, data, "", checksumDelta);
}
const char* kCount = "the byte count does not match the record";
const char* kNotHex = "a character that is not a hexadecimal digit";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Records, IntelHexParse, ::testing::Values(
    HexCase{":10010000214601360121470136007EFE09D2190140", "", 0, 0x0100,
            {0x21, 0x46, 0x01, 0x36, 0x01, 0x21, 0x47, 0x01, 0x36, 0x00, 0x7E, 0xFE, 0x09, 0xD2, 0x19, 0x01}},
    HexCase{":0300300002337a1e", "", 0, 0x0030, {0x02, 0x33, 0x7A}},
    HexCase{Hex(0, 0xFF00, k250), "", 0, 0xFF00, k250},
    HexCase{":00000001FF", "", 1},
    HexCase{Hex(2, 0, {0x12, 0x34}), "", 2, 0, {0x12, 0x34}},
    HexCase{Hex(4, 0, {0xFF, 0xFF}), "", 4, 0, {0xFF, 0xFF}},
    HexCase{Hex(3, 0, {0, 0, 1, 2}), "", 3, 0, {0, 0, 1, 2}},
    HexCase{Hex(5, 0, {0, 0, 1, 2}), "", 5, 0, {0, 0, 1, 2}},
    HexCase{Hex(0, 0x10, {1, 2}, 1), "checksum"},
    HexCase{Hex(1, 0, {0}), "an end record with data"},
    HexCase{Hex(4, 0, {1, 2, 3}), "a base address record without 2 bytes"},
    HexCase{Hex(2, 0, {1}), "a base address record without 2 bytes"},
    HexCase{Hex(5, 0, {1, 2, 3}), "a start address record without 4 bytes"},
    HexCase{Hex(6, 0, {}), "a record type other than 00 to 05"},
    HexCase{":0300300002337A", kCount},
    HexCase{":0200000000FF", kCount},
    HexCase{":00000001F", "shorter than a record"},
    HexCase{":" + std::string(522, '0'), "longer than a record"},
    HexCase{":00000001FFF", "an odd number of digits"},
    HexCase{":01000000G0FF", kNotHex},
    HexCase{":0100000000 F", kNotHex}));
// clang-format on

}  // namespace
}  // namespace porten
