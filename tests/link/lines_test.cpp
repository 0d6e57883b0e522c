// The modem-line sequences: their parser, and a whole boot-mode write on a
// scripted port that records every open, rate change, line change and write
// with its time on the manual clock, the sequences run where porten-cli
// write runs them: before the first sync byte and once the write has ended.
#include <gtest/gtest.h>

#include <cstdio>

#include "link/line_keeping_port.h"
#include "link/line_sequence.h"
#include "protocol/download_session.h"
#include "support/fakes.h"
#include "support/image_writer.h"

namespace porten {
namespace {

using namespace testing;
using Kind = LineStep::Kind;

struct Parse {
  const char* text;
  LineSequence steps;  // or, when why is set, nothing
  const char* why = nullptr;
};

TEST(LineSequence, ParsesStepsAndNamesTheFirstBadOne) {
  const Parse rows[] = {
      {"dtr=1,rts=1,wait=100,rts=0", {{Kind::kDtr, 1}, {Kind::kRts, 1}, {Kind::kWait, 100}, {Kind::kRts, 0}}},
      {" dtr=0 , wait=0,wait=10000", {{Kind::kDtr, 0}, {Kind::kWait, 0}, {Kind::kWait, 10000}}},
      {"", {}, "the sequence is empty"},
      {"dtr=1,,rts=0", {}, "step 2 is empty"},
      {"dtr=1,", {}, "step 2 is empty"},
      {"dtr=2", {}, "step 1 \"dtr=2\": the level is 1 (asserted) or 0 (cleared)"},
      {"rts=", {}, "step 1 \"rts=\": the level is 1 (asserted) or 0 (cleared)"},
      {"dtr=1,wait=1s", {}, "step 2 \"wait=1s\": the wait is whole milliseconds from 0 to 10000"},
      {"wait=10001", {}, "step 1 \"wait=10001\": the wait is whole milliseconds from 0 to 10000"},
      {"wait=-5", {}, "step 1 \"wait=-5\": the wait is whole milliseconds from 0 to 10000"},
      {"rts=0,cts=1", {}, "step 2 \"cts=1\": not a step; the steps are dtr=1, dtr=0, rts=1, rts=0 and wait=MS"},
      {"DTR=1", {}, "step 1 \"DTR=1\": not a step; the steps are dtr=1, dtr=0, rts=1, rts=0 and wait=MS"},
      {"dtr", {}, "step 1 \"dtr\": not a step; the steps are dtr=1, dtr=0, rts=1, rts=0 and wait=MS"},
  };
  for (const Parse& row : rows) {
    std::string why;
    const auto steps = ParseLineSequence(row.text, why);
    EXPECT_EQ(row.why == nullptr, steps.has_value()) << row.text;
    EXPECT_EQ(row.why ? row.why : "", why) << row.text;
    EXPECT_EQ(row.steps, steps.value_or(LineSequence{})) << row.text;
  }
  for (const LinePreset& p : LinePresets()) {
    for (const char* text : {p.before, p.after}) {
      std::string why;
      EXPECT_EQ(text, LineSequenceText(ParseLineSequence(text, why).value_or(LineSequence{}))) << why;
    }
  }
}

// The device under the line-keeping port: a scripted port that also has
// modem lines, and a log of "TIME what" on the manual clock. Writes in a row
// are one "tx".
class Recording final : public Port {
 public:
  Recording(FakePort& fake, Clock& clock, std::vector<std::string>& log)
      : fake_(fake), clock_(clock), log_(log) {}
  bool Open(const std::string& path, int baud, int stop, int parity) override {
    return Log("open " + std::to_string(baud)), fake_.Open(path, baud, stop, parity);
  }
  void Close() override { fake_.IsOpen() ? Log("close") : void(), fake_.Close(); }
  bool IsOpen() const override { return fake_.IsOpen(); }
  size_t Write(const uint8_t* data, size_t count, int timeoutMs) override {
    if (log_.empty() || log_.back().ends_with(" tx") == false) Log("tx");
    return fake_.Write(data, count, timeoutMs);
  }
  void InterruptWrites() override { fake_.InterruptWrites(); }
  size_t WaitReadable(int timeoutMs) override { return fake_.WaitReadable(timeoutMs); }
  void Interrupt() override { fake_.Interrupt(); }
  size_t Read(uint8_t* buffer, size_t max) override { return fake_.Read(buffer, max); }
  bool Lost() const override { return fake_.Lost(); }
  int Baud() const override { return fake_.Baud(); }
  OpenError LastOpenError() const override { return fake_.LastOpenError(); }
  bool HasModemLines() const override { return true; }
  bool SetModemLine(ModemLine line, bool asserted, std::string&) override {
    return Log((line == ModemLine::kDtr ? "dtr=" : "rts=") + std::to_string(asserted)), true;
  }
  bool ChangeRate(int baud) override {
    Log("rate " + std::to_string(baud));
    // The fake discards its input at an open, as the change must.
    return !refuseRates && fake_.Open(fake_.LastPath(), baud, 1, 0);
  }
  bool KeepLinesOnClose() override { return Log("keep"), true; }
  bool refuseRates = false;

