// The download machine on its own: plain calls, no thread, no port, no
// clock. Port steps it asks for are completed by the test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>

#include "core/texts.h"
#include "protocol/replay.h"
#include "support/image_writer.h"

namespace porten {
namespace {

using namespace testing;
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
        case 5: d.Load(static_cast<int>(pick(2)), pick(4) << 12, RandomBytes(pick(4) ? pick(pick(2) ? 24 : 300) : 0, seed)); break;
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
      if (st.m_nTransfer != transfer) {
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

}  // namespace
}  // namespace porten
