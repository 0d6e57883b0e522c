// Both protocols driven byte by byte through the session, on a scripted port
// and a manual clock: what goes out on the wire, in which state, with which
// texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/texts.h"
#include "protocol/download_session.h"
#include "support/fake_port.h"
#include "support/fake_window.h"

namespace porten {
namespace {

using testing::FakePort;
using testing::FakeWindow;
using testing::PortEvent;
using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// How the target's bytes reach the tool: a tty read returns arbitrary chunks.
enum class Replay { kWhole, kByteByByte, kTrailingNoise };

// The manual clock, with a hook that runs at each protocol pause.
class HookClock final : public Clock {
 public:
  explicit HookClock(FakeWindow& win) : win_(win) {}
  void Sleep(int ms) override {
    if (onSleep) onSleep();
    win_.Sleep(ms);
  }
  int64_t NowMs() override { return win_.NowMs(); }
  std::function<void()> onSleep;

 private:
  FakeWindow& win_;
};

class Rig {
 public:
  Rig() {
    auto port = std::make_unique<FakePort>();
    port_ = port.get();
    session_ = std::make_unique<DownloadSession>(win_, clock_, std::move(port), "/nonexistent");
    win_.Bind(session_.get());
    EXPECT_TRUE(session_->OpenInitialPort("/dev/ttyFAKE0"));
    port_->ClearEvents();
  }

  DownloadSession& s() { return *session_; }
  FakePort& port() { return *port_; }
  FakeWindow& win() { return win_; }
  HookClock& clock() { return clock_; }
  int32_t state() { return session_->Snapshot().state; }

  // Stands in for the two loads: slot 0 with BootImage, slot 1 with the
  // private write image.
  void SetBootLoader(const Bytes& bytes, uint32_t base) {
    std::lock_guard lock(s().mutex());
    auto& st = s().state();
    st.m_nSlotLength[0] = static_cast<uint32_t>(bytes.size());
    st.m_nSlotBase[0] = base;
    std::copy(bytes.begin(), bytes.end(), st.m_byBootImage.begin());
  }
  void SetImage(const Bytes& bytes, uint32_t base) {
    std::lock_guard lock(s().mutex());
    auto& st = s().state();
    st.m_nSlotLength[1] = static_cast<uint32_t>(bytes.size());
    st.m_nSlotBase[1] = base;
    std::fill(st.m_byWriteImage.begin(), st.m_byWriteImage.end(), 0xFF);
    std::copy(bytes.begin(), bytes.end(), st.m_byWriteImage.begin());
  }

  // The target sends bytes; the receive loop handles them.
  void Reply(const Bytes& bytes, Replay how = Replay::kWhole) {
    if (how == Replay::kByteByByte) {
      for (uint8_t b : bytes) {
        port_->Feed({b});
        session_->ReceivePass();
      }
      return;
    }
    port_->Feed(bytes);
    session_->ReceivePass();
  }
  Bytes Sent() { return port_->TakeWritten(); }
  std::string Status() { return win_.Text(Surface::kStatus); }
  std::string Caption() { return win_.Text(Surface::kWriteCaption); }

