// The serial number's formats: widths, byte order, the largest number each
// holds and one past it, and where in the image the number may go.
#include <gtest/gtest.h>

#include "records/serial_format.h"

namespace porten::records {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct Encoding {
  const char* format;
  uint64_t number;
  std::optional<Bytes> bytes;  // nullopt: does not fit
};

class Encodings : public ::testing::TestWithParam<Encoding> {};

TEST_P(Encodings, GiveTheBytesOrRefuseANumberThatDoesNotFit) {
  const auto format = ParseSerialFormat(GetParam().format);
  ASSERT_TRUE(format);
  EXPECT_EQ(GetParam().bytes, EncodeSerial(GetParam().number, *format));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, Encodings,
    ::testing::Values(
        Encoding{"u16le", 0x1234, Bytes{0x34, 0x12}}, Encoding{"u16be", 0x1234, Bytes{0x12, 0x34}},
        Encoding{"u16le", 65535, Bytes{0xFF, 0xFF}}, Encoding{"u16be", 65536, std::nullopt},
        Encoding{"u32le", 0x01020304, Bytes{4, 3, 2, 1}}, Encoding{"u32be", 0x01020304, Bytes{1, 2, 3, 4}},
        Encoding{"u32le", 0xFFFFFFFF, Bytes{0xFF, 0xFF, 0xFF, 0xFF}},
        Encoding{"u32be", 0x100000000, std::nullopt},
        Encoding{"u64le", 0x0102030405060708, Bytes{8, 7, 6, 5, 4, 3, 2, 1}},
        Encoding{"u64be", kMaxSerial, Bytes{0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        // The series stop at 2^63 - 1 whatever the width.
        Encoding{"u64le", kMaxSerial + 1, std::nullopt},
        Encoding{"ascii:6", 42, Text("000042")}, Encoding{"ascii:1", 0, Text("0")},
        Encoding{"ascii:2", 99, Text("99")}, Encoding{"ascii:2", 100, std::nullopt},
        Encoding{"ascii:19", kMaxSerial, Text("9223372036854775807")},
        Encoding{"hex:4", 0xBEEF, Text("BEEF")}, Encoding{"hex:8", 0x1A, Text("0000001A")},
        Encoding{"hex:4", 0x10000, std::nullopt},
        Encoding{"hex:16", kMaxSerial, Text("7FFFFFFFFFFFFFFF")}));

TEST(SerialFormat, NamesOutsideTheListAreRefused) {
  for (const char* bad : {"u16", "u8le", "U16LE", "u16le ", "ascii", "ascii:", "ascii:0", "ascii:20",
                          "ascii:+5", "ascii:5x", "hex:0", "hex:17", "dec:4", ":4"}) {
    EXPECT_FALSE(ParseSerialFormat(bad)) << bad;
  }
}

TEST(SerialFormat, AddressesAreHexadecimalWithOrWithoutThePrefix) {
  EXPECT_EQ(0x1F00u, ParseSerialAddress("1F00"));
  EXPECT_EQ(0x1F00u, ParseSerialAddress("0x1f00"));
  EXPECT_EQ(0xFFFFFFFFu, ParseSerialAddress("0XFFFFFFFF"));
  for (const char* bad : {"", "0x", "100000000", "1F 00", "-1", "+1F", "g1"}) {
    EXPECT_FALSE(ParseSerialAddress(bad)) << bad;
  }
  EXPECT_EQ(kMaxSerial, ParseSerialNumber("9223372036854775807"));
  for (const char* bad : {"9223372036854775808", "-1", "", "1e3", "0x10"}) {
    EXPECT_FALSE(ParseSerialNumber(bad)) << bad;
  }
}

TEST(SerialFormat, ThePlaceMustLieInsideTheImage) {
  // 16 bytes at 2000: 2000 - 200F.
  EXPECT_EQ("", CheckSerialPlace(0x2000, 4, 0x2000, 16));
  EXPECT_EQ("", CheckSerialPlace(0x200C, 4, 0x2000, 16));
  EXPECT_EQ("the serial number's 4 bytes at 0000200D lie outside the image (00002000 - 0000200F)",
            CheckSerialPlace(0x200D, 4, 0x2000, 16));
  EXPECT_EQ("the serial number's 2 bytes at 00001FFF lie outside the image (00002000 - 0000200F)",
            CheckSerialPlace(0x1FFF, 2, 0x2000, 16));
  // At the top of the address space the end does not wrap round.
  EXPECT_EQ("the serial number's 8 bytes at FFFFFFFC lie outside the image (FFFFFFF0 - FFFFFFFF)",
            CheckSerialPlace(0xFFFFFFFC, 8, 0xFFFFFFF0, 16));
  EXPECT_EQ("the image holds no data to put a serial number in", CheckSerialPlace(0x2000, 1, 0x2000, 0));
  EXPECT_EQ((Bytes{0xFF, 0xAA, 0xBB, 0xFF}),
            PatchedImage(Bytes(4, 0xFF), 0x2000, 0x2001, Bytes{0xAA, 0xBB}));
}

}  // namespace
}  // namespace porten::records
