// The board model fed whole downloads: one row per fault knob and sync
// variant, and what the board keeps (memory, counts, the log).
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <set>

#include <gtest/gtest.h>

#include "sim/board_model.h"
#include "sim/image_files.h"

namespace porten::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;
using Reply = std::vector<int>;
constexpr int kSlow = 4800, kFast = 38400, kReset = 0, kAny = -1;  // kAny: a noise byte

template <typename T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Step {
  int rate;  // kReset presses the reset button
  Bytes in;
};
Bytes Block(uint8_t first) {
  Bytes b(128, 0xFF);
  b[0] = first;
  return b;
}
const Step kUpload = {kSlow, {0x55, 0x00, 0x02, 0xAB, 0xCD}}, kLoader = {kFast, {'3', 'D', 'D', 0x88}};

// The tool's download: sync, the boot loader AB CD, two blocks at 0x1000, run;
// then a fresh sync while the loader runs, and one after the reset button.
std::vector<Step> Script(const Bytes& sync = {0, 0, 0}) {
  return {{kSlow, sync},  kUpload,       kLoader,     {kFast, {0, 0, 0x10, 0, 0, 0, 1, 0}}, {kFast, Block(1) + Block(2)},
          {kSlow, {'1'}}, {kSlow, sync}, {kReset, {}}, {kSlow, sync}};
}
const Reply kBoot = {0x00, 0xAA, 0x00, 0x02, 0xAB, 0xCD, 0xAA, 0, 0, 0, 0};  // to the loader's last handshake byte
const Reply kNormal = kBoot + Reply{0x11, 0x11, 0x00, 0x00, 0x00};

// The replies and the events, with "(line gone)" where a reaction hung up.
std::pair<Reply, Texts> Play(BoardModel& board, const std::vector<Step>& steps) {
  std::pair<Reply, Texts> seen;
  for (const Step& s : steps) {
    std::vector<Reaction> rs;
    if (s.rate == kReset) rs.push_back(board.Reset());
    for (uint8_t b : s.in) rs.push_back(board.Receive(b, s.rate));
    for (const Reaction& r : rs) {
      EXPECT_EQ(r.replyRate, r.reply.empty() ? 0 : s.rate);
      seen.first.insert(seen.first.end(), r.reply.begin(), r.reply.end());
      seen.second.insert(seen.second.end(), r.events.begin(), r.events.end());
      if (r.hangUp) seen.second.push_back("(line gone)");
    }
  }
  return seen;
}

