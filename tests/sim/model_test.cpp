// The board model fed whole downloads: one row per fault knob and sync
// variant that the end-to-end tests do not already pin through the tool's
// outcome (silence, a wrong echo, an error after the header, a burst, a mute),
// and what the board keeps (memory, counts, the log).
#include <algorithm>
#include <tuple>

#include <gtest/gtest.h>

#include "sim/board_model.h"

namespace porten::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;
using Reply = std::vector<int>;
constexpr int kSlow = 4800, kFast = 38400, kReset = 0, kAny = -1;  // kAny: a noise byte

template <typename T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) { return a.insert(a.end(), b.begin(), b.end()), a; }

// rate kReset presses the reset button; on a pty the rate is sampled before
// and after a byte, so `before` (when set) may be the right one as well.
struct Step { int rate; Bytes in; int before = 0; };
using Steps = std::vector<Step>;
const Bytes kFill(127, 0xFF);  // a block is its first byte and these
const Step kUpload = {kSlow, {0x55, 0x00, 0x02, 0xAB, 0xCD}}, kLoader = {kFast, {'3', 'D', 'D', 0x88}};

// The tool's download: sync, the boot loader AB CD, two ROM blocks at 0x0FC0
// (across a page), one RAM block at 0x1000, run; then a fresh sync while the
// loader runs, and one after a reset, each with the other rate in one sample.
Steps Script(const Bytes& sync = {0, 0, 0}) {
  return {{kSlow, sync},  kUpload, kLoader, {kFast, Bytes{0, 0, 0x0F, 0xC0, 0, 0, 1, 0, 1} + kFill + Bytes{2} + kFill},
          {kSlow, {'2'}}, kLoader, {kFast, Bytes{0, 0, 0x10, 0, 0, 0, 0, 0x80, 3} + kFill},
          {kSlow, {'1'}}, {kSlow, sync, kFast}, {kReset, {}}, {kFast, sync, kSlow}};
}
const Reply kReady = {0, 0, 0, 0}, kBoot = Reply{0x00, 0xAA, 0x00, 0x02, 0xAB, 0xCD, 0xAA} + kReady;
const Reply kWrites = {0x11, 0x11, 0, 0, 0, 0, 0, 0x11, 0}, kNormal = kBoot + kWrites + Reply{0, 0};

// The replies and the events, with "(line gone)" where a reaction hung up.
std::pair<Reply, Texts> Play(BoardModel& board, const Steps& steps) {
  std::pair<Reply, Texts> seen;
  auto take = [&](const Reaction& r, int rate, int before) {
    EXPECT_TRUE(r.reply.empty() ? r.replyRate == 0 : r.replyRate == rate || r.replyRate == before);
    seen.first.insert(seen.first.end(), r.reply.begin(), r.reply.end());
    seen.second = std::move(seen.second) + r.events + (r.hangUp ? Texts{"(line gone)"} : Texts{});
  };
  for (const Step& s : steps) {
    if (s.rate == kReset) take(board.Reset(), 0, 0);
    for (uint8_t b : s.in) take(board.Receive(b, s.before ? s.before : s.rate, s.rate), s.rate, s.before);
  }
  return seen;
}