 private:
  FakeWindow win_;
  HookClock clock_{win_};
  FakePort* port_;
  std::unique_ptr<DownloadSession> session_;
};

const Bytes kBoot = {0xAB, 0xCD};
const Bytes kImage = {0x11, 0x22, 0x33};
constexpr uint32_t kBase = 0x1000;

Bytes Block(const Bytes& data) {
  Bytes block = data;
  block.resize(128, 0xFF);
  return block;
}

// ---- The whole exchange, as the byte tables give it -------------------------

std::string ReplayName(Replay r) {
  switch (r) {
    case Replay::kWhole:
      return "Whole";
    case Replay::kByteByByte:
      return "ByteByByte";
    case Replay::kTrailingNoise:
      return "TrailingNoise";
  }
  return "?";
}

class ByteTable : public ::testing::TestWithParam<Replay> {};

TEST_P(ByteTable, NormalDownloadSendsExactlyTheTableBytes) {
  Rig rig;
  rig.SetBootLoader(kBoot, 0x0000F000);
  rig.SetImage(kImage, kBase);

  rig.s().OnWrite();
  EXPECT_EQ(Bytes({0x00}), rig.Sent());
  EXPECT_EQ(STATE_SYNC_BOOT, rig.state());
  EXPECT_EQ(text::kAbort, rig.Caption());
  EXPECT_EQ(100, rig.win().DueAt(TIMER_BOOT_SYNC));

  rig.win().Advance(100);
  EXPECT_EQ(Bytes({0x00, 0x00}), rig.Sent());
  EXPECT_EQ(STATE_BOOT_HANDSHAKE, rig.state());

  if (GetParam() == Replay::kByteByByte) {
    // One reply at a time, checking each answer and state of the table.
    struct Step {
      uint8_t in;
      Bytes out;
      int32_t state;
    };
    const Step steps[] = {
        {0x00, {0x55}, 1}, {0xAA, {0x00}, 2}, {0x00, {0x02}, 3},
        {0x02, {0xAB}, 4}, {0xAB, {0xCD}, 4}, {0xCD, {}, 10},
    };
    for (const Step& step : steps) {
      rig.Reply({step.in});
      EXPECT_EQ(step.out, rig.Sent()) << "after " << int(step.in);
      EXPECT_EQ(step.state, rig.state());
    }
  } else {
    rig.Reply({0x00, 0xAA, 0x00, 0x02, 0xAB, 0xCD});
    EXPECT_EQ(Bytes({0x55, 0x00, 0x02, 0xAB, 0xCD}), rig.Sent());
    EXPECT_EQ(STATE_BOOT_WAIT_START, rig.state());
  }

  // The boot loader runs: the link moves to 38400 bit/s. Anything behind the
  // 0xAA in the same read belongs to the old rate and is dropped.
  rig.port().ClearEvents();
  Bytes start = {0xAA};
  if (GetParam() == Replay::kTrailingNoise) start.push_back(0x00);
  rig.Reply(start);
  EXPECT_EQ((std::vector<PortEvent>{{PortEvent::kClose, 0, {}}, {PortEvent::kOpen, 38400, {}}}),
            rig.port().Events());
  EXPECT_EQ((std::vector<int>{50, 10}), rig.win().Sleeps());
  EXPECT_EQ(STATE_WRITE_POLL, rig.state());
  EXPECT_EQ(rig.win().NowMs() + 300, rig.win().DueAt(TIMER_WRITE_POLL));

  rig.win().Advance(300);
  EXPECT_EQ(Bytes({'3'}), rig.Sent());

  const Bytes header = {0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x80};
  if (GetParam() == Replay::kByteByByte) {
    rig.Reply({0x00});
    EXPECT_EQ(Bytes({'D'}), rig.Sent());
    EXPECT_EQ(STATE_WRITE_ACK1, rig.state());
    rig.Reply({0x00});
    EXPECT_EQ(Bytes({'D'}), rig.Sent());
    EXPECT_EQ(STATE_WRITE_ACK2, rig.state());
    rig.Reply({0x00});
    EXPECT_EQ(Bytes({0x88}), rig.Sent());
    EXPECT_EQ(STATE_WRITE_HEADER, rig.state());
    rig.Reply({0x00});
    EXPECT_EQ(header, rig.Sent());
    EXPECT_EQ(STATE_WRITE_DATA, rig.state());
    rig.Reply({0x11});
    EXPECT_EQ(Block(kImage), rig.Sent());
    EXPECT_EQ(STATE_WRITE_FINISH, rig.state());
  } else {
    rig.Reply({0x00, 0x00, 0x00, 0x00, 0x11});
    EXPECT_EQ(Cat({{'D', 'D', 0x88}, header, Block(kImage)}), rig.Sent());
    EXPECT_EQ(STATE_WRITE_FINISH, rig.state());
  }

  rig.port().ClearEvents();
  Bytes finish = {0x00};
  if (GetParam() == Replay::kTrailingNoise) finish = {0x00, 0x11, 0x60, 0x00};
  rig.Reply(finish);
  EXPECT_EQ(text::kWriteDone, rig.Status());
  EXPECT_EQ(text::kWrite, rig.Caption());
  EXPECT_EQ(STATE_IDLE, rig.state());
  EXPECT_EQ((std::vector<PortEvent>{{PortEvent::kClose, 0, {}}, {PortEvent::kOpen, 4800, {}}}),
            rig.port().Events());
  EXPECT_TRUE(rig.Sent().empty());

  // Polling has stopped for good.
  rig.win().Advance(5000);
  EXPECT_TRUE(rig.Sent().empty());
}

INSTANTIATE_TEST_SUITE_P(Replays, ByteTable,
                         ::testing::Values(Replay::kWhole, Replay::kByteByByte,
                                           Replay::kTrailingNoise),
                         [](const auto& info) { return ReplayName(info.param); });

// ---- Sync ---------------------------------------------------------------------

struct SyncCase {
  bool imitation;
  bool answered;
  Bytes afterTimer;
  int32_t syncState;
};

class Sync : public ::testing::TestWithParam<SyncCase> {};

TEST_P(Sync, SecondSyncStepDependsOnAnswerAndImitation) {
  const SyncCase& c = GetParam();
  Rig rig;
  rig.SetBootLoader(kBoot, 0);
  rig.SetImage(kImage, kBase);
  if (c.imitation) rig.s().OnCpuBootImitation();
  rig.s().OnWrite();
  EXPECT_EQ(Bytes({0x00}), rig.Sent());
  EXPECT_EQ(c.syncState, rig.state());
  if (c.answered) {
    rig.Reply({0x00, 0x5A, 0x00});  // counted, never answered
    EXPECT_TRUE(rig.Sent().empty());
    EXPECT_EQ(3, rig.s().state().m_nSyncCount);
  }
  rig.win().Advance(100);
  EXPECT_EQ(c.afterTimer, rig.Sent());
  EXPECT_EQ(STATE_BOOT_HANDSHAKE, rig.state());
  EXPECT_EQ(c.answered ? std::vector<int>{50} : std::vector<int>{}, rig.win().Sleeps());
  // The single writes stay single writes on the wire.
  auto writes = rig.port().Writes();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(c.answered ? Bytes({0x00, 0x00, 0x00}) : Bytes({0x00, 0x00}), writes.back());
}

INSTANTIATE_TEST_SUITE_P(
    Variants, Sync,
    ::testing::Values(SyncCase{false, false, {0x00, 0x00}, STATE_SYNC_BOOT},
                      SyncCase{true, false, {0x00, 0x00}, STATE_SYNC_IMITATION},
                      SyncCase{false, true, {'0', 0x00, 0x00, 0x00}, STATE_SYNC_BOOT},
                      SyncCase{true, true, {'3', 0x00, 0x00, 0x00}, STATE_SYNC_IMITATION}),
    [](const auto& info) {
      return std::string(info.param.answered ? "Answered" : "Silent") +
             (info.param.imitation ? "Imitation" : "");
    });

TEST(Sync, AbortDuringTheSyncPauseIsNotUndone) {
  // The pause between "0" and the three zeros releases the lock; an Abort
  // that lands there must not be overridden by the rest of the sync step.
  Rig rig;
  rig.SetBootLoader(kBoot, 0);
  rig.SetImage(kImage, kBase);
  rig.clock().onSleep = [&] { rig.s().Abort(); };
  rig.s().OnWrite();
  rig.Reply({0x00});
  rig.Sent();
  rig.win().Advance(100);
  EXPECT_EQ(Bytes({'0'}), rig.Sent());
  EXPECT_EQ(STATE_IDLE, rig.state());
  EXPECT_EQ(text::kWrite, rig.Caption());
}

// ---- Block write details -----------------------------------------------------

// Walks a session into the block write phase (RAM transfer: no boot phase).
void IntoHeaderState(Rig& rig, const Bytes& image, uint32_t base) {
  rig.SetImage(image, base);
  rig.s().OnRamTransfer();
  rig.s().OnWrite();
  rig.win().Advance(300);
  rig.Reply({0x00, 0x00, 0x00});
  rig.Sent();
  ASSERT_EQ(STATE_WRITE_HEADER, rig.state());
}

TEST(BlockWrite, HeaderThatDoesNotGoOutWholeFailsTheWrite) {
  Rig rig;
  IntoHeaderState(rig, Bytes(300, 1), kBase);
  rig.port().ShortWriteAfter(3);
  rig.Reply({0x00});
  EXPECT_EQ(text::kWriteError, rig.Status());
  EXPECT_EQ(STATE_IDLE, rig.state());
  // Whatever the loader makes of it, nothing is taken for a finish.
  rig.port().ClearShortWrite();
  rig.Reply({0x11, 0x11, 0x11, 0x00});
  EXPECT_EQ(text::kWriteError, rig.Status());
}

TEST(BlockWrite, ThreeHundredBytesGiveHeaderAndThreeBlocks) {
  Rig rig;
  Bytes image(300);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 1);
  IntoHeaderState(rig, image, kBase);

