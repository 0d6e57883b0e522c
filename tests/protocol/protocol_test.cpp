// The download machine and its runner. The byte tables of both protocols
// are rows (an event in; the bytes and reopens out, the state after) that one
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

#include "core/download_state.h"
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

struct Row {
  In in;
  const char* out;  // wire bytes in hex ("FF*125" for a run), "@RATE" a reopen
  int32_t state;
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
    {Cmd(Command::kWrite), "00", STATE_SYNC_BOOT},
    {Timer(TIMER_BOOT_SYNC), "00 00", STATE_BOOT_HANDSHAKE},
    {Rx({0x00, 0xAA, 0x00, 0x02, 0xAB}), "55 00 02 AB CD", STATE_BOOT_DATA,
     "Boot Load: 0/2 (0000F000)"},
    {Rx({0xCD}), "", STATE_BOOT_WAIT_START, "Boot Load: 1/2 (0000F000)"},
    {Rx({0xAA}), "@38400", STATE_WRITE_POLL},
    {Timer(TIMER_WRITE_POLL), "33", STATE_WRITE_POLL},
    {Rx({0x00, 0x00, 0x00, 0x00}), "44 44 88 00 00 10 00 00 00 00 80", STATE_WRITE_DATA},
    {Rx({0x11}), "11 22 33 FF*125", STATE_WRITE_FINISH, "Writing: 3/3 (00001000)"},
    {Rx({0x00}), "@4800", STATE_IDLE, "書込み終了"},
};

// The same image by RAM transfer to a running loader, then "実行".
inline const std::vector<Row> kRamTransfer = {
    {Cmd(Command::kRamTransfer), "", STATE_IDLE},
    {Cmd(Command::kWrite), "32 @38400", STATE_WRITE_POLL},
    {Timer(TIMER_WRITE_POLL), "33", STATE_WRITE_POLL},
    {Timer(TIMER_WRITE_POLL), "33", STATE_WRITE_POLL},
    {Rx({0x60, 0x00, 0x00, 0x00, 0x00}), "22 44 44 88 00 00 10 00 00 00 00 80", STATE_WRITE_DATA},
    {Rx({0x11}), "11 22 33 FF*125", STATE_WRITE_FINISH},
    {Rx({0x00}), "@4800", STATE_IDLE, "書込み終了"},
    {Cmd(Command::kExecute), "31", STATE_IDLE, "プログラム　実行中"},
};

enum class Replay { kWhole, kByteByByte, kNoise };
const char* const kReplayNames[] = {"Whole", "ByteByByte", "Noise"};

// States in which 0x5A is ignored, so noise there must change nothing.
inline bool IgnoresNoise(int32_t state) {
  return state == STATE_IDLE || state == STATE_BOOT_HANDSHAKE ||
         (state >= STATE_WRITE_POLL && state <= STATE_WRITE_DATA) || state == STATE_WRITE_FINISH;
}

// d feeds the row's event (rx: in one read, or one read per byte) and
// returns the transcript of what went out; the replay checks the rest.
template <typename Driver>
void ReplayRows(Driver& d, const std::vector<Row>& rows, Replay how) {
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    In in = row.in;
    if (how == Replay::kNoise && in.kind == In::kRx && IgnoresNoise(d.State())) {
      in.rx.insert(in.rx.begin(), 0x5A);
    }
    EXPECT_EQ(row.out, d.Feed(in, how == Replay::kByteByByte)) << "row " << i;
    EXPECT_EQ(row.state, d.State()) << "row " << i;
    if (row.status) {
      EXPECT_EQ(row.status, d.Status()) << "row " << i;
    }
  }
}

// ==== The machine on its own ====================================================

using enum Outcome;

class MachineDriver {
 public:
  MachineDriver() { m.state().m_nPortRate = 4800; }

