// The download machine and its runner. The byte tables of both protocols
// are rows (an event in; the bytes and reopens out, the phase after) that one
// replay harness runs against the whole session on a scripted port with a
// manual clock: whole, a byte at a time, and with noise where the state must
// ignore it. The machine on its own (plain calls, no thread, no port, no
// clock; the port steps it asks for completed by the test) answers a table of
// single reactions and random programs of events. The session also loads
// real files and runs its link thread against a line that stalls.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/overloaded.h"
#include "core/texts.h"
#include "protocol/download_machine.h"
#include "protocol/download_session.h"
#include "support/fakes.h"
#include "support/image_writer.h"

namespace porten {
namespace {

using namespace testing;

using Bytes = std::vector<uint8_t>;

struct In {
  enum Kind { kRx, kTimer, kCommand } kind;
  Bytes rx;
  int timer = 0;
  Command command = Command::kWrite;
};
inline In Rx(Bytes b) { return {In::kRx, std::move(b)}; }
inline In Timer(int id) { return {In::kTimer, {}, id}; }
inline In Cmd(Command c) { return {In::kCommand, {}, 0, c}; }

using enum Phase;
using enum Outcome;

struct Row {
  In in;
  const char* out;  // wire bytes in hex ("FF*125" for a run), "@RATE" a reopen
  Phase phase;
  const char* status = nullptr;  // the status line after, when it matters
};

// Hex of bytes; a run of eight or more equal bytes reads "FF*125".
inline std::string Hex(const Bytes& bytes) {
  std::string out;
  for (size_t i = 0, run = 1; i < bytes.size(); i += run, run = 1) {
    while (i + run < bytes.size() && bytes[i + run] == bytes[i]) ++run;
    if (run < 8) run = 1;
    char token[32];
    std::snprintf(token, sizeof token, run > 1 ? "%s%02X*%zu" : "%s%02X", i ? " " : "", bytes[i], run);
    out += token;
  }
  return out;
}

inline void Append(std::string& transcript, const std::string& token) {
  if (!token.empty()) transcript += (transcript.empty() ? "" : " ") + token;
}

// A 2-byte boot loader AB CD at 0x0000F000 and the image 11 22 33 at 0x1000.
const Bytes kBoot = {0xAB, 0xCD}, kImage = {0x11, 0x22, 0x33};
constexpr uint32_t kBootBase = 0x0000F000, kImageBase = 0x1000;

// A normal download, the target silent after the first 0x00.
inline const std::vector<Row> kNormalDownload = {
    {Cmd(Command::kWrite), "00", kSync},
    {Timer(TIMER_BOOT_SYNC), "00 00", kBootHandshake},
    {Rx({0x00, 0xAA, 0x00, 0x02, 0xAB}), "55 00 02 AB CD", kBootUpload, "Boot Load: 0/2 (0000F000)"},
    {Rx({0xCD}), "", kBootWaitStart, "Boot Load: 1/2 (0000F000)"},
    {Rx({0xAA}), "@38400", kWritePoll},
    {Timer(TIMER_WRITE_POLL), "33", kWritePoll},
    {Rx({0x00, 0x00, 0x00, 0x00}), "44 44 88 00 00 10 00 00 00 00 80", kWriteData},
    {Rx({0x11}), "11 22 33 FF*125", kWriteFinish, "Writing: 3/3 (00001000)"},
    {Rx({0x00}), "@4800", kIdle, "書込み終了"},
};

// The same image by RAM transfer to a running loader, then "実行".
inline const std::vector<Row> kRamTransfer = {
    {Cmd(Command::kRamTransfer), "", kIdle},
    {Cmd(Command::kWrite), "32 @38400", kWritePoll},
    {Timer(TIMER_WRITE_POLL), "33", kWritePoll},
    {Timer(TIMER_WRITE_POLL), "33", kWritePoll},
    {Rx({0x60, 0x00, 0x00, 0x00, 0x00}), "22 44 44 88 00 00 10 00 00 00 00 80", kWriteData},
    {Rx({0x11}), "11 22 33 FF*125", kWriteFinish},
    {Rx({0x00}), "@4800", kIdle, "書込み終了"},
    {Cmd(Command::kExecute), "31", kIdle, "プログラム　実行中"},
};

enum class Replay { kWhole, kByteByByte, kNoise };
const char* const kReplayNames[] = {"Whole", "ByteByByte", "Noise"};

// Phases in which 0x5A is ignored, so noise there must change nothing.
inline bool IgnoresNoise(Phase p) { return p == kIdle || p == kBootHandshake || IsWritePhase(p); }

// d feeds the row's event (rx: in one read, or one read per byte) and
// returns the transcript of what went out; the replay checks the rest.
template <typename Driver>
void ReplayRows(Driver& d, const std::vector<Row>& rows, Replay how) {
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    In in = row.in;
    if (how == Replay::kNoise && in.kind == In::kRx && IgnoresNoise(d.phase())) {
      in.rx.insert(in.rx.begin(), 0x5A);
    }
    EXPECT_EQ(row.out, d.Feed(in, how == Replay::kByteByByte)) << "row " << i;
    EXPECT_EQ(row.phase, d.phase()) << "row " << i;
    if (row.status) {
      EXPECT_EQ(row.status, d.Status()) << "row " << i;
    }
  }
}

// ==== The machine on its own ====================================================

class MachineDriver {
 public:
  MachineDriver() { m.On(PortOpened{4800}); }