  rig.Reply({0x00});
  EXPECT_EQ(Bytes({0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x01, 0x80}), rig.Sent());
  EXPECT_EQ(384u, rig.s().link().TransferLength);

  rig.Reply({0x11});
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 128), rig.Sent());
  EXPECT_EQ("Writing: 128/300 (00001000)", rig.Status());
  EXPECT_EQ(STATE_WRITE_DATA, rig.state());
  rig.Reply({0x11});
  EXPECT_EQ(Bytes(image.begin() + 128, image.begin() + 256), rig.Sent());
  EXPECT_EQ("Writing: 256/300 (00001000)", rig.Status());
  rig.Reply({0x11});
  Bytes third(image.begin() + 256, image.end());
  EXPECT_EQ(44u, third.size());
  EXPECT_EQ(Block(third), rig.Sent());
  EXPECT_EQ("Writing: 300/300 (00001000)", rig.Status());
  EXPECT_EQ(STATE_WRITE_FINISH, rig.state());

  // A request after the last block ends without the finish text, and in the
  // boot loader's format because the state is already 0.
  rig.Reply({0x11});
  EXPECT_TRUE(rig.Sent().empty());
  EXPECT_EQ(STATE_IDLE, rig.state());
  EXPECT_EQ("Boot Load: 300/0 (00000000)", rig.Status());
  EXPECT_EQ(text::kWrite, rig.Caption());
}