 private:
  void Log(const std::string& what) { log_.push_back(std::to_string(clock_.NowMs()) + " " + what); }
  FakePort& fake_;
  Clock& clock_;
  std::vector<std::string>& log_;
};

TEST(LineKeepingPort, ClosedUntilTheNextOpenWhichNeverReopensTheDevice) {
  FakeWindow clock;
  FakePort fake;
  std::vector<std::string> log;
  auto* recording = new Recording(fake, clock, log);
  LineKeepingPort port{std::unique_ptr<Port>(recording)};
  ASSERT_TRUE(port.Open("/dev/ttyFAKE0", 4800, 1, 0));
  port.Close();
  std::string why;
  const uint8_t byte = 0x00;
  EXPECT_EQ(std::tuple(false, 0, size_t{0}, false), std::tuple(port.IsOpen(), port.Baud(), port.Write(&byte, 1, 10),
                                                                port.SetModemLine(ModemLine::kDtr, true, why)));
  EXPECT_EQ("the port is closed", why);
  recording->refuseRates = true;
  EXPECT_FALSE(port.Open("/dev/ttyFAKE0", 38400, 1, 0));
  EXPECT_EQ("the device does not change to 38400 bit/s in place", port.LastOpenError().detail);
  EXPECT_EQ((std::vector<std::string>{"0 open 4800", "0 keep", "0 rate 38400", "0 close"}), log);
}

struct Board {
  const char* name;
  const char* before;
  const char* after;
  uint8_t lastAnswer;  // 0x00 written, 0x60 the loader's error
  Outcome outcome;
  std::vector<std::string> log;
};

class LinesAroundAWrite : public ::testing::TestWithParam<Board> {};

TEST_P(LinesAroundAWrite, BeforeTheSyncNoneAcrossTheRateChangeAfterTheEnd) {
  const Board& b = GetParam();
  FakeWindow win;
  FakePort fake;
  std::vector<std::string> log;
  auto* recording = new Recording(fake, win, log);
  TempDir dir;
  DownloadSession session(win, win, std::make_unique<LineKeepingPort>(std::unique_ptr<Port>(recording)),
                          dir.path());
  win.Bind(&session);
  ASSERT_TRUE(session.OpenInitialPort("/dev/ttyFAKE0"));
  WriteTextFile(dir.File("LOADER.MOT"), MakeSRecords({{0xF000, {0xAB, 0xCD}}}, 2));
  WriteTextFile(dir.File("image.mot"), MakeSRecords({{0x1000, {0x11, 0x22, 0x33}}}, 1));
  session.OnCpuSelect("LOADER.MOT");
  win.Advance(100);
  session.OnBrowse(dir.File("image.mot"));
  win.Advance(100);
  auto run = [&](const char* text) {
    std::string why;
    EXPECT_TRUE(RunLineSequence(session.port(), win, ParseLineSequence(text, why).value(), why)) << why;
  };
  auto settle = [&] {
    session.Pump();
    for (int i = 0; i < 100 && session.PortActionsPending(); ++i) win.Advance(10), session.Pump();
  };
  run(b.before);
  session.OnWrite();
  settle();
  for (auto step : std::vector<std::vector<uint8_t>>{
           {}, {0x00, 0xAA, 0x00, 0x02, 0xAB}, {0xCD}, {0xAA}, {}, {0, 0, 0, 0}, {0x11}, {b.lastAnswer}}) {
    if (step.empty()) {  // the boot sync's or the write poll's timer
      win.Advance(static_cast<int>(std::max(win.DueAt(TIMER_BOOT_SYNC), win.DueAt(TIMER_WRITE_POLL)) -
                                   win.NowMs()));
    }
    fake.Feed(step);
    settle();
  }
  EXPECT_EQ(b.outcome, session.Snapshot().outcome);
  run(b.after);
  EXPECT_EQ(b.log, log);
}

INSTANTIATE_TEST_SUITE_P(
    Presets, LinesAroundAWrite,
    ::testing::Values(
        Board{"DtrModeWritten", "dtr=1,rts=1,wait=100,rts=0,wait=100", "dtr=0,rts=1,wait=100,rts=0", 0x00,
              Outcome::kWritten,
              {"0 open 4800", "0 keep", "200 dtr=1", "200 rts=1", "300 rts=0", "400 tx", "550 rate 38400",
               "860 tx", "860 rate 4800", "860 dtr=0", "860 rts=1", "960 rts=0"}},
        Board{"RtsModeFailed", "rts=1,dtr=1,wait=100,dtr=0,wait=100", "rts=0,dtr=1,wait=100,dtr=0", 0x60,
              Outcome::kWriteError,
              {"0 open 4800", "0 keep", "200 rts=1", "200 dtr=1", "300 dtr=0", "400 tx", "550 rate 38400",
               "860 tx", "860 rate 4800", "860 rts=0", "860 dtr=1", "960 dtr=0"}},
        Board{"HandWritten", "wait=5,rts=1,wait=20,rts=0", "dtr=0", 0x00, Outcome::kWritten,
              {"0 open 4800", "0 keep", "205 rts=1", "225 rts=0", "225 tx", "375 rate 38400", "685 tx",
               "685 rate 4800", "685 dtr=0"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace porten