  // Runs event, completing reopens (ok unless failReopens) and pauses (at
  // once unless holdPauses) as the runner would.
  std::string Run(const Event& event) {
    std::string transcript;
    for (const Action& action : m.On(event)) {
      if (const auto* send = std::get_if<Send>(&action)) {
        Append(transcript, Hex(send->bytes));
        if (send->transfer != sentTransfer) sent.clear(), sentTransfer = send->transfer;
        if (send->bytes.size() == 8 || send->bytes.size() == kBlockSize) {
          sent.insert(sent.end(), send->bytes.begin(), send->bytes.end());
        }
        if (send->checked && failSends) {
          failedTransfer = send->transfer;
          Append(transcript, Run(SendFailed{send->transfer}));
        }
      } else if (const auto* reopen = std::get_if<Reopen>(&action)) {
        Append(transcript, "@" + std::to_string(reopen->rate));
        Append(transcript, Run(Reopened{reopen->ticket, !failReopens}));
      } else if (const auto* pause = std::get_if<Pause>(&action)) {
        pauses.push_back(pause->ms);
        heldPause = pause->ticket;
        if (!holdPauses) Append(transcript, Run(PauseOver{pause->ticket}));
      } else if (const auto* text = std::get_if<SetText>(&action)) {
        texts[text->surface] = text->text;
      } else if (const auto* arm = std::get_if<ArmTimer>(&action)) {
        timers[arm->id] = arm->ms;
      } else if (const auto* kill = std::get_if<KillTimer>(&action)) {
        timers.erase(kill->id);
      } else if (const auto* box = std::get_if<ShowMessage>(&action)) {
        log.push_back(box->caption + ": " + box->text);
      } else if (const auto* open = std::get_if<OpenLoad>(&action)) {
        log.push_back("open " + open->path);
      } else {
        log.push_back(std::holds_alternative<RunLoadBatch>(action) ? "batch" : "close");
      }
    }
    return transcript;
  }
  std::string Feed(const In& in) {
    if (in.kind == In::kTimer) return Run(TimerFired{in.timer});
    if (in.kind == In::kCommand) return Run(CommandIssued{in.command});
    std::string transcript;
    for (uint8_t b : in.rx) Append(transcript, Run(ByteReceived{b}));
    return transcript;
  }
  int32_t State() { return m.state().m_nState; }
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
  Outcome outcome() const { return m.state().m_nOutcome; }

  DownloadMachine m;
  bool failReopens = false, holdPauses = false, failSends = false;
  Bytes sent;  // the headers and blocks of the latest transfer that sent, in order
  uint32_t sentTransfer = 0, failedTransfer = 0;
  uint32_t heldPause = 0;
  std::vector<int> pauses;
  std::map<Surface, std::string> texts;
  std::map<int, int> timers;
  std::vector<std::string> log;  // message boxes and load steps
};

// ---- One reaction from a point of the normal download ------------------------

struct Reaction {
  const char* name;
  size_t at;  // rows of the normal download replayed first
  Event event;
  const char* out;
  int32_t state;
  const char* status;  // nullptr: unchanged
  Outcome outcome;
  bool failReopens = false;
  bool abortFirst = false;  // aborted there first, leaving the port at its rate
};

constexpr size_t kHandshake = 2, kEcho = 3, kWaitStart = 4, kPoll = 5, kPolling = 6, kData = 7,
                 kFinish = 8, kDone = 9;
const char* const kErr = "書込みエラー終了";
const char* const kNoReopen = "COMﾎﾟｰﾄを再ｵｰﾌﾟﾝ出来ません";

const Reaction kReactions[] = {
    {"NoiseInHandshake", kHandshake, ByteReceived{0x5A}, "", 1, nullptr, kNone},
    {"BlockRequestInHandshake", kHandshake, ByteReceived{0x11}, "", 1, nullptr, kNone},
    {"BootRefused01", kHandshake, ByteReceived{0x01}, "@4800", 0, "Bootﾓｰﾄﾞ応答異常", kBootRefused},
    {"BootRefusedFF", kHandshake, ByteReceived{0xFF}, "@4800", 0, "Bootﾓｰﾄﾞ応答異常", kBootRefused},
    {"WrongEcho", kEcho, ByteReceived{0xCE}, "", 0, "ｴｺｰ不一致: 1/2 (0000F000)", kEchoMismatch},
    {"NotYetRunning", kWaitStart, ByteReceived{0x00}, "", 10, "Boot Load: 2/2 (0000F000)", kNone},
    {"HandOverReopenFails", kWaitStart, ByteReceived{0xAA}, "@38400", 0, kNoReopen, kReopenFailed, true},
    {"BlockRequestBeforeHeader", kPoll, ByteReceived{0x11}, "", 20, nullptr, kNone},
    {"ErrorInHandshake", kPolling, ByteReceived{0x60}, "22", 20, nullptr, kNone},
    {"ZeroAmongBlocks", kData, ByteReceived{0x00}, "", 24, nullptr, kNone},
    {"TargetError", kData, ByteReceived{0x60}, "@4800", 0, kErr, kWriteError},
    {"TargetErrorAfterLastBlock", kFinish, ByteReceived{0x60}, "@4800", 0, kErr, kWriteError},
    // The port's return to 4800 bit/s failing does not undo a finished write.
    {"WrittenThoughReopenFails", kFinish, ByteReceived{0x00}, "@4800", 0, "書込み終了", kWritten, true},
    // Idle again, the progress text takes the boot loader's form.
    {"RequestBeyondImage", kFinish, ByteReceived{0x11}, "", 0, "Boot Load: 3/2 (0000F000)", kWriteError},
    {"ShortHeader", kData, SendFailed{1}, "@4800", 0, kErr, kWriteError},
    {"ShortBlock", kFinish, SendFailed{1}, "@4800", 0, kErr, kWriteError},
    {"ShortWriteOfEarlierTransfer", kData, SendFailed{0}, "", 24, nullptr, kNone},
    {"Unplugged", kData, LineLost{}, "", 0, "COMﾎﾟｰﾄが切断されました", kUnplugged},
    {"UnpluggedWhileIdle", kDone, LineLost{}, "", 0, "書込み終了", kWritten},
    {"GiveUp", kHandshake, CommandIssued{Command::kGiveUp}, "", 0, nullptr, kNoAnswer},
    {"Abort", kPoll, CommandIssued{Command::kAbort}, "", 0, nullptr, kAborted},
    {"WriteAborts", kEcho, CommandIssued{Command::kWrite}, "", 0, nullptr, kAborted},
    {"WriteAgain", kDone, CommandIssued{Command::kWrite}, "00", 255, nullptr, kNone},
    {"WriteAfterAbortAt38400", kData, CommandIssued{Command::kWrite}, "@4800 00", 255, nullptr, kNone,
     false, true},
    {"WriteAfterAbortReopenFails", kData, CommandIssued{Command::kWrite}, "@4800", 0, kNoReopen,
     kReopenFailed, true, true},
    {"ExecuteWithoutRamTransfer", kDone, CommandIssued{Command::kExecute}, "", 0, nullptr, kWritten},
};