  // Runs event, completing reopens (ok unless failReopens), checked sends
  // (ok unless failSends) and pauses (at once unless holdPauses) as the
  // runner would.
  std::string Run(const Event& event) {
    std::string t;
    for (const Action& action : m.On(event)) {
      std::visit(overloaded{
                     [&](const Send& a) {
                       Append(t, Hex(a.bytes));
                       if (a.transfer != sentTransfer) sent.clear(), sentTransfer = a.transfer;
                       if (a.bytes.size() == 8 || a.bytes.size() == kBlockSize) {
                         sent.insert(sent.end(), a.bytes.begin(), a.bytes.end());
                       }
                       if (a.checked && failSends) failedTransfer = a.transfer;
                       if (a.checked) Append(t, Run(SendDone{a.transfer, !failSends}));
                     },
                     [&](const Reopen& a) {
                       Append(t, "@" + std::to_string(a.rate));
                       Append(t, Run(Reopened{a.ticket, !failReopens}));
                     },
                     [&](const Pause& a) {
                       pauses.push_back(a.ms);
                       heldPause = a.ticket;
                       if (!holdPauses) Append(t, Run(PauseOver{a.ticket}));
                     },
                     [&](const SetText& a) { texts[a.surface] = a.text; },
                     [&](const ArmTimer& a) { timers[a.id] = a.ms; },
                     [&](const KillTimer& a) { timers.erase(a.id); },
                     [&](const ShowMessage& a) { log.push_back(a.caption + ": " + a.text); },
                     [&](const OpenLoad& a) { log.push_back("open " + a.path); },
                     [&](const RunLoadBatch&) { log.push_back("batch"); },
                     [&](const CloseLoad&) { log.push_back("close"); },
                     [&](const Ended& a) {
                       // The ending's text is what the status line shows.
                       EXPECT_EQ(a.text.empty() ? texts[Surface::kStatus] : a.text, texts[Surface::kStatus]);
                       outcome = a.outcome, ended = true;
                     },
                 },
                 action);
    }
    return t;
  }
  std::string Feed(const In& in) {
    if (in.kind == In::kTimer) return Run(TimerFired{in.timer});
    if (in.kind == In::kCommand) return Run(CommandIssued{in.command});
    std::string t;
    for (uint8_t b : in.rx) Append(t, Run(ByteReceived{b}));
    return t;
  }
  Phase phase() const { return m.View().phase; }
  std::string Status() { return texts[Surface::kStatus]; }

  // Loads an image the way the dialog does: the name, the open, a batch and
  // the end of the data.
  void Load(int target, uint32_t base, const Bytes& bytes) {
    Run(target == 0 ? Event(CpuSelected{"LOADER.MOT"}) : Event(BrowseChosen{"/fw/image.mot"}));
    Run(LoadReport{LoadReport::kOpened});
    Run(TimerFired{TIMER_LOAD});
    LoadReport done{LoadReport::kDone};
    done.image = Image{base, bytes};
    Run(done);
  }
  // Loads both and replays the first n rows of the normal download.
  void Reach(size_t n) {
    Load(0, kBootBase, kBoot);
    Load(1, kImageBase, kImage);
    for (size_t i = 0; i < n; ++i) Feed(kNormalDownload[i].in);
  }

