#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/texts.h"
#include "srec/load.h"
#include "srec/srec_text.h"
#include "support/fake_window.h"

namespace porten {
namespace {

using srectest::DataRecords;
using testing::FakeWindow;
using testing::Message;
using srectest::OpenDescriptors;
using srectest::Pattern;
using srectest::Record;
using srectest::TempDir;

const std::string kS0 = Record('0', 0, {'h', 'd', 'r'});
const std::string kS9 = Record('9', 0, {});
const std::string kS5 = Record('5', 3, {});

// The dialog's side of a load: its timer calls the batch, its buttons start
// loads the way "参照" and "CPU選択" do.
class Loader : public TimerTarget {
 public:
  Loader() : image(kImageBufferSize, 0xA5) {
    st.m_pImage = image.data();
    st.m_szStartDir = dir.path();
    win.Bind(this);
  }
  void OnTimer(int id) override {
    if (id == TIMER_LOAD) LoadBatch(st, link, win);
  }

  void Browse(const std::string& path) {
    st.m_strFilePath = path;
    st.m_nLength = 0;
    st.m_nTarget = 1;
    st.m_nSlotLength[1] = 0;
    StartLoad(st, link, win);
  }
  void CpuSelect(const std::string& name) {
    st.m_strFilePath = name;
    st.m_nLength = 0;
    st.m_nTarget = 0;
    st.m_nSlotLength[0] = 0;
    StartLoad(st, link, win);
  }
  // Runs the timer until the load has ended; the number of batches.
  int Finish() {
    int batches = 0;
    while (win.Armed(TIMER_LOAD) && batches < 100000) {
      win.FireNext();
      ++batches;
    }
    return batches;
  }
  int BrowseAndFinish(const std::string& content) {
    Browse(dir.Write("image.mot", content));
    return Finish();
  }
  std::vector<uint8_t> Image(size_t n) const { return {image.begin(), image.begin() + static_cast<long>(n)}; }
  bool Idle() const { return st.m_bReady == 1 && st.m_bLoading == 0 && st.m_hFile == -1 && st.m_nLength == 0; }