class Reactions : public ::testing::TestWithParam<Reaction> {};

TEST_P(Reactions, AnswerStateStatusOutcome) {
  const Reaction& r = GetParam();
  MachineDriver d;
  d.Reach(r.at);
  if (r.abortFirst) d.Run(CommandIssued{Command::kAbort});
  const std::string before = d.Status();
  d.failReopens = r.failReopens;
  EXPECT_EQ(r.out, d.Run(r.event));
  EXPECT_EQ(r.state, d.State());
  EXPECT_EQ(r.status ? std::string(r.status) : before, d.Status());
  EXPECT_EQ(r.outcome, d.outcome());
  // The caption says what Write does.
  EXPECT_EQ(d.m.state().Busy() ? text::kAbort : text::kWrite, d.texts[Surface::kWriteCaption]);
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
    EXPECT_EQ(imitation ? STATE_SYNC_IMITATION : STATE_SYNC_BOOT, d.State());
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
    EXPECT_EQ(STATE_BOOT_HANDSHAKE, d.State());
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
  const auto actions = h.m.On(ByteReceived{0xAA});  // the reopen under way, the state 0
  h.Run(CommandIssued{Command::kWrite});            // 中断
  EXPECT_EQ(kAborted, h.outcome());
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
  EXPECT_EQ(text::kNoImage, d.Status());
  EXPECT_EQ(kRefused, d.outcome());
  d.Load(1, kImageBase, kImage);
  EXPECT_EQ("", d.Run(CommandIssued{Command::kWrite}));
  EXPECT_EQ(text::kBootLoaderBad, d.Status());
  EXPECT_EQ(text::kWrite, d.texts[Surface::kWriteCaption]);
  d.Load(0, kBootBase, kBoot);
  const auto old = d.m.state().m_byBootImage;
  d.Load(0, 0, Bytes(kBootImageSize + 1, 0));  // too long: the slot knows, the copy stays
  EXPECT_EQ(text::kBootLoaderInvalid, d.Status());
  EXPECT_EQ(kBootImageSize + 1, d.m.state().m_nSlotLength[0]);
  EXPECT_EQ(old, d.m.state().m_byBootImage);
  EXPECT_EQ("", d.Run(CommandIssued{Command::kWrite}));
  EXPECT_EQ(text::kBootLoaderBad, d.Status());
}

// ---- Loads --------------------------------------------------------------------