struct Case {
  const char* name;
  BoardKnobs knobs;
  Reply reply;
  Texts events = {};  // those a download without faults does not have
  size_t rom = 256;   // bytes written
  std::vector<Step> steps = Script();
  std::optional<Texts> anomalies = Texts{};
};
const Bytes kMarked = {0, 0, 0, '3', 0, 0, 0};
const Case kCases[] = {
    {"Download", {}, kNormal},
    {"SyncAtOnce", {.sync = SyncAnswer::kAtOnce}, Reply{0} + kBoot + Reply{0x11, 0x11, 0, 0, 0, 0, 0},
     {"sync marker 30", "sync marker 30", "sync marker 30"}, 256, Script({0, '0', 0, 0, 0})},
    // A tool that missed the first answer sends the pair: answered again.
    {"SyncAtOnceThenPair", {.sync = SyncAnswer::kAtOnce}, Reply{0} + kBoot + Reply{0x11, 0x11, 0, 0, 0, 0, 0}},
    {"SyncAfterTriple", {.sync = SyncAnswer::kAfterTriple}, kNormal,
     {"sync marker 33", "sync marker 33", "sync marker 33"}, 256, Script(kMarked)},
    {"Silent", {.silent = true}, {}, {}, 0},
    {"SyncNeverAnswered", {.syncNeverAnswered = true}, {}, {"sync marker 33", "sync marker 33", "sync marker 33"}, 0,
     Script(kMarked), std::nullopt},
    {"WrongEcho", {.wrongEchoAt = 1}, Reply{0, 0xAA, 0, 2, 0xAB, 0x32, 0xAA, 0, 0, 0, 0, 0x11, 0x11, 0, 0, 0},
     {"echo altered at byte 1"}},
    {"ErrorAfterHeader", {.errorAfterBlock = 0}, kBoot + Reply{0x60, 0, 0}, {"error 60 after header"}, 0, Script(),
     std::nullopt},
    {"ErrorAfterBlock", {.errorAfterBlock = 1}, kBoot + Reply{0x11, 0x60, 0, 0}, {"error 60 after block 1"}, 128,
     Script(), std::nullopt},
    // The N-th byte is not taken; after it nothing is, not even a reset.
    {"HangUp", {.hangUpAfterBytes = 3}, {}, {"hang-up after 3 bytes", "(line gone)"}, 0},
    {"NoiseBeforeEverySyncAnswer", {.noiseBytes = 2, .seed = 7},
     Reply{kAny, kAny} + kBoot + Reply{0x11, 0x11, 0, kAny, kAny, 0, kAny, kAny, 0},
     {"noise 2 bytes", "noise 2 bytes", "noise 2 bytes"}},
    {"NoiseAtTheFirstByteAfterReset", {.noiseBytes = 2, .noiseAt = NoiseAt::kFirstByte},
     Reply{kAny, kAny} + kBoot + Reply{0x11, 0x11, 0, 0, kAny, kAny, 0}, {"noise 2 bytes", "noise 2 bytes"}},
    {"Burst", {.burstBytes = 2, .burstValue = 0x33}, kBoot + Reply{0x33, 0x33, 0x11, 0x11, 0, 0, 0}, {"burst 2 bytes"}},
    // Muted after two bytes; the count starts again at the reset.
    {"MuteAfterTwoBytes", {.muteAfterBytesSent = 2}, {0x00, 0xAA, 0x00}},
    {"StallAfterHeader", {.stallAfterHeader = true}, kNormal, {"stalled"}},
    {"ErrorInHandshake", {.errorInHandshake = true},
     Reply{0, 0xAA, 0, 2, 0xAB, 0xCD, 0xAA, 0x60, 0, 0, 0, 0, 0x11, 0x11, 0, 0, 0}, {"error 60 in handshake"}},
    // Garbage and wrong rates are logged; the tool's 0x22 and late "3"s belong to the handshake.
    {"OutOfProtocol", {}, Reply{0x00, 0xAA, 0x00, 0x00, 0xAB, 0xAA, 0, 0, 0, 0, 0x11, 0x00},
     {"boot loader size 0", "boot loader runs (0 bytes)", "header address 00001000 length 64",
      "write done: ROM 00001000-0000103F (64 bytes)"},
     128,
     {{kFast, {0x00}}, {kSlow, {0x07, 0x00, 0x00, 0x00}}, {kSlow, {0x12, 0x55}}, {kSlow, {0x00, 0x00, 0xAB}},
      {kSlow, {'D'}}, {kFast, {0x22, 'D', '3', 0x22, 0x88, 'D', '3', 'D', 'D', 0x88}},
      {kFast, Bytes{0, 0, 0x10, 0, 0, 0, 0, 0x40} + Block(0)}, {kSlow, {'X'}}},
     Texts{"byte 00 at 38400 bit/s in boot sync, expected 4800 bit/s", "byte 07 in boot sync",
           "byte 12 in boot handshake, expected 55", "boot loader size 0",
           "byte 44 at 4800 bit/s in loader poll, expected 38400 bit/s", "byte 44 in loader poll, expected 33",
           "byte 88 in loader handshake, expected 44", "byte 44 in loader handshake, expected 88",
           "header length 64 is not a multiple of 128", "byte 58 in loader idle, expected 32, 31 or a sync"}}};

// ... and once the faults are cleared the same steps go as on a fresh board.
TEST(BoardModel, EachKnobChangesTheAnswersAsDocumented) {
  const std::set<std::string> usual = {
      "sync answered", "handshake", "boot loader size 2", "boot loader runs (2 bytes)", "loader ready",
      "header address 00001000 length 256", "write done: ROM 00001000-000010FF (256 bytes)", "run program",
      "boot mode again", "reset"};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    BoardModel board(c.knobs);
    auto [reply, events] = Play(board, c.steps);
    for (size_t i = 0; i < reply.size() && i < c.reply.size(); ++i) reply[i] = c.reply[i] == kAny ? kAny : reply[i];
    EXPECT_EQ(reply, c.reply);
    std::erase_if(events, [&](const std::string& e) { return usual.count(e) > 0; });
    EXPECT_EQ(events, c.events);
    EXPECT_EQ(board.Rom().WrittenBytes(), c.rom);
    EXPECT_EQ(board.Anomalies(), c.anomalies.value_or(board.Anomalies()));
    EXPECT_EQ(board.Stalled(), c.knobs.stallAfterHeader);
    board.ClearFaults();
    board.Reset();
    BoardModel fresh({.sync = c.knobs.sync});
    const Reply want = board.Gone() ? Reply{} : Play(fresh, c.steps).first;  // a hang-up stays
    EXPECT_EQ(Play(board, c.steps).first, want);
    EXPECT_FALSE(board.Stalled());
  }
}