TEST(BlockWrite, ExactlyOneBlockFinishesRightAfterIt) {
  Rig rig;
  Bytes image(128, 0x5A);
  IntoHeaderState(rig, image, 0x20000);
  rig.Reply({0x00});
  EXPECT_EQ(Bytes({0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80}), rig.Sent());
  rig.Reply({0x11});
  EXPECT_EQ(image, rig.Sent());
  EXPECT_EQ(STATE_WRITE_FINISH, rig.state());
}

TEST(BlockWrite, TargetErrorDuringHandshakeIsAnsweredAndKeepsTheState) {
  Rig rig;
  rig.SetImage(kImage, kBase);
  rig.s().OnRamTransfer();
  rig.s().OnWrite();
  rig.win().Advance(300);
  rig.Reply({0x00, 0x00});
  rig.Sent();
  ASSERT_EQ(STATE_WRITE_ACK2, rig.state());
  rig.Reply({0x60});
  EXPECT_EQ(Bytes({0x22}), rig.Sent());
  EXPECT_EQ(STATE_WRITE_ACK2, rig.state());
}

TEST(BlockWrite, BlockRequestBeforeTheHeaderIsNoise) {
  // Answering it would put the first block where the loader stores nothing,
  // and the write would still end as finished with that block missing.
  Rig rig;
  rig.SetImage(Bytes(300, 0x44), kBase);
  rig.s().OnRamTransfer();
  rig.s().OnWrite();
  rig.win().Advance(300);
  rig.Sent();
  for (int32_t expected : {STATE_WRITE_POLL, STATE_WRITE_ACK1, STATE_WRITE_ACK2, STATE_WRITE_HEADER}) {
    ASSERT_EQ(expected, rig.state());
    rig.Reply({0x11});
    EXPECT_TRUE(rig.Sent().empty()) << expected;
    EXPECT_EQ(expected, rig.state());
    rig.Reply({0x00});
    rig.Sent();
  }
  rig.Reply({0x11});
  EXPECT_EQ("Writing: 128/300 (00001000)", rig.Status());
}