TEST(MachineLoad, StepsTextsAndSlots) {
  MachineDriver d;
  d.Run(BrowseChosen{"/fw/image.mot"});
  EXPECT_EQ("/fw/image.mot", d.texts[Surface::kFilePath]);
  EXPECT_EQ(text::kPleaseLoad, d.texts[Surface::kAddress]);
  d.Run(LoadReport{LoadReport::kOpened});
  EXPECT_EQ(text::kLoadStart, d.Status());
  EXPECT_EQ(100, d.timers[TIMER_LOAD]);
  EXPECT_EQ("", d.Run(CommandIssued{Command::kWrite}));  // never from a half-loaded image
  EXPECT_EQ(kNone, d.outcome());
  d.Run(TimerFired{TIMER_LOAD});
  d.Run(LoadReport{LoadReport::kProgress, 1234});
  EXPECT_EQ("読込み中：     1234 ﾊﾞｲﾄ", d.texts[Surface::kAddress]);
  EXPECT_EQ(0, d.timers[TIMER_LOAD]);
  d.Run(TimerFired{TIMER_LOAD});
  LoadReport done{LoadReport::kDone};
  done.image = Image{0x1000, {}};  // an empty image reads from the base to the base minus one
  d.Run(done);
  EXPECT_EQ((std::vector<std::string>{"open /fw/image.mot", "batch", "batch"}), d.log);
  EXPECT_EQ("ｱﾄﾞﾚｽ: 00001000 - 00000FFF", d.texts[Surface::kAddress]);
  EXPECT_EQ(text::kLoadStart, d.Status());  // the image's result goes to the address box
  EXPECT_EQ(LoadOutcome::kLoaded, d.m.state().m_nLoadOutcome);
  d.Run(CommandIssued{Command::kWrite});
  EXPECT_EQ(text::kNoImage, d.Status());
}

TEST(MachineLoad, RefusedFileLeavesSlotEmptyAndSaysWhyUnderThePath) {
  MachineDriver d;
  d.Reach(0);
  d.log.clear();
  d.Run(BrowseChosen{"/fw/bad.mot"});
  LoadReport failed{LoadReport::kFailed};
  failed.message = text::kChecksum;
  failed.detail = "line 7";
  d.Run(failed);
  d.Run(CpuSelected{""});
  EXPECT_EQ((std::vector<std::string>{"open /fw/bad.mot", "/fw/bad.mot: チェックサムが誤っています",
                                      "ファイルエラー: Bootファイルを指定して下さい"}),
            d.log);
  EXPECT_EQ("line 7", d.m.state().m_strLoadDetail);
  d.Run(CommandIssued{Command::kWrite});
  EXPECT_EQ(text::kNoImage, d.Status());
}

TEST(MachineLoad, CpuSelectCancelsARunningLoadAtItsNextTickAndNothingStartsUnderATransfer) {
  MachineDriver d;
  d.Run(BrowseChosen{"/fw/big.mot"});
  d.Run(LoadReport{LoadReport::kOpened});
  d.Run(CpuSelected{"LOADER.MOT"});  // cancels; does not start
  d.Run(TimerFired{TIMER_LOAD});
  d.Run(TimerFired{TIMER_LOAD});  // a stray tick does nothing
  EXPECT_EQ((std::vector<std::string>{"open /fw/big.mot", "close"}), d.log);
  EXPECT_EQ(LoadOutcome::kCancelled, d.m.state().m_nLoadOutcome);

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
// state is one the protocols know, the Write button reads "中断" exactly while
// pressing it would abort, an ended download is not busy, and a write reported
// written sent the header and every block of the image, whole and in order.
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
    Outcome outcome = kNone;
    for (int step = 0; step < 200; ++step) {
      const DownloadState& st = d.m.state();
      d.failReopens = pick(24) == 0, d.failSends = pick(24) == 0, d.holdPauses = pick(4) == 0;
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
          const int32_t s = st.m_nState;
          zeroAnswered = s == STATE_BOOT_HANDSHAKE && !zeroAnswered;
          const bool echo = s == STATE_BOOT_DATA && st.m_byBootImage && st.m_nPos < st.m_byBootImage->size();
          d.Run(ByteReceived{s == STATE_BOOT_HANDSHAKE ? (zeroAnswered ? uint8_t{0} : uint8_t{0xAA})
                             : echo ? (*st.m_byBootImage)[st.m_nPos]
                             : s == STATE_BOOT_WAIT_START ? uint8_t{0xAA}
                             : s == STATE_WRITE_DATA ? uint8_t{0x11} : uint8_t{0}});
        }
      }
      if (st.m_nTransfer != transfer) {  // a Write started: nothing confirmed yet
        ASSERT_EQ(0u, st.m_nConfirmed);
        transfer = st.m_nTransfer, base = st.m_nSlotBase[1];
        image = st.m_byWriteImage ? *st.m_byWriteImage : Bytes();
      }
      const int32_t s = st.m_nState;
      ASSERT_TRUE((s >= 0 && s <= 4) || s == 10 || (s >= 20 && s <= 24) || s == 100 || s == 254 || s == 255);
      ASSERT_EQ(st.Busy() ? text::kAbort : text::kWrite, d.texts[Surface::kWriteCaption]);
      ASSERT_TRUE(d.outcome() == kNone || !st.Busy());
      if (d.outcome() == kWritten && outcome != kWritten) {
        ASSERT_NE(transfer, d.failedTransfer);
        ASSERT_EQ(transfer, d.sentTransfer);
        ASSERT_EQ(image.size(), st.m_nConfirmed);
        const uint32_t length = (static_cast<uint32_t>(image.size()) + 127) & ~127u;
        Bytes expected;
        for (uint32_t v : {base, length}) {
          for (int shift = 24; shift >= 0; shift -= 8) expected.push_back(static_cast<uint8_t>(v >> shift));
        }
        expected.insert(expected.end(), image.begin(), image.end());
        expected.resize(8 + length, 0xFF);
        ASSERT_EQ(Hex(expected), Hex(d.sent));
      }
      outcome = d.outcome();
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
  int32_t State() { return session->Snapshot().state; }
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
  EXPECT_EQ(Outcome::kWritten, d.session->Snapshot().outcome);
  EXPECT_EQ(text::kWrite, d.win.Text(Surface::kWriteCaption));
  // Closed for 50 ms before 38400 bit/s, and 10 ms before the first poll.
  EXPECT_EQ((std::vector<int>{50, 10}), d.win.Sleeps());
  ReplayRows(d, kRamTransfer, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Replays, SessionTables,
                         ::testing::Values(Replay::kWhole, Replay::kByteByByte, Replay::kNoise),
                         [](const auto& info) { return kReplayNames[static_cast<int>(info.param)]; });

