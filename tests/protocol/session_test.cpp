// The session: the machine run on a scripted port with a manual clock, the
// loads on real files, and the link thread against a line that stalls.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "core/texts.h"
#include "protocol/download_session.h"
#include "protocol/replay.h"
#include "support/fake_port.h"
#include "support/fake_window.h"
#include "support/image_writer.h"

namespace porten {
namespace {

using namespace testing;

class SessionDriver final : public Driver {
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

  std::string Feed(const In& in, bool byteByByte) override {
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
  int32_t State() override { return session->Snapshot().state; }
  std::string Status() override { return win.Text(Surface::kStatus); }
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
                         ReplayName);

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