// An upload and a write broken off by resets, then a ROM write across a page and a RAM write.
TEST(BoardModel, WritesTheBlocksAndKeepsTheCountsAndTheLog) {
  BoardModel board;
  const Step sync = {kSlow, {0, 0, 0}}, reset = {kReset, {}}, header = {kFast, {0, 0, 0x0F, 0xC0, 0, 0, 1, 0}};
  Play(board, {{kSlow, {0, 0, 0, 0x55, 0, 2, 0xAB}}, reset, sync, kUpload, kLoader, header, {kFast, {0xEE}}, reset,
               sync, kUpload, kLoader, header, {kFast, Block(1) + Block(2)}, {kSlow, {'2'}}, kLoader,
               {kFast, {0, 0, 0x10, 0, 0, 0, 0, 0x80}}, {kFast, Block(3)}, {kSlow, {'1'}}, reset, {kSlow, {'X'}}});
  EXPECT_EQ(board.Rom().Range(0x0FBF, 3), (Bytes{0xFF, 1, 0xFF}));
  EXPECT_EQ(board.Rom().Range(0x103F, 3), (Bytes{0xFF, 2, 0xFF}));
  EXPECT_EQ(board.Rom().WrittenRanges(), (std::vector<std::pair<uint32_t, uint32_t>>{{0x0FC0, 0x10BF}}));
  EXPECT_EQ(board.Ram().Range(0x1000, 2), (Bytes{3, 0xFF}));
  EXPECT_EQ(board.Ram().WrittenBytes(), 128u);
  EXPECT_EQ(board.BootLoader(), (Bytes{0xAB, 0xCD}));
  const BoardCounters& c = board.Counters();
  EXPECT_EQ((std::vector<uint64_t>{c.bytesFromTool, c.bytesToTool, c.writesDone, c.ramTransfers, c.runs}),
            (std::vector<uint64_t>{447, 37, 2, 1, 1}));
  std::string log;
  for (const std::string& e : board.Events()) log += e + "; ";
  EXPECT_EQ(log, "sync answered; handshake; boot loader size 2; reset; sync answered; handshake; boot loader size 2; "
                 "boot loader runs (2 bytes); loader ready; header address 00000FC0 length 256; reset; sync answered; "
                 "handshake; boot loader size 2; boot loader runs (2 bytes); loader ready; header address 00000FC0 "
                 "length 256; write done: ROM 00000FC0-000010BF (256 bytes); RAM transfer; loader ready; header "
                 "address 00001000 length 128; write done: RAM 00001000-0000107F (128 bytes); run program; reset; ");
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

TEST(BoardMemory, MergesWrittenRangesAndGoesThroughFiles) {
  SparseMemory m;
  const Bytes data(5000, 0x42);
  m.Write(0x0FFE, data.data(), data.size());  // across pages
  m.Write(0x0FFC, data.data(), 2);            // touching the front: merged
  m.Write(0x9000, data.data(), 1);
  EXPECT_EQ(m.WrittenRanges(), (std::vector<std::pair<uint32_t, uint32_t>>{{0x0FFC, 0x2385}, {0x9000, 0x9000}}));
  const std::string base = ::testing::TempDir() + "board-" + std::to_string(::getpid());
  std::string error;
  SparseMemory back;
  ASSERT_TRUE(WriteMemoryFile(base + ".mot", m, error) && ReadSRecordFile(base + ".mot", back, error)) << error;
  EXPECT_EQ(back.Range(0x0FFB, 0x8007), m.Range(0x0FFB, 0x8007));
  EXPECT_TRUE(WriteMemoryFile(base + ".bin", m, error) && std::filesystem::file_size(base + ".bin") == 0x9000 - 0x0FFC + 1);
  EXPECT_FALSE(WriteMemoryFile(base + ".hex", m, error));
  EXPECT_EQ(error, base + ".hex: unknown file type (use .bin, .mot or .srec)");
  std::filesystem::remove(base + ".mot");
  std::filesystem::remove(base + ".bin");
}

}  // namespace
}  // namespace porten::sim