TEST(Session, WhatArrivesInOneReadAndWhatCannotGoOut) {
  SessionDriver d;
  d.Reach(4);
  // The 0x00 behind the 0xAA came at 4800 bit/s: it is not the loader's.
  EXPECT_EQ("@38400", d.Feed(Rx({0xAA, 0x00}), false));
  EXPECT_EQ(STATE_WRITE_POLL, d.State());
  for (size_t i = 5; i < 7; ++i) d.Feed(kNormalDownload[i].in, false);
  Bytes burst(4500, 0x5A);  // more than the ring, ignored in the write phase ...
  burst.push_back(0x11);    // ... up to the request behind it
  d.port().ShortWriteAfter(100);
  EXPECT_EQ("11 22 33 FF*97 @4800", d.Feed(Rx(burst), false));
  EXPECT_EQ(text::kWriteError, d.Status());
  EXPECT_EQ(Outcome::kWriteError, d.session->Snapshot().outcome);

  SessionDriver u;
  u.Reach(3);
  u.port().SetLost(true);  // the device hung up
  u.session->Pump();
  EXPECT_EQ(Outcome::kUnplugged, u.session->Snapshot().outcome);
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
// Each stop request must come back while the write is still blocked; if any
// of them waited for the write, the test would hang (and CTest's time-out
// fail it).

class Stalled : public ::testing::Test {
 protected:
  void SetUp() override {
    d.Reach(7);
    d.session->StartReceiveThread();
    d.port().StallWrites();
    d.port().Feed({0x11});
    d.port().WaitForBlockedWrite();
  }
  SessionDriver d;
};

TEST_F(Stalled, AbortReturnsAndEndsTheWrite) {
  d.session->Abort();
  EXPECT_EQ(Outcome::kAborted, d.session->Snapshot().outcome);
  EXPECT_EQ(text::kWrite, d.win.Text(Surface::kWriteCaption));
  d.session->JoinReceiveThread();
  EXPECT_EQ(Outcome::kAborted, d.session->Snapshot().outcome);  // not turned into an error
}

TEST_F(Stalled, GiveUpReturnsWithNoAnswerAndTheThreadStops) {
  d.session->GiveUp();
  EXPECT_EQ(Outcome::kNoAnswer, d.session->Snapshot().outcome);
  d.session->JoinReceiveThread();
  EXPECT_TRUE(d.session->ThreadExited());
}

TEST_F(Stalled, WriteButtonAbortsAndTheNextWriteStartsClean) {
  d.session->OnWrite();  // 中断: ends the hung write by itself
  d.port().WaitForNoBlockedWrite();
  d.session->JoinReceiveThread();
  d.port().ReleaseWrites();
  EXPECT_EQ("@4800 00", d.Feed(Cmd(Command::kWrite), false));
  EXPECT_EQ(STATE_SYNC_BOOT, d.State());
}

}  // namespace
}  // namespace porten
