// The board model byte by byte: a table of exchanges for the protocol and
// every fault knob, and what the board keeps.
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "sim/board_model.h"
#include "sim/image_files.h"

namespace porten::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;
constexpr int kSlow = 4800, kFast = 38400;
constexpr int kReset = 0;  // a row at this rate presses the reset button

// The tool sends `in` at `rate`; the board answers `out` at the same rate.
struct X {
  int rate;
  Bytes in;
  Bytes out;
  Texts events = {};
  bool hangUp = false;
};
using Xs = std::vector<X>;
Xs operator+(Xs a, const Xs& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Reaction Feed(BoardModel& board, const Bytes& in, int rate = kSlow) {
  Reaction all;
  for (uint8_t b : in) {
    Reaction r = board.Receive(b, rate);
    EXPECT_EQ(r.replyRate, r.reply.empty() ? 0 : rate);
    all.reply.insert(all.reply.end(), r.reply.begin(), r.reply.end());
    all.events.insert(all.events.end(), r.events.begin(), r.events.end());
    all.hangUp = all.hangUp || r.hangUp;
  }
  return all;
}

void Play(BoardModel& board, const Xs& xs) {
  for (size_t i = 0; i < xs.size(); ++i) {
    SCOPED_TRACE("exchange " + std::to_string(i));
    Reaction r = xs[i].rate == kReset ? board.Reset() : Feed(board, xs[i].in, xs[i].rate);
    EXPECT_EQ(r.reply, xs[i].out);
    EXPECT_EQ(r.events, xs[i].events);
    EXPECT_EQ(r.hangUp, xs[i].hangUp);
  }
}

Bytes Block(Bytes head) {
  head.resize(128, 0xFF);
  return head;
}

// A 2-byte boot loader AB CD, then the image 11 22 33 at 0x1000.
const Xs kBoot = {{kSlow, {0x00}, {}},
                  {kSlow, {0x00, 0x00}, {0x00}, {"sync answered"}},
                  {kSlow, {0x55}, {0xAA}, {"handshake"}},
                  {kSlow, {0x00, 0x02}, {0x00, 0x02}, {"boot loader size 2"}},
                  {kSlow, {0xAB}, {0xAB}},
                  {kSlow, {0xCD}, {0xCD, 0xAA}, {"boot loader runs (2 bytes)"}}};
const Xs kToHeader = {{kFast, {'3'}, {0x00}, {"loader ready"}}, {kFast, {'D', 'D', 0x88}, {0x00, 0x00, 0x00}}};
const Bytes kHeader = {0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x80};
const Bytes kHeader256 = {0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00};
const Texts kHeaderEvent = {"header address 00001000 length 128"};
Xs Write(const std::string& memory) {
  return kToHeader + Xs{{kFast, kHeader, {0x11}, kHeaderEvent},
                        {kFast, Block({0x11, 0x22, 0x33}), {0x00},
                         {"write done: " + memory + " 00001000-0000107F (128 bytes)"}}};
}
const X kResetX = {kReset, {}, {}, {"reset"}};
const Xs kRun = {{kSlow, {'1'}, {}, {"run program"}}};

struct Case {
  const char* name;
  BoardKnobs knobs;
  Xs xs;
  Texts anomalies = {};
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Exchanges : public ::testing::TestWithParam<Case> {};

TEST_P(Exchanges, AnswerAsTheTableSays) {
  BoardModel board(GetParam().knobs);
  Play(board, GetParam().xs);
  EXPECT_EQ(board.Anomalies(), GetParam().anomalies);
}

INSTANTIATE_TEST_SUITE_P(
    Board, Exchanges,
    ::testing::Values(
        Case{"Download", {}, kBoot + Write("ROM") + kRun},
        Case{"RamTransferThenBootModeAgain", {.startInLoader = true},
             Xs{{kSlow, {'2'}, {}, {"RAM transfer"}}, kResetX, {kSlow, {'2'}, {}, {"RAM transfer"}}} +
                 Write("RAM") + kRun +
                 Xs{{kSlow, {0x00}, {}, {"boot mode again"}}, {kSlow, {0x00, 0x00}, {0x00}, {"sync answered"}}} +
                 Xs(kBoot.begin() + 2, kBoot.end()) + Write("ROM")},
        Case{"EmptyHeader", {},
             kBoot + kToHeader + Xs{{kFast, Bytes(8), {0x00}, {"header address 00000000 length 0"}}} + kRun},
        Case{"SyncAtOnce", {.sync = SyncAnswer::kAtOnce},
             {{kSlow, {0x00}, {0x00}, {"sync answered"}}, {kSlow, {'0'}, {}, {"sync marker 30"}},
              {kSlow, {0x00, 0x00, 0x00}, {0x00}, {"sync answered"}}, {kSlow, {0x55}, {0xAA}, {"handshake"}}}},
        // A tool that missed the first answer sends the pair: answered again.
        Case{"SyncAtOnceThenPair", {.sync = SyncAnswer::kAtOnce},
             {{kSlow, {0x00}, {0x00}, {"sync answered"}}, {kSlow, {0x00, 0x00}, {0x00}, {"sync answered"}},
              {kSlow, {0x55}, {0xAA}, {"handshake"}}}},
        Case{"SyncAfterTriple", {.sync = SyncAnswer::kAfterTriple},
             {{kSlow, {0x00, 0x00, 0x00}, {}}, {kSlow, {'3'}, {}, {"sync marker 33"}},
              {kSlow, {0x00, 0x00, 0x00}, {0x00}, {"sync answered"}}, {kSlow, {0x55}, {0xAA}, {"handshake"}},
              kResetX, {kSlow, {0x00, 0x00, 0x00}, {}}}},
        Case{"WrongEcho", {.wrongEchoAt = 1},
             Xs(kBoot.begin(), kBoot.end() - 1) +
                 Xs{{kSlow, {0xCD}, {0x32, 0xAA}, {"echo altered at byte 1", "boot loader runs (2 bytes)"}},
                    {kSlow, {0x00}, {}, {"boot mode again"}}}},
        Case{"ErrorAfterHeader", {.errorAfterBlock = 0},
             kBoot + kToHeader +
                 Xs{{kFast, {0x12, 0x34, 0x56, 0x78, 0x01, 0x02, 0x03, 0x80}, {0x60},
                     {"header address 12345678 length 16909184", "error 60 after header"}}} + kRun},
        Case{"ErrorAfterBlock", {.errorAfterBlock = 2},
             kBoot + kToHeader +
                 Xs{{kFast, {0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x01, 0x80}, {0x11},
                     {"header address 00001000 length 384"}},
                    {kFast, Block({}), {0x11}}, {kFast, Block({}), {0x60}, {"error 60 after block 2"}}} + kRun},
        Case{"ErrorInHandshake", {.errorInHandshake = true},
             kBoot + Xs{{kFast, {'3'}, {0x60, 0x00}, {"error 60 in handshake", "loader ready"}}}},
        Case{"Silent", {.silent = true}, {{kSlow, {0x00, 0x00, 0x00, '0', 0x00, 0x00, 0x00, 0x55}, {}}}},
        Case{"SyncNeverAnswered", {.syncNeverAnswered = true},
             {{kSlow, {0x00, 0x00, 0x00}, {}}, {kSlow, {'3'}, {}, {"sync marker 33"}}, {kSlow, {0, 0, 0}, {}}}},
        Case{"Burst", {.burstBytes = 1},
             kBoot + kToHeader + Xs{{kFast, kHeader, {0x5A, 0x11}, {kHeaderEvent[0], "burst 1 bytes"}}}},
        // Muted after two bytes; the count, and the sync, start again at the reset.
        Case{"MuteAfterTwoBytes", {.muteAfterBytesSent = 2},
             Xs(kBoot.begin(), kBoot.begin() + 3) +
                 Xs{{kSlow, {0x00}, {}}, kResetX, {kSlow, {0x00}, {}}, {kSlow, {0x00, 0x00}, {0x00}, {"sync answered"}},
                    {kSlow, {0x55}, {0xAA}, {"handshake"}}, {kSlow, {0x00}, {}}}},
        // The N-th byte is not taken; after it nothing is, not even a reset.
        Case{"HangUp", {.hangUpAfterBytes = 3},
             {{kSlow, {0x00, 0x00}, {}}, {kSlow, {0x00}, {}, {"hang-up after 3 bytes"}, true},
              {kSlow, {0x00, 0x55}, {}}, {kReset, {}, {}}}},
        // A byte at the wrong rate is garbage: it does not count as a sync byte.
        Case{"WrongRate", {},
             {{kFast, {0x00}, {}}, {kSlow, {0x00}, {}}, {kSlow, {0x00, 0x00}, {0x00}, {"sync answered"}},
              {kFast, {0x55}, {}},
              {kSlow, {0x55, 0x01, 0x02}, {0xAA, 0x01, 0x02}, {"handshake", "boot loader size 258"}}},
             {"byte 00 at 38400 bit/s in boot sync, expected 4800 bit/s",
              "byte 55 at 38400 bit/s in boot handshake, expected 4800 bit/s"}},
        // The tool's 0x22 answer and late polls belong to the handshake.
        Case{"ToleratedInHandshake", {},
             kBoot + Xs{{kFast, {0x22}, {}}, {kFast, {'3'}, {0x00}, {"loader ready"}},
                        {kFast, {0x22, '3', 'D'}, {0x00}}, {kFast, {0x22, '3', 'D'}, {0x00}},
                        {kFast, {0x22, '3', 0x88}, {0x00}}, {kFast, kHeader, {0x11}, kHeaderEvent}}},
        Case{"OutOfProtocol", {},
             Xs{{kSlow, {0x07, 0x00, 0x00, 0x00}, {0x00}, {"sync answered"}},
                {kSlow, {0x12, 0x55}, {0xAA}, {"handshake"}},
                {kSlow, {0x00, 0x00, 0xAB}, {0x00, 0x00, 0xAB, 0xAA},
                 {"boot loader size 0", "boot loader runs (0 bytes)"}},
                {kSlow, {'D'}, {}},
                {kFast, {'D', '3', 0x88, 'D', 'D', 'D', 0x88}, {0x00, 0x00, 0x00, 0x00}, {"loader ready"}},
                {kFast, {0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x40}, {0x11},
                 {"header address 00001000 length 64"}},
                {kFast, Block({}), {0x00}, {"write done: ROM 00001000-0000103F (64 bytes)"}},
                {kSlow, {'X'}, {}}},
             {"byte 07 in boot sync", "byte 12 in boot handshake, expected 55", "boot loader size 0",
              "byte 44 at 4800 bit/s in loader poll, expected 38400 bit/s", "byte 44 in loader poll, expected 33",
              "byte 88 in loader handshake, expected 44", "byte 44 in loader handshake, expected 88",
              "header length 64 is not a multiple of 128", "byte 58 in loader idle, expected 32, 31 or a sync"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A boot upload and a write broken off by resets, then a ROM and a RAM write.
TEST(BoardModel, KeepsTheMemoriesTheCountsAndTheLog) {
  BoardModel board;
  const Xs header256 = {{kFast, kHeader256, {0x11}, {"header address 00001000 length 256"}}};
  Play(board, Xs(kBoot.begin(), kBoot.end() - 1) + Xs{kResetX} + kBoot + kToHeader + header256 +
                  Xs{{kFast, {0xEE}, {}}, kResetX} + kBoot + kToHeader + header256 +
                  Xs{{kFast, Block({0x11, 0x22}), {0x11}},
                     {kFast, Block({0x33}), {0x00}, {"write done: ROM 00001000-000010FF (256 bytes)"}},
                     {kSlow, {'2'}, {}, {"RAM transfer"}}} +
                  Write("RAM") + kRun + Xs{kResetX, {kSlow, {'X'}, {}}});
  EXPECT_EQ(board.Rom().Range(0x0FFF, 4), (Bytes{0xFF, 0x11, 0x22, 0xFF}));
  EXPECT_EQ(board.Rom().Range(0x1080, 2), (Bytes{0x33, 0xFF}));
  EXPECT_EQ(board.Rom().WrittenBytes(), 256u);
  EXPECT_EQ(board.Ram().Range(0x1000, 4), (Bytes{0x11, 0x22, 0x33, 0xFF}));
  EXPECT_EQ(board.BootLoader(), (Bytes{0xAB, 0xCD}));
  const BoardCounters& c = board.Counters();  // bytes by the rows above
  EXPECT_EQ((std::vector<uint64_t>{c.bytesFromTool, c.bytesToTool, c.writesDone, c.ramTransfers, c.runs}),
            (std::vector<uint64_t>{7 + 20 + 1 + 20 + 256 + 1 + 140 + 1 + 1, 5 + 12 + 12 + 2 + 6, 2, 1, 1}));
  EXPECT_EQ(board.Events().back(), "reset");
  EXPECT_EQ(board.Anomalies(), Texts{"byte 58 in boot sync"});
  board.ClearLog();
  EXPECT_EQ(board.Events().size() + board.Anomalies().size(), 0u);
}

// On a pty the rate is sampled before and after a byte: either may be the right one.
TEST(BoardModel, AByteCountsAsSentAtEitherRateSample) {
  BoardModel board({.startInLoader = true});
  EXPECT_EQ(board.Receive(0x00, kSlow, kFast).events, Texts{"boot mode again"});
  board.Reset();
  EXPECT_EQ(board.Receive(0x00, kFast, kSlow).events, Texts{"boot mode again"});
  EXPECT_EQ(board.Receive(0x00, kSlow, kFast).reply, Bytes{});
  EXPECT_EQ(board.Receive(0x00, kFast, kSlow).reply, Bytes{0x00});
  EXPECT_EQ(board.Anomalies(), Texts{});
}

TEST(BoardModel, NoiseComesOncePerBootBeforeTheSyncAnswerOrAtTheFirstByte) {
  BoardModel before({.noiseBytes = 5, .seed = 2});
  BoardModel first({.noiseBytes = 5, .noiseAt = NoiseAt::kFirstByte, .seed = 2});
  Bytes noise = Feed(first, {0x00}).reply;  // the same seed, the same noise
  ASSERT_EQ(noise.size(), 5u);
  Play(first, {{kSlow, {0x00, 0x00}, {0x00}, {"sync answered"}}, {kSlow, {0x55}, {0xAA}, {"handshake"}}, kResetX});
  EXPECT_EQ(Feed(first, {0x00}).events, Texts{"noise 5 bytes"});  // again after a reset
  noise.push_back(0x00);
  Play(before, Xs{{kSlow, {0x00}, {}}, {kSlow, {0x00, 0x00}, noise, {"noise 5 bytes", "sync answered"}}} +
                   Xs(kBoot.begin() + 2, kBoot.end()) + Write("ROM"));
  EXPECT_EQ(Feed(before, {0x00, 0x00, 0x00}).reply.size(), 6u);  // again at the next boot
}

TEST(BoardModel, ClearFaultsLetsTheNextDownloadThrough) {
  BoardModel board({.silent = true, .syncNeverAnswered = true, .wrongEchoAt = 0, .errorAfterBlock = 0,
                    .noiseBytes = 3, .burstBytes = 2, .muteAfterBytesSent = 0, .stallAfterHeader = true,
                    .errorInHandshake = true});
  board.ClearFaults();
  Play(board, kBoot + Write("ROM"));
  BoardModel stalling({.stallAfterHeader = true});
  Play(stalling, kBoot + kToHeader + Xs{{kFast, kHeader, {0x11}, {kHeaderEvent[0], "stalled"}}});
  EXPECT_TRUE(stalling.Stalled());
  stalling.ClearFaults();
  EXPECT_FALSE(stalling.Stalled());
}

TEST(BoardMemory, MergesWrittenRangesAndGoesThroughFiles) {
  SparseMemory m;
  const Bytes data(5000, 0x42), two = {1, 2};
  m.Write(0x0FFE, data.data(), data.size());  // across pages
  m.Write(0x0FFC, two.data(), 2);             // touching the front: merged
  m.Write(0x2386, two.data(), 1);             // touching the end: merged
  m.Write(0x9000, two.data(), 1);
  EXPECT_EQ(m.WrittenRanges(), (std::vector<std::pair<uint32_t, uint32_t>>{{0x0FFC, 0x2386}, {0x9000, 0x9000}}));
  const std::string base = ::testing::TempDir() + "board-" + std::to_string(::getpid());
  std::string error;
  SparseMemory back;
  ASSERT_TRUE(WriteMemoryFile(base + ".mot", m, error) && ReadSRecordFile(base + ".mot", back, error)) << error;
  EXPECT_EQ(back.Range(0x0FFB, 0x8007), m.Range(0x0FFB, 0x8007));
  ASSERT_TRUE(WriteMemoryFile(base + ".bin", m, error)) << error;
  EXPECT_EQ(std::filesystem::file_size(base + ".bin"), 0x9000u - 0x0FFC + 1);
  EXPECT_FALSE(WriteMemoryFile(base + ".hex", m, error));
  EXPECT_EQ(error, base + ".hex: unknown file type (use .bin, .mot or .srec)");
  std::filesystem::remove(base + ".mot");
  std::filesystem::remove(base + ".bin");
}

}  // namespace
}  // namespace porten::sim