TEST(BlockWrite, TargetErrorAfterHeaderFailsAndReturnsToBootRate) {
  Rig rig;
  IntoHeaderState(rig, kImage, kBase);
  rig.Reply({0x00});
  rig.Sent();
  rig.port().ClearEvents();
  // The bytes behind the error belong to a link that is being reset.
  rig.Reply({0x60, 0x11, 0x11});
  EXPECT_EQ(text::kWriteError, rig.Status());
  EXPECT_EQ(text::kWrite, rig.Caption());
  EXPECT_EQ(STATE_IDLE, rig.state());
  EXPECT_EQ((std::vector<PortEvent>{{PortEvent::kClose, 0, {}}, {PortEvent::kOpen, 4800, {}}}),
            rig.port().Events());
}

TEST(BlockWrite, AbortDuringPollingStopsThePolls) {
  Rig rig;
  rig.SetImage(kImage, kBase);
  rig.s().OnRamTransfer();
  rig.s().OnWrite();
  rig.win().Advance(300);
  rig.win().Advance(500);
  EXPECT_EQ(Bytes({'2', '3', '3'}), rig.Sent());
  rig.s().OnWrite();  // the button reads "中断" now
  EXPECT_EQ(text::kWrite, rig.Caption());
  EXPECT_EQ(STATE_IDLE, rig.state());
  rig.win().Advance(5000);
  EXPECT_TRUE(rig.Sent().empty());
  EXPECT_FALSE(rig.win().Armed(TIMER_WRITE_POLL));
}

TEST(BlockWrite, RamTransferSendsTwoThenReopensFastAndExecuteSendsOne) {
  Rig rig;
  rig.SetImage(kImage, kBase);
  rig.s().OnExecute();  // RAM transfer unchecked: nothing
  EXPECT_TRUE(rig.Sent().empty());
  EXPECT_TRUE(rig.s().OnRamTransfer());
  rig.s().OnWrite();
  EXPECT_EQ((std::vector<PortEvent>{{PortEvent::kWrite, 4800, {'2'}},
                                    {PortEvent::kClose, 0, {}},
                                    {PortEvent::kOpen, 38400, {}}}),
            rig.port().Events());
  EXPECT_EQ((std::vector<int>{50, 10}), rig.win().Sleeps());
  EXPECT_EQ(STATE_WRITE_POLL, rig.state());
  rig.Sent();
  rig.win().Advance(300);
  rig.Reply({0x00, 0x00, 0x00, 0x00, 0x11, 0x00});
  EXPECT_EQ(text::kWriteDone, rig.Status());
  rig.Sent();
  rig.s().OnExecute();
  EXPECT_EQ(Bytes({'1'}), rig.Sent());
  EXPECT_EQ(text::kProgramRunning, rig.Status());
}

// ---- Boot phase details -------------------------------------------------------

TEST(Boot, ProgressCountsConfirmedBytesBeforeEachEcho) {
  Rig rig;
  Bytes loader = {0x10, 0x20, 0x30};
  rig.SetBootLoader(loader, 0x00FFA000);
  rig.SetImage(kImage, kBase);
  rig.s().OnWrite();
  rig.win().Advance(100);
  rig.Reply({0x00, 0xAA, 0x00, 0x03});
  EXPECT_EQ(Bytes({0x00, 0x00, 0x00, 0x55, 0x00, 0x03, 0x10}), rig.Sent());
  rig.win().ClearHistory();
  rig.Reply({0x10, 0x20, 0x30});
  EXPECT_EQ((std::vector<std::string>{"Boot Load: 0/3 (00FFA000)", "Boot Load: 1/3 (00FFA000)",
                                      "Boot Load: 2/3 (00FFA000)"}),
            rig.win().History(Surface::kStatus));
  EXPECT_EQ(Bytes({0x20, 0x30}), rig.Sent());
  EXPECT_EQ(STATE_BOOT_WAIT_START, rig.state());
  // Anything but 0xAA keeps waiting.
  rig.Reply({0x55, 0x00});
  EXPECT_EQ(STATE_BOOT_WAIT_START, rig.state());
  EXPECT_TRUE(rig.Sent().empty());
}

TEST(Boot, OneByteLoaderSendsSizeZeroOne) {
  Rig rig;
  rig.SetBootLoader({0x7E}, 0);
  rig.SetImage(kImage, kBase);
  rig.s().OnWrite();
  rig.win().Advance(100);
  rig.Sent();
  rig.Reply({0x00, 0xAA, 0x00, 0x01, 0x7E});
  EXPECT_EQ(Bytes({0x55, 0x00, 0x01, 0x7E}), rig.Sent());
  EXPECT_EQ(STATE_BOOT_WAIT_START, rig.state());
}