  DownloadMachine m;
  bool failReopens = false, holdPauses = false, failSends = false;
  Bytes sent;  // the headers and blocks of the latest transfer that sent, in order
  uint32_t sentTransfer = 0, failedTransfer = 0;
  uint32_t heldPause = 0;
  std::vector<int> pauses;
  std::map<Surface, std::string> texts;
  std::map<int, int> timers;
  std::vector<std::string> log;  // message boxes and load steps
  Outcome outcome = kNone;       // of the last Ended
  bool ended = false;
};

// ---- One reaction from a point of the normal download ------------------------

enum Before { kAbortFirst = 1, kRamFirst = 2, kClosedFirst = 4, kFailReopens = 8, kFailSends = 16 };

struct Reaction {
  const char* name;
  size_t at;  // rows of the normal download replayed first
  Event event;
  const char* out;
  Phase phase;
  const char* status;  // nullptr: unchanged
  Outcome outcome;
  int flags = 0;  // Before
};

constexpr size_t kHandshake = 2, kEcho = 3, kWaitStart = 4, kPoll = 5, kPolling = 6, kData = 7,
                 kFinish = 8, kDone = 9;
const char* const kErr = "書込みエラー終了";
const char* const kNoReopen = "COMﾎﾟｰﾄを再ｵｰﾌﾟﾝ出来ません";

const Reaction kReactions[] = {
    {"BlockRequestInHandshake", kHandshake, ByteReceived{0x11}, "", kBootHandshake, nullptr, kNone},
    {"BootRefused01", kHandshake, ByteReceived{0x01}, "@4800", kIdle, "Bootﾓｰﾄﾞ応答異常", kBootRefused},
    {"BootRefusedFF", kHandshake, ByteReceived{0xFF}, "@4800", kIdle, "Bootﾓｰﾄﾞ応答異常", kBootRefused},
    {"WrongEcho", kEcho, ByteReceived{0xCE}, "", kIdle, "ｴｺｰ不一致: 1/2 (0000F000)", kEchoMismatch},
    {"NotYetRunning", kWaitStart, ByteReceived{0x00}, "", kBootWaitStart, "Boot Load: 2/2 (0000F000)", kNone},
    {"HandOverReopenFails", kWaitStart, ByteReceived{0xAA}, "@38400", kIdle, kNoReopen, kReopenFailed,
     kFailReopens},
    {"BlockRequestBeforeHeader", kPoll, ByteReceived{0x11}, "", kWritePoll, nullptr, kNone},
    {"ErrorInHandshake", kPolling, ByteReceived{0x60}, "22", kWritePoll, nullptr, kNone},
    {"ZeroAmongBlocks", kData, ByteReceived{0x00}, "", kWriteData, nullptr, kNone},
    {"ImageGivenDuringTransfer", kData, ImageGiven{0, Image{0, {1}}}, "", kWriteData, nullptr, kNone},
    {"TargetError", kData, ByteReceived{0x60}, "@4800", kIdle, kErr, kWriteError},
    {"TargetErrorAfterLastBlock", kFinish, ByteReceived{0x60}, "@4800", kIdle, kErr, kWriteError},
    // The port's return to 4800 bit/s failing does not undo a finished write.
    {"WrittenThoughReopenFails", kFinish, ByteReceived{0x00}, "@4800", kIdle, "書込み終了", kWritten,
     kFailReopens},
    // A failed write; the port stays at 38400 bit/s until the next Write.
    {"RequestBeyondImage", kFinish, ByteReceived{0x11}, "", kIdle, kErr, kBeyondImage},
    {"ShortHeader", kData, SendDone{1, false}, "@4800", kIdle, kErr, kWriteError},
    {"ShortBlock", kFinish, SendDone{1, false}, "@4800", kIdle, kErr, kWriteError},
    {"ShortWriteOfEarlierTransfer", kData, SendDone{0, false}, "", kWriteData, nullptr, kNone},
    {"Unplugged", kData, LineLost{}, "", kIdle, "COMﾎﾟｰﾄが切断されました", kUnplugged},
    {"UnpluggedWhileIdle", kDone, LineLost{}, "", kIdle, "書込み終了", kWritten},
    {"GiveUp", kHandshake, CommandIssued{Command::kGiveUp}, "", kIdle, nullptr, kNoAnswer},
    {"Abort", kPoll, CommandIssued{Command::kAbort}, "", kIdle, nullptr, kAborted},
    {"WriteAborts", kEcho, CommandIssued{Command::kWrite}, "", kIdle, nullptr, kAborted},
    {"WriteAgain", kDone, CommandIssued{Command::kWrite}, "00", kSync, nullptr, kWritten},
    {"WriteAfterAbortAt38400", kData, CommandIssued{Command::kWrite}, "@4800 00", kSync, nullptr, kAborted,
     kAbortFirst},
    {"WriteAfterAbortReopenFails", kData, CommandIssued{Command::kWrite}, "@4800", kIdle, kNoReopen,
     kReopenFailed, kAbortFirst | kFailReopens},
    {"ExecuteWithoutRamTransfer", kDone, CommandIssued{Command::kExecute}, "", kIdle, nullptr, kWritten},
    {"Execute", kDone, CommandIssued{Command::kExecute}, "31", kIdle, "プログラム　実行中", kExecuted, kRamFirst},
    // "1" among the blocks would land in the image.
    {"ExecuteDuringTransfer", kData, CommandIssued{Command::kExecute}, "", kWriteData, nullptr, kNone, kRamFirst},
    {"ExecuteOnClosedPort", kDone, CommandIssued{Command::kExecute}, "", kIdle, kNoReopen, kExecuteFailed,
     kRamFirst | kClosedFirst},
    {"ExecuteNotSent", kDone, CommandIssued{Command::kExecute}, "31", kIdle, "COMﾎﾟｰﾄに送信出来ません",
     kExecuteFailed, kRamFirst | kFailSends},
};

class Reactions : public ::testing::TestWithParam<Reaction> {};

TEST_P(Reactions, AnswerPhaseStatusOutcome) {
  const Reaction& r = GetParam();
  MachineDriver d;
  d.Reach(r.at);
  if (r.flags & kAbortFirst) d.Run(CommandIssued{Command::kAbort});
  if (r.flags & kRamFirst) d.Run(CommandIssued{Command::kRamTransfer});
  if (r.flags & kClosedFirst) d.Run(PortOpened{0});
  const std::string before = d.Status();
  d.failReopens = r.flags & kFailReopens, d.failSends = r.flags & kFailSends;
  EXPECT_EQ(r.out, d.Run(r.event));
  EXPECT_EQ(r.phase, d.phase());
  EXPECT_EQ(r.status ? std::string(r.status) : before, d.Status());
  EXPECT_EQ(r.outcome, d.outcome);
  // The caption says what Write does.
  EXPECT_EQ(d.m.Busy() ? text::kAbort : text::kWrite, d.texts[Surface::kWriteCaption]);
}

INSTANTIATE_TEST_SUITE_P(FromTheTable, Reactions, ::testing::ValuesIn(kReactions),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Steps of more than one event ----------------------------------------------

TEST(Machine, SyncAnsweredAtOnceSendsMarkerPauseAndThreeZerosUnlessAborted) {
  for (bool imitation : {false, true}) {
    MachineDriver d;
    d.Reach(0);
    d.holdPauses = true;
    if (imitation) d.Run(CommandIssued{Command::kCpuBootImitation});
    EXPECT_EQ("00", d.Run(CommandIssued{Command::kWrite}));
    EXPECT_EQ(100, d.timers[TIMER_BOOT_SYNC]);
    EXPECT_EQ("", d.Run(ByteReceived{0x00}));  // counted, not answered
    EXPECT_EQ(imitation ? "33" : "30", d.Run(TimerFired{TIMER_BOOT_SYNC}));
    EXPECT_EQ("", d.Run(ByteReceived{0x00}));  // still the sync during the pause
    EXPECT_EQ(std::vector<int>{50}, d.pauses);
    const uint32_t first = d.heldPause;
    d.Run(CommandIssued{Command::kAbort});
    EXPECT_EQ("", d.Run(PauseOver{first}));
    // The same step again: only its own pause leads on.
    d.Run(CommandIssued{Command::kWrite});
    d.Run(ByteReceived{0x00});
    d.Run(TimerFired{TIMER_BOOT_SYNC});
    EXPECT_EQ("", d.Run(PauseOver{first}));
    EXPECT_EQ("00 00 00", d.Run(PauseOver{d.heldPause}));
    EXPECT_EQ(kBootHandshake, d.phase());
  }
}

// A board's number is patched in while its boot loader goes up, never once
// a block of the image may have gone: every block comes from one image.
TEST(Machine, APatchIsTakenUntilTheWritePhaseAndTheBlocksCarryIt) {
  for (size_t at : {size_t{0}, kEcho, kWaitStart, kPoll, kData}) {
    SCOPED_TRACE(at);
    MachineDriver d;
    d.Reach(at);
    d.Run(ImagePatched{kImageBase + 1, {0xEE}});
    d.Run(ImagePatched{kImageBase + 2, {0xEE, 0xEE}});  // runs past the image's end
    for (size_t i = at; i < kNormalDownload.size(); ++i) d.Feed(kNormalDownload[i].in);
    const Bytes image = at < kPoll ? Bytes{0x11, 0xEE, 0x33} : kImage;
    EXPECT_EQ(image, *d.m.View().writeImage);
    EXPECT_EQ(std::tuple(kWritten, image), std::tuple(d.outcome, Bytes(d.sent.begin() + 8, d.sent.begin() + 11)));
  }
}

TEST(Machine, AbortStopsThePollsAndKeepsAHandOverFromStarting) {
  MachineDriver d;
  d.Reach(kPoll);
  EXPECT_EQ(300, d.timers[TIMER_WRITE_POLL]);
  d.Run(TimerFired{TIMER_WRITE_POLL});
  EXPECT_EQ(500, d.timers[TIMER_WRITE_POLL]);  // polled every 500 ms after the first
  d.Run(CommandIssued{Command::kAbort});
  EXPECT_EQ("", d.Run(TimerFired{TIMER_WRITE_POLL}));
  EXPECT_EQ(0u, d.timers.count(TIMER_WRITE_POLL));

  MachineDriver h;
  h.Reach(kWaitStart);
  const auto actions = h.m.On(ByteReceived{0xAA});  // the reopen under way
  h.Run(CommandIssued{Command::kWrite});            // 中断
  EXPECT_EQ(kAborted, h.outcome);
  EXPECT_EQ("", h.Run(Reopened{std::get<Reopen>(actions.at(0)).ticket, true}));
  EXPECT_EQ(0u, h.timers.count(TIMER_WRITE_POLL));

  MachineDriver r;  // RAM transfer: "2" has its 50 ms before the reopen
  r.Reach(0);
  r.Run(CommandIssued{Command::kRamTransfer});
  EXPECT_EQ("32 @38400", r.Run(CommandIssued{Command::kWrite}));
  EXPECT_EQ(std::vector<int>{50}, r.pauses);
}

TEST(Machine, WriteRefusesWithoutImageOrUsableBootLoader) {
  MachineDriver d;
  EXPECT_EQ("", d.Run(CommandIssued{Command::kWrite}));
  EXPECT_EQ(std::pair(std::string(text::kNoImage), kRefused), std::pair(d.Status(), d.outcome));
  d.Load(1, kImageBase, kImage);
  EXPECT_EQ("", d.Run(CommandIssued{Command::kWrite}));
  EXPECT_EQ(text::kBootLoaderBad, d.Status());
  EXPECT_EQ(text::kWrite, d.texts[Surface::kWriteCaption]);
  d.Load(0, kBootBase, kBoot);
  const auto old = d.m.View().bootImage;
  d.Load(0, 0, Bytes(kBootImageSize + 1, 0));  // too long: the slot knows, the copy stays
  EXPECT_EQ(text::kBootLoaderInvalid, d.Status());
  EXPECT_EQ(kBootImageSize + 1, d.m.View().slotLength[0]);
  EXPECT_EQ(old, d.m.View().bootImage);
  d.outcome = kNone;
  EXPECT_EQ("", d.Run(CommandIssued{Command::kWrite}));
  EXPECT_EQ(std::pair(std::string(text::kBootLoaderBad), kRefused), std::pair(d.Status(), d.outcome));
  d.Load(0, 0, Bytes(kBootImageSize, 0));  // the most boot mode takes
  EXPECT_EQ("00", d.Run(CommandIssued{Command::kWrite}));
  d.Run(TimerFired{TIMER_BOOT_SYNC});
  EXPECT_EQ("55 80", d.Feed(Rx({0x00, 0xAA})));  // its size, high byte first
}

// ---- Loads --------------------------------------------------------------------

// Steps and texts of a load; Write refused while it runs; an empty image; a
// refused file, with the reason under its path; CpuSelect cancelling a load
// at its next tick; and reports nobody asked for changing nothing.
TEST(MachineLoad, StepsTextsSlotsAndRefusals) {
  MachineDriver d;
  d.Run(BrowseChosen{"/fw/image.mot"});
  EXPECT_EQ("/fw/image.mot", d.texts[Surface::kFilePath]);
  EXPECT_EQ(text::kPleaseLoad, d.texts[Surface::kAddress]);
  d.Run(LoadReport{LoadReport::kOpened});
  EXPECT_EQ(std::pair(std::string(text::kLoadStart), 100), std::pair(d.Status(), d.timers[TIMER_LOAD]));
  EXPECT_EQ("", d.Run(CommandIssued{Command::kWrite}));  // never from a half-loaded image
  EXPECT_FALSE(d.ended);
  d.Run(TimerFired{TIMER_LOAD});
  d.Run(LoadReport{LoadReport::kProgress, 1234});
  EXPECT_EQ(std::pair(std::string("読込み中：     1234 ﾊﾞｲﾄ"), 0), std::pair(d.texts[Surface::kAddress], d.timers[TIMER_LOAD]));
  d.Run(TimerFired{TIMER_LOAD});
  LoadReport done{LoadReport::kDone};
  done.image = Image{0x1000, {}};  // an empty image reads from the base to the base minus one
  d.Run(done);
  EXPECT_EQ("ｱﾄﾞﾚｽ: 00001000 - 00000FFF", d.texts[Surface::kAddress]);
  EXPECT_EQ(text::kLoadStart, d.Status());  // the image's result goes to the address box
  EXPECT_EQ(LoadOutcome::kLoaded, d.m.View().loadOutcome);
  d.Run(CommandIssued{Command::kWrite});
  EXPECT_EQ(text::kNoImage, d.Status());

  d.Run(BrowseChosen{"/fw/bad.mot"});
  LoadReport failed{LoadReport::kFailed};
  failed.message = text::kChecksum;
  failed.detail = "line 7";
  d.Run(failed);
  EXPECT_FALSE(d.m.View().writeImage);  // the empty image before it is gone
  d.Run(CpuSelected{""});
  EXPECT_EQ("line 7", d.m.View().loadDetail);
  d.Run(BrowseChosen{"/fw/big.mot"});
  d.Run(LoadReport{LoadReport::kOpened});
  d.Run(CpuSelected{"LOADER.MOT"});  // cancels; does not start
  d.Run(TimerFired{TIMER_LOAD});
  d.Run(TimerFired{TIMER_LOAD});  // a stray tick does nothing
  EXPECT_EQ((std::vector<std::string>{"open /fw/image.mot", "batch", "batch", "open /fw/bad.mot",
                                      "/fw/bad.mot: チェックサムが誤っています",
                                      "ファイルエラー: Bootファイルを指定して下さい", "open /fw/big.mot", "close"}),
            d.log);
  EXPECT_EQ(LoadOutcome::kCancelled, d.m.View().loadOutcome);

  MachineDriver t;
  t.Reach(kData);
  t.log.clear();
  t.Run(BrowseChosen{"/fw/other.mot"});
  t.Run(CpuSelected{"OTHER.MOT"});
  t.Run(LoadReport{LoadReport::kOpened});  // reports nobody asked for
  t.Run(LoadReport{LoadReport::kDone});
  EXPECT_TRUE(t.log.empty());
  EXPECT_EQ("11 22 33 FF*125", t.Run(ByteReceived{0x11}));
}

// ---- Random programs --------------------------------------------------------
// Events of every kind in any order, bytes a working board would send mixed
// with noise, sends and reopens failing now and then. After every event: the
// Write button reads "中断" exactly while pressing it would abort, an ending
// leaves nothing running, and a write reported written sent the header and
// every block of the image, whole and in order.
// PORTEN_MACHINE_SEED=S runs one program; a failure names its seed.
TEST(MachineProperty, WrittenMeansTheWholeImageWentOut) {
  const char* one = std::getenv("PORTEN_MACHINE_SEED");
  for (uint32_t seed = one ? std::stoul(one) : 0; seed < (one ? std::stoul(one) + 1 : 3000); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    MachineDriver d;
    d.texts[Surface::kWriteCaption] = text::kWrite;
    uint32_t transfer = 0, base = 0;
    bool zeroAnswered = false;
    Bytes image;  // and base: what the running transfer writes
    for (int step = 0; step < 200; ++step) {
      const DownloadView v = d.m.View();
      d.failReopens = pick(24) == 0, d.failSends = pick(24) == 0, d.holdPauses = pick(4) == 0;
      d.ended = false;
      switch (pick(9)) {
        case 0: d.Run(ByteReceived{static_cast<uint8_t>(pick(256))}); break;
        case 1: d.Run(TimerFired{static_cast<int>(101 + pick(3))}); break;
        case 2: d.Run(CommandIssued{static_cast<Command>(pick(6))}); break;
        case 3: d.Run(PauseOver{d.heldPause}); break;
        case 4: d.Run(pick(8) ? Event(LoadReport{LoadReport::kProgress, pick(99)}) : Event(LineLost{})); break;
        case 5:  // at addresses that fill all four bytes of the header's address
          d.Load(static_cast<int>(pick(2)), pick(4) << 29 | pick(4) << 12, RandomBytes(pick(4) ? pick(pick(2) ? 24 : 300) : 0, seed));
          break;
        default: {  // what a working board sends next
          const Phase p = v.phase;
          zeroAnswered = p == kBootHandshake && !zeroAnswered;
          const bool echo = p == kBootUpload && v.bootImage && v.pos < v.bootImage->size();
          d.Run(ByteReceived{p == kBootHandshake ? (zeroAnswered ? uint8_t{0} : uint8_t{0xAA})
                             : echo ? (*v.bootImage)[v.pos]
                             : p == kBootWaitStart ? uint8_t{0xAA}
                             : p == kWriteData ? uint8_t{0x11} : uint8_t{0}});
        }
      }
      const DownloadView after = d.m.View();
      if (after.transfer != transfer) {  // a Write started: nothing confirmed yet
        ASSERT_EQ(0u, after.confirmed);
        transfer = after.transfer, base = after.slotBase[1];
        image = after.writeImage ? *after.writeImage : Bytes();
      }
      ASSERT_EQ(after.busy ? text::kAbort : text::kWrite, d.texts[Surface::kWriteCaption]);
      ASSERT_TRUE(!d.ended || !after.busy);
      if (d.ended && d.outcome == kWritten) {
        ASSERT_NE(transfer, d.failedTransfer);
        ASSERT_EQ(transfer, d.sentTransfer);
        ASSERT_EQ(image.size(), after.confirmed);
        const uint32_t length = (static_cast<uint32_t>(image.size()) + 127) & ~127u;
        Bytes expected;
        for (uint32_t x : {base, length}) {
          for (int shift = 24; shift >= 0; shift -= 8) expected.push_back(static_cast<uint8_t>(x >> shift));
        }
        expected.insert(expected.end(), image.begin(), image.end());
        expected.resize(8 + length, 0xFF);
        ASSERT_EQ(Hex(expected), Hex(d.sent));
      }
    }
  }
}

// ==== The session ===============================================================

class SessionDriver {
 public:
  SessionDriver() {
    win.Bind(session.get());
    EXPECT_TRUE(session->OpenInitialPort("/dev/ttyFAKE0"));
    seen_ = port_->Events().size();
  }

  void LoadBoth() {
    WriteTextFile(dir.File("LOADER.MOT"), MakeSRecords({{kBootBase, kBoot}}, 2));
    WriteTextFile(dir.File("image.mot"), MakeSRecords({{kImageBase, kImage}}, 1));
    ASSERT_TRUE(session->OnCpuSelect("LOADER.MOT"));
    win.Advance(100);
    ASSERT_TRUE(session->OnBrowse(dir.File("image.mot")));
    win.Advance(100);
    ASSERT_EQ(kImage.size(), session->Snapshot().slotLength[1]);
  }
  // Loads both and replays the first n rows of the normal download.
  void Reach(size_t n) {
    LoadBoth();
    for (size_t i = 0; i < n; ++i) Feed(kNormalDownload[i].in, false);
  }

  // Lets queued port actions run, moving the clock on through their pauses.
  void Settle() {
    session->Pump();
    for (int i = 0; i < 100 && session->PortActionsPending(); ++i) {
      win.Advance(10);
      session->Pump();
    }
  }

  std::string Feed(const In& in, bool byteByByte) {
    if (in.kind == In::kRx) {
      for (size_t i = 0; i < in.rx.size(); i += byteByByte ? 1 : in.rx.size()) {
        port_->Feed(Bytes(in.rx.begin() + i, byteByByte ? in.rx.begin() + i + 1 : in.rx.end()));
        if (byteByByte) session->Pump();
      }
    } else if (in.kind == In::kTimer) {
      win.Advance(static_cast<int>(win.DueAt(in.timer) - win.NowMs()));
    } else {
      const std::function<void(DownloadSession&)> kCommands[] = {
          &DownloadSession::OnWrite,   &DownloadSession::Abort,
          &DownloadSession::OnExecute, [](DownloadSession& s) { s.OnRamTransfer(); },
          [](DownloadSession& s) { s.OnCpuBootImitation(); }, &DownloadSession::GiveUp};
      kCommands[static_cast<int>(in.command)](*session);
    }
    Settle();
    return Transcript();
  }

  // What went out since the last call: bytes in hex, "@RATE" for an open.
  std::string Transcript() {
    const auto events = port_->Events();
    std::string t;
    for (; seen_ < events.size(); ++seen_) {
      const PortEvent& e = events[seen_];
      if (e.kind == PortEvent::kWrite) Append(t, Hex(e.bytes));
      if (e.kind == PortEvent::kOpen) Append(t, "@" + std::to_string(e.baud));
    }
    return t;
  }
  Phase phase() { return session->Snapshot().phase; }
  std::string Status() { return win.Text(Surface::kStatus); }
  FakePort& port() { return *port_; }

  TempDir dir;
  FakeWindow win;

 private:
  FakePort* port_ = new FakePort;
  size_t seen_ = 0;

 public:
  std::unique_ptr<DownloadSession> session =
      std::make_unique<DownloadSession>(win, win, std::unique_ptr<Port>(port_), dir.path());
};

class SessionTables : public ::testing::TestWithParam<Replay> {};

TEST_P(SessionTables, NormalDownloadThenRamTransfer) {
  SessionDriver d;
  d.LoadBoth();
  EXPECT_EQ((PortEvent{PortEvent::kOpen, 4800, {}}), d.port().Events().at(0));
  ReplayRows(d, kNormalDownload, GetParam());
  EXPECT_EQ(std::pair(kWritten, 4800), std::pair(d.session->Snapshot().outcome, d.session->Snapshot().portRate));
  EXPECT_EQ(text::kWrite, d.win.Text(Surface::kWriteCaption));
  // Closed for 50 ms before 38400 bit/s, and 10 ms before the first poll.
  EXPECT_EQ((std::vector<int>{50, 10}), d.win.Sleeps());
  ReplayRows(d, kRamTransfer, GetParam());
  EXPECT_EQ((std::vector<int>{50, 10, 10}), d.win.Sleeps());  // RAM transfer: only the 10 ms
}

INSTANTIATE_TEST_SUITE_P(Replays, SessionTables,
                         ::testing::Values(Replay::kWhole, Replay::kByteByByte, Replay::kNoise),
                         [](const auto& info) { return kReplayNames[static_cast<int>(info.param)]; });

TEST(Session, WhatArrivesInOneReadAndWhatCannotGoOut) {
  SessionDriver d;
  d.Reach(4);
  // The 0x00 behind the 0xAA came at 4800 bit/s: it is not the loader's.
  EXPECT_EQ("@38400", d.Feed(Rx({0xAA, 0x00}), false));
  EXPECT_EQ(kWritePoll, d.phase());
  for (size_t i = 5; i < 7; ++i) d.Feed(kNormalDownload[i].in, false);
  Bytes burst(4500, 0x5A);  // more than the ring, ignored in the write phase ...
  burst.push_back(0x11);    // ... up to the request behind it
  d.port().ShortWriteAfter(100);
  EXPECT_EQ("11 22 33 FF*97 @4800", d.Feed(Rx(burst), false));
  EXPECT_EQ(text::kWriteError, d.Status());
  EXPECT_EQ(kWriteError, d.session->Snapshot().outcome);

  const int rung = d.port().Rung();
  d.session->OnWrite();  // its first sync byte wakes the link thread and waits for it
  EXPECT_EQ(rung + 1, d.port().Rung());
  EXPECT_FALSE(d.session->WaitPortActionsDone(0));
  d.session->Pump();
  EXPECT_TRUE(d.session->WaitPortActionsDone(0));

  SessionDriver u;
  u.Reach(3);
  u.port().SetLost(true);  // the device hung up
  u.session->Pump();
  EXPECT_EQ(kUnplugged, u.session->Snapshot().outcome);
  EXPECT_EQ(text::kPortLost, u.Status());
}

TEST(Session, LoadsRunInBatchesOneAtATimeAndNeverUnderATransfer) {
  SessionDriver d;
  WriteTextFile(d.dir.File("big.mot"), MakeSRecords({{0, Bytes(8000, 0x5A)}}, 1));
  EXPECT_TRUE(d.session->OnBrowse(d.dir.File("big.mot")));  // 500 records: four batches
  EXPECT_FALSE(d.session->OnBrowse(d.dir.File("big.mot")));  // still loading
  d.win.Advance(100);
  EXPECT_EQ(8000u, d.session->Snapshot().slotLength[1]);
  d.LoadBoth();
  const std::string missing = d.dir.File("missing.mot");
  EXPECT_TRUE(d.session->OnBrowse(missing));
  EXPECT_EQ((std::vector<Message>{{text::kFileOpenFailed, missing}}), d.win.Messages());
  EXPECT_EQ(0u, d.session->Snapshot().slotLength[1]);
  EXPECT_EQ(LoadOutcome::kFailed, d.session->Snapshot().loadOutcome);
  d.LoadBoth();
  d.Feed(Cmd(Command::kWrite), false);
  EXPECT_FALSE(d.session->CanBrowse());
  EXPECT_FALSE(d.session->OnBrowse(d.dir.File("image.mot")));
  EXPECT_FALSE(d.session->OnCpuSelect("LOADER.MOT"));
}

// ---- The link thread against a stalled line ---------------------------------------
// Each stop must come back while the write is still blocked (if it waited for
// the write, the test would hang and CTest's time-out fail it), end the write,
// keep its own outcome, and leave the next Write to start clean.
TEST(Session, StopsReturnWhileTheLineIsStalled) {
  for (auto [stop, outcome] : {std::pair{&DownloadSession::Abort, kAborted},
                               {&DownloadSession::GiveUp, kNoAnswer}, {&DownloadSession::OnWrite, kAborted}}) {
    SessionDriver d;
    d.Reach(7);
    d.session->StartReceiveThread();
    d.port().StallWrites();
    d.port().Feed({0x11});
    d.port().WaitForBlockedWrite();
    ((*d.session).*stop)();
    EXPECT_EQ(std::pair(outcome, std::string(text::kWrite)),
              std::pair(d.session->Snapshot().outcome, d.win.Text(Surface::kWriteCaption)));
    d.port().WaitForNoBlockedWrite();
    d.session->JoinReceiveThread();
    EXPECT_TRUE(d.session->ThreadExited());
    EXPECT_EQ(outcome, d.session->Snapshot().outcome);  // not turned into an error
    d.port().ReleaseWrites();
    EXPECT_EQ("@4800 00", d.Feed(Cmd(Command::kWrite), false));
  }
}

}  // namespace
}  // namespace porten