  TempDir dir;
  std::vector<uint8_t> image;
  DownloadState st;
  LinkVars link;
  FakeWindow win;
};

std::string AddressText(uint32_t from, uint32_t to) {
  char s[64];
  std::snprintf(s, sizeof s, "ｱﾄﾞﾚｽ: %08lX - %08lX", static_cast<unsigned long>(from),
                static_cast<unsigned long>(to));
  return s;
}

TEST(Load, WriteImageFillsSlotOneAndTheWriteCopy) {
  Loader l;
  auto bytes = Pattern(1000);
  l.BrowseAndFinish(kS0 + DataRecords('1', 0x2000, bytes, 32) + kS9);

  EXPECT_EQ(std::vector<Message>{}, l.win.Messages());
  EXPECT_EQ("ｱﾄﾞﾚｽ: 00002000 - 000023E7", l.win.Text(Surface::kAddress));
  EXPECT_EQ("読込開始", l.win.Text(Surface::kStatus));
  EXPECT_EQ(1000u, l.st.m_nSlotLength[1]);
  EXPECT_EQ(0x2000u, l.st.m_nSlotBase[1]);
  EXPECT_EQ(1000u, l.link.TransferLength);
  EXPECT_EQ(0x2000u, l.link.TransferAddress);
  EXPECT_EQ(bytes, l.Image(1000));
  EXPECT_EQ(0xFF, l.image[1000]);
  EXPECT_EQ(bytes, std::vector<uint8_t>(l.st.m_byWriteImage.begin(), l.st.m_byWriteImage.begin() + 1000));
  EXPECT_TRUE(std::all_of(l.st.m_byWriteImage.begin() + 1000, l.st.m_byWriteImage.end(),
                          [](uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(l.Idle());
}

// Each file holds the same 600 bytes at 0x00012340, written with different
// record types and orders; all must give the same image.
struct LayoutCase {
  const char* name;
  std::string (*make)(const std::vector<uint8_t>&);
};
void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class LoadLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(LoadLayout, SameImage) {
  Loader l;
  auto bytes = Pattern(600, 3);
  l.BrowseAndFinish(GetParam().make(bytes));
  EXPECT_EQ(std::vector<Message>{}, l.win.Messages());
  EXPECT_EQ(AddressText(0x12340, 0x12340 + 599), l.win.Text(Surface::kAddress));
  EXPECT_EQ(600u, l.st.m_nSlotLength[1]);
  EXPECT_EQ(bytes, l.Image(600));
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t from, size_t n) {
  return {v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + n)};
}

INSTANTIATE_TEST_SUITE_P(
    Files, LoadLayout,
    ::testing::Values(
        LayoutCase{"S2", [](const auto& b) { return DataRecords('2', 0x12340, b, 16) + Record('8', 0, {}); }},
        LayoutCase{"S3", [](const auto& b) { return kS0 + DataRecords('3', 0x12340, b, 32) + Record('7', 0, {}); }},
        LayoutCase{"mixed_types",
                   [](const auto& b) {
                     std::string t = kS0;
                     for (size_t at = 0; at < 600; at += 20) {
                       char type = "123"[at / 20 % 3];
                       uint32_t address = 0x12340 + static_cast<uint32_t>(at);
                       // An S1 address has 16 bits: use S2/S3 above that.
                       if (type == '1') type = '2';
                       t += Record(type, address, Slice(b, at, 20));
                     }
                     return t + kS9;
                   }},
        LayoutCase{"unordered",
                   [](const auto& b) {
                     std::string t;
                     for (size_t k = 0; k < 30; ++k) {
                       size_t at = (k * 7 % 30) * 20;  // a permutation of the 30 pieces
                       t += Record('2', 0x12340 + static_cast<uint32_t>(at), Slice(b, at, 20));
                     }
                     return t + kS9;
                   }},
        LayoutCase{"overlapping_later_wins",
                   [](const auto& b) {
                     std::string t = Record('2', 0x12340, std::vector<uint8_t>(100, 0x00));
                     return t + DataRecords('2', 0x12340, b, 100) + kS9;
                   }},
        LayoutCase{"no_end_record", [](const auto& b) { return DataRecords('3', 0x12340, b, 16); }},
        LayoutCase{"end_record_lower_case_data",
                   [](const auto& b) {
                     std::string t = DataRecords('2', 0x12340, b, 16);
                     for (char& c : t) {
                       if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
                     }
                     return t + kS9;
                   }},
        LayoutCase{"ends_with_bare_CR_at_end_of_file",
                   [](const auto& b) {
                     std::string t = DataRecords('2', 0x12340, b, 16);
                     return t.substr(0, t.size() - 1);
                   }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Load, GapsStayErasedAndCountInTheLength) {
  Loader l;
  l.BrowseAndFinish(Record('1', 0x1000, {1, 2}) + Record('1', 0x1100, {3}) + kS9);
  EXPECT_EQ(0x101u, l.st.m_nSlotLength[1]);
  EXPECT_EQ("ｱﾄﾞﾚｽ: 00001000 - 00001100", l.win.Text(Surface::kAddress));
  std::vector<uint8_t> expected(0x101, 0xFF);
  expected[0] = 1;
  expected[1] = 2;
  expected[0x100] = 3;
  EXPECT_EQ(expected, l.Image(0x101));
  // Everything past the image is erased too, not left from before the load.
  EXPECT_TRUE(std::all_of(l.image.begin() + 0x101, l.image.end(), [](uint8_t b) { return b == 0xFF; }));
}

// The buffer limit: the last byte may lie 307,199 above the lowest address.
struct BoundaryCase {
  uint32_t lastOffset;
  bool loads;
};
void PrintTo(const BoundaryCase& c, std::ostream* os) { *os << "last_byte_at_" << c.lastOffset; }

class LoadBoundary : public ::testing::TestWithParam<BoundaryCase> {};

TEST_P(LoadBoundary, Limit) {
  Loader l;
  const uint32_t base = 0x00100000;
  const uint32_t last = base + GetParam().lastOffset;
  l.BrowseAndFinish(Record('3', base, {0x11}) + Record('3', last - 3, {0x22, 0x33, 0x44, 0x55}) + kS9);
  if (GetParam().loads) {
    EXPECT_EQ(std::vector<Message>{}, l.win.Messages());
    EXPECT_EQ(GetParam().lastOffset + 1, l.st.m_nSlotLength[1]);
    EXPECT_EQ(AddressText(base, last), l.win.Text(Surface::kAddress));
    EXPECT_EQ(0x55, l.image[GetParam().lastOffset]);
  } else {
    EXPECT_EQ((std::vector<Message>{{"ﾒﾓﾘが８ＭＢを越えます", l.st.m_strFilePath}}), l.win.Messages());
    EXPECT_EQ(0u, l.st.m_nSlotLength[1]);
  }
  EXPECT_TRUE(l.Idle());
}

INSTANTIATE_TEST_SUITE_P(Span, LoadBoundary,
                         ::testing::Values(BoundaryCase{307198, true}, BoundaryCase{307199, true},
                                           BoundaryCase{307200, false}, BoundaryCase{0x7FFFFFFF, false}));

TEST(Load, WholeBufferOfS3Records) {
  Loader l;
  auto bytes = Pattern(kImageBufferSize, 9);
  l.BrowseAndFinish(kS0 + DataRecords('3', 0x80000000, bytes, 32) + Record('7', 0x80000000, {}));
  EXPECT_EQ(std::vector<Message>{}, l.win.Messages());
  EXPECT_EQ("ｱﾄﾞﾚｽ: 80000000 - 8004AFFF", l.win.Text(Surface::kAddress));
  EXPECT_EQ(bytes, l.image);
}

// 1,000 records of 16 bytes: six full batches of 150 and a seventh that ends
// the data; the address box shows the span after each full batch.
TEST(Load, ThousandRecordsInSevenBatches) {
  Loader l;
  l.Browse(l.dir.Write("big.mot", kS0 + DataRecords('1', 0, Pattern(16000), 16) + kS9));
  EXPECT_EQ("読込開始", l.win.Text(Surface::kStatus));
  EXPECT_EQ(100, l.win.DueAt(TIMER_LOAD));

  std::vector<std::string> afterBatch;
  int batches = 0;
  while (l.win.Armed(TIMER_LOAD)) {
    l.win.FireNext();
    ++batches;
    if (l.win.Armed(TIMER_LOAD)) {
      EXPECT_EQ(l.win.NowMs(), l.win.DueAt(TIMER_LOAD)) << "later batches run on a 0 ms timer";
    }
    afterBatch.push_back(l.win.Text(Surface::kAddress));
  }
  EXPECT_EQ(7, batches);
  EXPECT_EQ((std::vector<std::string>{"読込み中：     2400 ﾊﾞｲﾄ", "読込み中：     4800 ﾊﾞｲﾄ",
                                      "読込み中：     7200 ﾊﾞｲﾄ", "読込み中：     9600 ﾊﾞｲﾄ",
                                      "読込み中：    12000 ﾊﾞｲﾄ", "読込み中：    14400 ﾊﾞｲﾄ",
                                      "ｱﾄﾞﾚｽ: 00000000 - 00003E7F"}),
            afterBatch);
}

TEST(Load, BootLoaderShowsProgressInTheAddressBoxAndResultInStatus) {
  Loader l;
  auto bytes = Pattern(16000, 4);
  l.dir.Write("BOOT.MOT", DataRecords('1', 0x0400, bytes, 16) + kS9);
  l.CpuSelect("BOOT.MOT");
  EXPECT_EQ(7, l.Finish());
  EXPECT_EQ(std::vector<Message>{}, l.win.Messages());
  EXPECT_EQ("ｱﾄﾞﾚｽ: 00000400 - 0000427F", l.win.Text(Surface::kStatus));
  EXPECT_EQ("読込み中：    14400 ﾊﾞｲﾄ", l.win.Text(Surface::kAddress));
  EXPECT_EQ(16000u, l.st.m_nSlotLength[0]);
  EXPECT_EQ(0x400u, l.st.m_nSlotBase[0]);
  EXPECT_EQ(bytes, std::vector<uint8_t>(l.st.m_byBootImage.begin(), l.st.m_byBootImage.begin() + 16000));
  EXPECT_EQ(0u, l.link.TransferLength) << "a boot loader load does not touch the transfer";
}

TEST(Load, BootImageAndWriteCopySurviveTheOtherLoad) {
  Loader l;
  auto boot = Pattern(2000, 5);
  auto app = Pattern(3000, 6);
  l.dir.Write("BOOT.MOT", DataRecords('1', 0x0000, boot, 32) + kS9);
  l.CpuSelect("BOOT.MOT");
  l.Finish();
  l.BrowseAndFinish(DataRecords('2', 0x10000, app, 32) + kS9);
  EXPECT_EQ(app, l.Image(3000));
  EXPECT_EQ(boot, std::vector<uint8_t>(l.st.m_byBootImage.begin(), l.st.m_byBootImage.begin() + 2000));

  // A later boot loader load refills the shared buffer, never the write copy.
  l.CpuSelect("BOOT.MOT");
  l.Finish();
  EXPECT_EQ(boot, l.Image(2000));
  EXPECT_EQ(app, std::vector<uint8_t>(l.st.m_byWriteImage.begin(), l.st.m_byWriteImage.begin() + 3000));
  EXPECT_EQ(3000u, l.st.m_nSlotLength[1]);
  EXPECT_EQ(std::vector<Message>{}, l.win.Messages());
}

TEST(Load, OversizedBootLoaderFillsSlotButNotBootImage) {
  Loader l;
  l.dir.Write("SMALL.MOT", DataRecords('1', 0x0000, Pattern(100, 1), 32) + kS9);
  l.CpuSelect("SMALL.MOT");
  l.Finish();
  auto before = l.st.m_byBootImage;

  l.dir.Write("BIG.MOT", Record('1', 0x1000, {1}) + Record('1', 0x1000 + 39999, {2}) + kS9);
  l.CpuSelect("BIG.MOT");
  l.Finish();
  EXPECT_EQ("Bootﾛｰﾀﾞが不正", l.win.Text(Surface::kStatus));
  EXPECT_EQ(before, l.st.m_byBootImage);
  EXPECT_EQ(40000u, l.st.m_nSlotLength[0]);
  EXPECT_EQ(0x1000u, l.st.m_nSlotBase[0]);
  EXPECT_EQ(std::vector<Message>{}, l.win.Messages());
}

TEST(Load, BootLoaderOfExactly32KiBIsCopied) {
  Loader l;
  auto bytes = Pattern(kBootImageSize, 8);
  l.dir.Write("B.MOT", DataRecords('1', 0x0000, bytes, 32) + kS9);
  l.CpuSelect("B.MOT");
  l.Finish();
  EXPECT_EQ("ｱﾄﾞﾚｽ: 00000000 - 00007FFF", l.win.Text(Surface::kStatus));
  EXPECT_EQ(bytes, std::vector<uint8_t>(l.st.m_byBootImage.begin(), l.st.m_byBootImage.end()));
}

TEST(Load, EndRecordBeforeAnyDataGivesAnEmptyImage) {
  Loader l;
  l.link.TransferLength = 77;
  l.BrowseAndFinish(kS0 + kS5 + Record('1', 0x1000, {1, 2, 3}) + kS9);
  EXPECT_EQ(std::vector<Message>{}, l.win.Messages());
  EXPECT_EQ("ｱﾄﾞﾚｽ: 00001000 - 00000FFF", l.win.Text(Surface::kAddress));
  EXPECT_EQ(0u, l.st.m_nSlotLength[1]);
  EXPECT_EQ(0x1000u, l.st.m_nSlotBase[1]);
  EXPECT_EQ(0u, l.link.TransferLength);
  EXPECT_EQ(0x1000u, l.link.TransferAddress);
  EXPECT_TRUE(l.Idle());
}

// Every way a file is refused: the message, captioned with the path as
// given, and a load that is over with its file closed.
struct RefusedCase {
  const char* name;
  std::string content;
  const char* message;
};
void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class LoadRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(LoadRefused, MessageAndNothingLoaded) {
  Loader l;
  l.st.m_nSlotBase[1] = 0x4242;
  int descriptors = srectest::OpenDescriptors();
  l.dir.Write("bad.mot", GetParam().content);
  l.Browse("bad.mot");
  l.Finish();
  EXPECT_EQ((std::vector<Message>{{GetParam().message, "bad.mot"}}), l.win.Messages());
  EXPECT_EQ(0u, l.st.m_nSlotLength[1]);
  EXPECT_EQ(0x4242u, l.st.m_nSlotBase[1]) << "a failed load keeps the slot's old base";
  EXPECT_EQ(0u, l.link.TransferLength);
  EXPECT_TRUE(std::all_of(l.st.m_byWriteImage.begin(), l.st.m_byWriteImage.end(),
                          [](uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(l.Idle());
  EXPECT_EQ(descriptors, srectest::OpenDescriptors());
}

const char* kNot = "ﾓﾄﾛｰﾗＳﾌｫｰﾏｯﾄでありません";
const char* kSum = "チェックサムが誤っています";

std::string Good(uint32_t address) { return Record('1', address, Pattern(16, address)); }

// A record whose address field holds no digit, with a checksum made for the
// previous record's address: taking the stale address would store it there.
std::string StaleAddressRecord(uint32_t previous) {
  std::string r = Record('1', previous, {0xAB, 0xCD});
  return r.substr(0, 4) + "GGGG" + r.substr(8);
}

std::string CrOnly() {
  return Record('1', 0x100, Pattern(16), "\r") + Record('1', 0x110, Pattern(16), "\r") + Record('9', 0, {}, "\r");
}

INSTANTIATE_TEST_SUITE_P(
    Files, LoadRefused,
    ::testing::Values(
        RefusedCase{"empty", "", kNot}, RefusedCase{"text", "hello world, not a record\r\n", kNot},
        RefusedCase{"header_and_end_only", kS0 + kS9, kNot},
        RefusedCase{"first_line_not_a_record", "\r\n" + Good(0x100) + kS9, kNot},
        RefusedCase{"first_line_S5", kS5 + Good(0x100) + kS9, kNot},
        RefusedCase{"checksum", Good(0x100) + Record('1', 0x110, {1, 2}, "\r\n", 1) + kS9, kSum},
        RefusedCase{"checksum_in_first_record", Record('3', 0x100, {1, 2}, "\r\n", -1) + kS9, kSum},
        RefusedCase{"count_without_data", Good(0x100) + Record('1', 0x200, {}) + kS9, kNot},
        RefusedCase{"truncated_record", Good(0x100) + "S1130110AABB", kNot},
        RefusedCase{"data_line_without_line_end", Good(0x100) + Good(0x110).substr(0, 42), kNot},
        RefusedCase{"LF_only", Record('1', 0x100, Pattern(16), "\n") + Record('1', 0x110, Pattern(16), "\n") +
                                   Record('9', 0, {}, "\n"),
                    kNot},
        RefusedCase{"CR_only", CrOnly(), kNot},
        RefusedCase{"CR_only_after_good_lines", Good(0x100) + Good(0x110) + Record('1', 0x120, {1}, "\r") + Good(0x130),
                    kNot},
        RefusedCase{"address_without_digit", Good(0x100) + StaleAddressRecord(0x100) + kS9, kNot},
        RefusedCase{"header_without_CR", "S0" + std::string(1100, '0') + "\r\n" + Good(0x100) + kS9, kNot},
        RefusedCase{"header_with_bare_CR", Record('0', 0, {1}, "\r") + Good(0x100) + kS9, kNot},
        RefusedCase{"only_record_at_top_address", Record('3', 0xFFFFFFFF, {1}) + kS9, kNot},
        RefusedCase{"span_too_wide", Good(0x100) + Record('3', 0x100 + kImageBufferSize, {1}) + kS9,
                    "ﾒﾓﾘが８ＭＢを越えます"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Load, OpenFailuresNameThePathAsGiven) {
  Loader l;
  // A FIFO is refused rather than left blocking the window thread.
  ASSERT_EQ(0, ::mkfifo(l.dir.File("fifo.mot").c_str(), 0600));
  for (const std::string& path : {std::string("missing.mot"), l.dir.File("missing.mot"), l.dir.path(),
                                  std::string(""), std::string("fifo.mot")}) {
    l.win.ClearHistory();
    l.Browse(path);
    EXPECT_EQ((std::vector<Message>{{"ﾌｧｲﾙがｵｰﾌﾟﾝ出来ません", path}}), l.win.Messages()) << path;
    EXPECT_FALSE(l.win.Armed(TIMER_LOAD));
    EXPECT_TRUE(l.Idle());
  }
}

TEST(Load, RelativePathIsTakenFromTheStartDirectory) {
  Loader l;  // the process's working directory is not the start directory
  l.dir.Write("rel.mot", Good(0x100) + kS9);
  l.Browse("rel.mot");
  l.Finish();
  EXPECT_EQ(std::vector<Message>{}, l.win.Messages());
  EXPECT_EQ(16u, l.st.m_nSlotLength[1]);
}

// Each shift moves the boundary of the first 1024-character window to
// another character of the record that straddles it, from its "S" through
// its CR and LF; trailing characters after a checksum are not looked at.
class LoadWindowBoundary : public ::testing::TestWithParam<int> {};

TEST_P(LoadWindowBoundary, EveryOffset) {
  const int shift = GetParam();
  for (bool header : {false, true}) {
    for (char type : {'1', '3'}) {
      Loader l;
      auto bytes = Pattern(4000, static_cast<unsigned>(shift));
      std::string first = Record(type, 0x1000, Slice(bytes, 0, 16 + 2 * (shift / 2)));
      if (shift % 2) first.insert(first.size() - 2, " ");
      std::string text = first;
      text += DataRecords(type, 0x1000 + static_cast<uint32_t>(16 + 2 * (shift / 2)),
                          Slice(bytes, 16 + 2 * (shift / 2), 4000 - 16 - 2 * (shift / 2)), 16);
      if (header) text = Record('0', 0, Pattern(static_cast<size_t>(shift), 2)) + text;
      l.BrowseAndFinish(text + kS9);
      ASSERT_EQ(std::vector<Message>{}, l.win.Messages()) << "shift " << shift << " header " << header;
      EXPECT_EQ(4000u, l.st.m_nSlotLength[1]) << "shift " << shift;
      EXPECT_EQ(bytes, l.Image(4000)) << "shift " << shift << " header " << header << " type " << type;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shifts, LoadWindowBoundary, ::testing::Range(0, 64));

// A header whose CR is the window's last character: its LF is still in the
// file, and the first data record must be read whole after it.
class LoadLongHeader : public ::testing::TestWithParam<int> {};

TEST_P(LoadLongHeader, FirstRecordIntact) {
  Loader l;
  auto bytes = Pattern(64, 11);
  std::string header = "S0" + std::string(static_cast<size_t>(GetParam()) - 2, '0') + "\r\n";
  l.BrowseAndFinish(header + DataRecords('3', 0x40, bytes, 32) + kS9);
  EXPECT_EQ(std::vector<Message>{}, l.win.Messages()) << "header length " << GetParam();
  EXPECT_EQ(bytes, l.Image(64));
}

// Header lines (without CR LF) of 1000 .. 1023 characters: the CR falls on
// the window's last character at 1023.
INSTANTIATE_TEST_SUITE_P(Lengths, LoadLongHeader, ::testing::Range(1000, 1024));

TEST(Load, SecondStartCancelsAndAThirdLoadsAfresh) {
  Loader l;
  int descriptors = srectest::OpenDescriptors();
  l.dir.Write("a.mot", DataRecords('1', 0, Pattern(16000, 1), 16) + kS9);
  auto other = Pattern(100, 2);
  l.dir.Write("b.mot", DataRecords('2', 0x30000, other, 16) + kS9);

  l.Browse("a.mot");
  l.win.FireNext();  // first batch
  EXPECT_EQ("読込み中：     2400 ﾊﾞｲﾄ", l.win.Text(Surface::kAddress));

  l.Browse("b.mot");  // cancels
  EXPECT_EQ(0, l.st.m_bLoading);
  EXPECT_EQ(0, l.st.m_bReady);
  l.Browse("b.mot");  // refused until the cancelled load is closed
  EXPECT_EQ(0, l.st.m_bLoading);

  EXPECT_EQ(1, l.Finish());
  EXPECT_TRUE(l.Idle());
  EXPECT_EQ("読込み中：     2400 ﾊﾞｲﾄ", l.win.Text(Surface::kAddress)) << "texts stay as they were";
  EXPECT_EQ(0u, l.st.m_nSlotLength[1]);
  EXPECT_EQ(descriptors, srectest::OpenDescriptors());

  l.Browse("b.mot");
  l.Finish();
  EXPECT_EQ(std::vector<Message>{}, l.win.Messages());
  EXPECT_EQ("ｱﾄﾞﾚｽ: 00030000 - 00030063", l.win.Text(Surface::kAddress));
  EXPECT_EQ(other, l.Image(100));
  EXPECT_EQ(descriptors, srectest::OpenDescriptors());
}

TEST(Load, NothingStartsDuringATransfer) {
  Loader l;
  l.dir.Write("a.mot", Good(0x100) + kS9);
  l.st.m_nState = STATE_WRITE_DATA;
  l.Browse("a.mot");
  EXPECT_FALSE(l.win.Armed(TIMER_LOAD));
  EXPECT_EQ(1, l.st.m_bReady);
  EXPECT_EQ(std::vector<Message>{}, l.win.Messages());
}

TEST(Load, StrayTickLeavesTheTransferLengthAlone) {
  Loader l;
  l.st.m_nLength = 4096;  // a transfer's byte count
  LoadBatch(l.st, l.link, l.win);
  EXPECT_EQ(4096u, l.st.m_nLength);
  EXPECT_FALSE(l.win.Armed(TIMER_LOAD));
}

TEST(Load, BatchKillsItsTimerFirst) {
  Loader l;
  l.dir.Write("a.mot", DataRecords('1', 0, Pattern(16000, 1), 16) + kS9);
  l.Browse("a.mot");
  l.win.SetTimer(TIMER_LOAD, 5000);  // re-armed by someone meanwhile
  LoadBatch(l.st, l.link, l.win);
  EXPECT_EQ(l.win.NowMs(), l.win.DueAt(TIMER_LOAD)) << "re-armed with 0 ms, not left at 5000";
}

}  // namespace
}  // namespace porten