TEST(Boot, BlockRequestInHandshakeIsNoise) {
  // Boot mode never asks for a block: answering one sent image bytes into
  // the handshake, and "11 00" then ended as a finished write.
  Rig rig;
  rig.SetBootLoader({1, 2, 3, 4, 5}, 0);
  rig.SetImage(Bytes(200, 7), kBase);
  rig.s().OnWrite();
  rig.win().Advance(100);
  rig.Sent();
  rig.Reply({0x11, 0x00});
  EXPECT_EQ(Bytes({0x55}), rig.Sent());
  EXPECT_EQ(STATE_BOOT_HANDSHAKE, rig.state());
  EXPECT_NE(text::kWriteDone, rig.Status());
}

TEST(Boot, RefusedBootModeReturnsToSlowRateAndFreesTheButton) {
  for (uint8_t refusal : {uint8_t{0x01}, uint8_t{0xFF}}) {
    Rig rig;
    rig.SetBootLoader(kBoot, 0);
    rig.SetImage(kImage, kBase);
    rig.s().OnWrite();
    rig.win().Advance(100);
    rig.port().ClearEvents();
    rig.Reply({refusal});
    EXPECT_EQ(STATE_IDLE, rig.state());
    EXPECT_EQ(text::kWrite, rig.Caption());
    EXPECT_EQ((std::vector<PortEvent>{{PortEvent::kClose, 0, {}}, {PortEvent::kOpen, 4800, {}}}),
              rig.port().Events());
  }
}

TEST(Boot, HandshakeIgnoresOtherBytes) {
  Rig rig;
  rig.SetBootLoader(kBoot, 0);
  rig.SetImage(kImage, kBase);
  rig.s().OnWrite();
  rig.win().Advance(100);
  rig.Sent();
  rig.Reply({0x42, 0x13, 0x80});
  EXPECT_TRUE(rig.Sent().empty());
  EXPECT_EQ(STATE_BOOT_HANDSHAKE, rig.state());
}

// ---- The Write button's refusals ---------------------------------------------

TEST(WriteButton, RefusesWithoutImageOrLoader) {
  Rig rig;
  rig.s().OnWrite();
  EXPECT_EQ(text::kNoImage, rig.Status());
  EXPECT_TRUE(rig.Sent().empty());

  rig.SetImage(kImage, kBase);
  rig.s().OnWrite();
  EXPECT_EQ(text::kBootLoaderBad, rig.Status());
  EXPECT_EQ(text::kWrite, rig.Caption());
  EXPECT_EQ(STATE_IDLE, rig.state());
  EXPECT_TRUE(rig.Sent().empty());

  {
    std::lock_guard lock(rig.s().mutex());
    rig.s().state().m_nSlotLength[0] = kBootImageSize + 1;  // an oversized loader
  }
  rig.s().OnWrite();
  EXPECT_EQ(text::kBootLoaderBad, rig.Status());
  EXPECT_TRUE(rig.Sent().empty());
}

TEST(WriteButton, IgnoredWhileALoadRuns) {
  Rig rig;
  rig.SetBootLoader(kBoot, 0);
  rig.SetImage(kImage, kBase);
  {
    std::lock_guard lock(rig.s().mutex());
    rig.s().state().m_bReady = 0;
  }
  rig.s().OnWrite();
  EXPECT_TRUE(rig.Sent().empty());
  EXPECT_EQ(STATE_IDLE, rig.state());
}

// ---- Mends --------------------------------------------------------------------

TEST(Mends, ShortLastBlockNeverEndsAsFinished) {
  Rig rig;
  IntoHeaderState(rig, kImage, kBase);
  rig.Reply({0x00});
  rig.Sent();
  rig.port().ShortWriteAfter(100);
  rig.Reply({0x11, 0x00});
  EXPECT_EQ(text::kWriteError, rig.Status());
  EXPECT_EQ(STATE_IDLE, rig.state());
  EXPECT_EQ(text::kWrite, rig.Caption());
  for (auto& s : rig.win().History(Surface::kStatus)) EXPECT_NE(text::kWriteDone, s);
}