// events: those a download without faults does not have; anomalies -1: not counted.
struct Case {
  const char* name; BoardKnobs knobs; Reply reply; Texts events = {}; int anomalies = 0; Steps steps = Script();
};
const Bytes kMarked = {0, 0, 0, '3', 0, 0, 0};
const Reply kAtOnce = Reply{0} + kBoot + kWrites + Reply{0, 0, 0, 0};  // each sync answered twice
const Case kCases[] = {
    {"Download", {}, kNormal},
    {"SyncAtOnce", {.sync = SyncAnswer::kAtOnce}, kAtOnce, Texts(3, "sync marker 30"), 0, Script({0, '0', 0, 0, 0})},
    // A tool that missed the first answer sends the pair: answered again.
    {"SyncAtOnceThenPair", {.sync = SyncAnswer::kAtOnce}, kAtOnce},
    // Placed after the tool's first 00, the board answers the next sync's 00 and
    // must take the "0" that follows as a new sync; left on a fixture, it
    // answers every further sync, each begun with 00.
    {"PlacedInTheMiddleOfASync", {}, kAtOnce, Texts{"sync again", "sync marker 30"} + Texts{"sync again", "sync marker 30"} + Texts{"sync again", "sync marker 30"}, 0,
     Script({0, 0, 0, '0', 0, 0, 0})},
    {"SyncedAgainOnAFixture", {}, kAtOnce, Texts(3, "sync again"), 0, Script({0, 0, 0, 0, 0, 0})},
    {"SyncAfterTriple", {.sync = SyncAnswer::kAfterTriple}, kNormal, Texts(3, "sync marker 33"), 0, Script(kMarked)},
    {"SyncNeverAnswered", {.syncNeverAnswered = true}, {}, Texts(3, "sync marker 33"), -1, Script(kMarked)},
    {"ErrorAfterBlock", {.errorAfterBlock = 1}, kBoot + Reply{0x11, 0x60} + kReady + Reply{0x11, 0x60, 0, 0},
     Texts(2, "error 60 after block 1"), -1},
    // The N-th byte is not taken; after it nothing is, not even a reset.
    {"HangUp", {.hangUpAfterBytes = 3}, {}, {"hang-up after 3 bytes", "(line gone)"}},
    {"NoiseBeforeEverySyncAnswer", {.noiseBytes = 2, .seed = 7},
     Reply{kAny, kAny} + kBoot + kWrites + Reply{kAny, kAny, 0, kAny, kAny, 0}, Texts(3, "noise 2 bytes")},
    {"NoiseAtTheFirstByteAfterReset", {.noiseBytes = 2, .noiseAt = NoiseAt::kFirstByte},
     Reply{kAny, kAny} + kBoot + kWrites + Reply{0, kAny, kAny, 0}, Texts(2, "noise 2 bytes")},
    {"StallAfterHeader", {.stallAfterHeader = true}, kNormal, Texts(2, "stalled")},
    {"ErrorInHandshake", {.errorInHandshake = true},
     Reply{0, 0xAA, 0, 2, 0xAB, 0xCD, 0xAA, 0x60} + kReady + Reply{0x11, 0x11, 0, 0x60} + kReady + Reply{0x11, 0, 0, 0},
     Texts(2, "error 60 in handshake")},
    // Garbage and wrong rates are logged; the tool's 0x22 and late "3"s belong
    // to the handshake; an empty write is answered at once; every header byte counts.
    {"OutOfProtocol", {}, Reply{0, 0xAA, 0, 0, 0xAB, 0xAA} + kReady + Reply{0x11, 0} + kReady + Reply{0} + kReady +
     Reply{0x11},
     {"boot loader size 0", "boot loader runs (0 bytes)", "header address 00001000 length 64",
      "write done: ROM 00001000-0000103F (64 bytes)", "header address 00000000 length 0",
      "header address 12345678 length 16909184"}, 10,
     {{kFast, {0x00}}, {kSlow, {0x07, 0x00, 0x00, 0x00}}, {kSlow, {0x12, 0x55}}, {kSlow, {0x00, 0x00, 0xAB}},
      {kSlow, {'D'}}, {kFast, {0x22, 'D', '3', 0x22, 0x88, 'D', '3', 'D', 'D', 0x88}},
      {kFast, Bytes{0, 0, 0x10, 0, 0, 0, 0, 0x40, 0} + kFill}, {kSlow, {'X', '2'}}, {kFast, kLoader.in + Bytes(8)},
      {kSlow, {'2'}}, {kFast, kLoader.in + Bytes{0x12, 0x34, 0x56, 0x78, 0x01, 0x02, 0x03, 0x80}}}}};

// ... and once the faults are cleared the same steps go as on a fresh board.
TEST(BoardModel, EachKnobChangesTheAnswersAsDocumented) {
  BoardModel clean;
  const Texts usual = Play(clean, Script()).second;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    BoardModel board(c.knobs), fresh({.sync = c.knobs.sync});
    auto [reply, events] = Play(board, c.steps);
    for (size_t i = 0; i < reply.size() && i < c.reply.size(); ++i) reply[i] = c.reply[i] == kAny ? kAny : reply[i];
    std::erase_if(events, [&](const std::string& e) { return std::ranges::count(usual, e) > 0; });
    const int anomalies = c.anomalies < 0 ? -1 : int(board.Anomalies().size());
    EXPECT_EQ(std::tuple(reply, events, anomalies, board.Stalled()),
              std::tuple(c.reply, c.events, c.anomalies, c.knobs.stallAfterHeader));
    board.ClearFaults();
    board.Reset();
    const Reply want = board.Gone() ? Reply{} : Play(fresh, c.steps).first;  // a hang-up stays
    EXPECT_EQ(std::pair(Play(board, c.steps).first, board.Stalled()), std::pair(want, false));
  }
}

TEST(BoardModel, WritesTheBlocksAndKeepsTheCountsAndTheLog) {
  BoardModel board;
  Play(board, Script() + Steps{{kFast, {'X'}}});
  // ROM around both ends of the write, RAM at its start, the loader.
  EXPECT_EQ(board.Rom().Range(0x0FBF, 3) + board.Rom().Range(0x103F, 3) + board.Ram().Range(0x1000, 2) +
                board.BootLoader(), (Bytes{0xFF, 1, 0xFF, 0xFF, 2, 0xFF, 3, 0xFF, 0xAB, 0xCD}));
  EXPECT_EQ(board.Rom().WrittenRanges(), (std::vector<std::pair<uint32_t, uint32_t>>{{0x0FC0, 0x10BF}}));
  const BoardCounters& c = board.Counters();
  EXPECT_EQ((std::vector<uint64_t>{c.bytesFromTool, c.bytesToTool, c.writesDone, c.ramTransfers, c.runs}),
            (std::vector<uint64_t>{425, kNormal.size(), 2, 1, 1}));
  EXPECT_EQ(board.Ram().WrittenBytes(), 128u);
  std::string log;
  for (const std::string& e : board.Events()) log += e + "; ";
  EXPECT_EQ(log, "sync answered; handshake; boot loader size 2; boot loader runs (2 bytes); loader ready; header "
                 "address 00000FC0 length 256; write done: ROM 00000FC0-000010BF (256 bytes); RAM transfer; loader "
                 "ready; header address 00001000 length 128; write done: RAM 00001000-0000107F (128 bytes); run "
                 "program; boot mode again; sync answered; reset; sync answered; ");
  EXPECT_EQ(board.Anomalies(), Texts{"byte 58 at 38400 bit/s in boot handshake, expected 4800 bit/s"});
  board.ClearLog();
  EXPECT_EQ(board.Events().size() + board.Anomalies().size(), 0u);
}

}  // namespace
}  // namespace porten::sim