TEST(Mends, ShortMiddleBlockEndsAsFailedAtOnce) {
  Rig rig;
  IntoHeaderState(rig, Bytes(300, 0x33), kBase);
  rig.Reply({0x00});
  rig.Sent();
  rig.port().ShortWriteAfter(128 + 10);
  rig.Reply({0x11});
  EXPECT_EQ("Writing: 128/300 (00001000)", rig.Status());
  rig.Reply({0x11});
  EXPECT_EQ(text::kWriteError, rig.Status());
  EXPECT_EQ(255, rig.s().Snapshot().writeError);
  EXPECT_EQ(STATE_IDLE, rig.state());
}

struct EchoCase {
  size_t badAt;
  const char* status;
};

class EchoMismatch : public ::testing::TestWithParam<EchoCase> {};

TEST_P(EchoMismatch, EndsTheUploadAtOnceSayingWhere) {
  Rig rig;
  Bytes loader = {0xA0, 0xA1, 0xA2, 0xA3};
  rig.SetBootLoader(loader, 0x8000);
  rig.SetImage(kImage, kBase);
  rig.s().OnWrite();
  rig.win().Advance(100);
  rig.Reply({0x00, 0xAA, 0x00, 0x04});
  rig.Sent();
  Bytes echoes(loader.begin(), loader.begin() + static_cast<long>(GetParam().badAt));
  echoes.push_back(0x00);  // the wrong one
  rig.Reply(echoes);
  EXPECT_EQ(GetParam().status, rig.Status());
  EXPECT_EQ(STATE_IDLE, rig.state());
  EXPECT_EQ(text::kWrite, rig.Caption());
  // Nothing more goes out after the bad echo, and a late 0xAA starts nothing.
  Bytes sent = rig.Sent();
  EXPECT_EQ(GetParam().badAt, sent.size());
  rig.Reply({0xAA});
  EXPECT_TRUE(rig.Sent().empty());
  EXPECT_EQ(STATE_IDLE, rig.state());
}

INSTANTIATE_TEST_SUITE_P(FirstMiddleLast, EchoMismatch,
                         ::testing::Values(EchoCase{0, "ｴｺｰ不一致: 0/4 (00008000)"},
                                           EchoCase{2, "ｴｺｰ不一致: 2/4 (00008000)"},
                                           EchoCase{3, "ｴｺｰ不一致: 3/4 (00008000)"}),
                         [](const auto& info) { return "Byte" + std::to_string(info.param.badAt); });

TEST(Mends, FailedReopenAfterBootStartIsReported) {
  Rig rig;
  rig.SetBootLoader(kBoot, 0);
  rig.SetImage(kImage, kBase);
  rig.s().OnWrite();
  rig.win().Advance(100);
  rig.Reply({0x00, 0xAA, 0x00, 0x02, 0xAB, 0xCD});
  rig.port().FailOpens(1);
  rig.Reply({0xAA});
  EXPECT_EQ(text::kReopenFailed, rig.Status());
  EXPECT_EQ(text::kWrite, rig.Caption());
  EXPECT_EQ(STATE_IDLE, rig.state());
  EXPECT_FALSE(rig.win().Armed(TIMER_WRITE_POLL));
}

TEST(Mends, FailedReopenInRamTransferIsReported) {
  Rig rig;
  rig.SetImage(kImage, kBase);
  rig.s().OnRamTransfer();
  rig.port().FailOpens(1);
  rig.s().OnWrite();
  EXPECT_EQ(text::kReopenFailed, rig.Status());
  EXPECT_EQ(text::kWrite, rig.Caption());
  EXPECT_EQ(STATE_IDLE, rig.state());
  // The next press tries again (the port is reopened by the RAM transfer).
  rig.s().OnWrite();
  EXPECT_EQ(STATE_WRITE_POLL, rig.state());
}

TEST(Mends, CaptionReadsAbortExactlyWhileATransferRuns) {
  // Every ending: the caption must match "pressing aborts".
  Rig rig;
  IntoHeaderState(rig, Bytes(300, 1), kBase);
  EXPECT_EQ(text::kAbort, rig.Caption());
  rig.Reply({0x00, 0x11, 0x11, 0x11});
  EXPECT_EQ(STATE_WRITE_FINISH, rig.state());
  EXPECT_EQ(text::kAbort, rig.Caption());
  rig.Reply({0x11});  // the ending through a late block request
  EXPECT_EQ(STATE_IDLE, rig.state());
  EXPECT_EQ(text::kWrite, rig.Caption());
}

TEST(Mends, CpuSelectDuringATransferDoesNothing) {
  Rig rig;
  IntoHeaderState(rig, Bytes(300, 1), kBase);
  EXPECT_FALSE(rig.s().OnCpuSelect("OTHER.MOT"));
  auto v = rig.s().Snapshot();
  EXPECT_EQ(300u, v.length);
  EXPECT_EQ(STATE_WRITE_HEADER, v.state);
  EXPECT_TRUE(rig.win().Messages().empty());
}

TEST(Mends, CpuSelectWithEmptyNameAsksForAFile) {
  Rig rig;
  EXPECT_FALSE(rig.s().OnCpuSelect(""));
  EXPECT_EQ((std::vector<testing::Message>{{text::kSpecifyBootFile, text::kFileErrorCaption}}),
            rig.win().Messages());
}

// ---- Receive ring -------------------------------------------------------------

TEST(ReceiveRing, NoByteIsLostWhenMoreThanTheRingWaits) {
  for (size_t burst : {size_t{1499}, size_t{1500}, size_t{2000}, size_t{4501}}) {
    Rig rig;
    rig.SetBootLoader(kBoot, 0);
    rig.SetImage(kImage, kBase);
    rig.s().OnWrite();  // state 255: every byte is counted
    rig.Reply(Bytes(burst, 0x00));
    EXPECT_EQ(static_cast<int32_t>(burst), rig.s().state().m_nSyncCount) << burst;
  }
}

TEST(ReceiveRing, BytesInIdleAreDroppedAndNeverHandledLater) {
  Rig rig;
  rig.SetBootLoader(kBoot, 0);
  rig.SetImage(kImage, kBase);
  rig.Reply({0x00, 0x00, 0x00});
  rig.s().OnWrite();
  rig.Reply({});
  EXPECT_EQ(0, rig.s().state().m_nSyncCount);
}

TEST(ReceiveRing, WrapsInOrderAcrossTheRingEnd) {
  // Move the indices near the end, then run a boot upload whose echoes
  // straddle the wrap: a byte out of order would show as a mismatch.
  Rig rig;
  Bytes loader(64);
  for (size_t i = 0; i < loader.size(); ++i) loader[i] = static_cast<uint8_t>(0x80 + i);
  rig.SetBootLoader(loader, 0);
  rig.SetImage(kImage, kBase);
  rig.Reply(Bytes(1480, 0x00));  // dropped in idle, but moves the indices
  rig.s().OnWrite();
  rig.win().Advance(100);
  rig.Reply({0x00, 0xAA, 0x00, 0x40});
  for (uint8_t b : loader) rig.Reply({b});
  EXPECT_EQ(STATE_BOOT_WAIT_START, rig.state());
  EXPECT_EQ("Boot Load: 63/64 (00000000)", rig.Status());
}

// ---- The receive thread --------------------------------------------------------

TEST(ReceiveThread, HandlesBytesAndStopsWhenAsked) {
  Rig rig;
  rig.SetBootLoader(kBoot, 0);
  rig.SetImage(kImage, kBase);
  rig.s().StartReceiveThread();
  rig.s().OnWrite();
  rig.win().Advance(100);
  rig.Sent();
  rig.port().Feed({0x00, 0xAA});
  for (int i = 0; i < 2000 && rig.state() != STATE_BOOT_SIZE_HIGH; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(STATE_BOOT_SIZE_HIGH, rig.state());
  EXPECT_EQ(Bytes({0x55, 0x00}), rig.Sent());
  EXPECT_FALSE(rig.s().ThreadExited());
  rig.s().JoinReceiveThread();
  EXPECT_TRUE(rig.s().ThreadExited());
}

TEST(ReceiveThread, ClosedPortNeitherSpinsNorBlocksTheStop) {
  Rig rig;
  rig.s().ClosePort();
  rig.s().StartReceiveThread();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  rig.s().JoinReceiveThread();
  EXPECT_TRUE(rig.s().ThreadExited());
}

}  // namespace
}  // namespace porten
