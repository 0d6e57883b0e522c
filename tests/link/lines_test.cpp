// The modem-line sequences around a whole boot-mode write on a scripted port
// that records every open, rate change, line change and write, with the
// waits on the manual clock in between, the sequences run where porten-cli
// write runs them: before the first sync byte and once the write has ended.
// (Their parser's table is the command line's.)
#include <gtest/gtest.h>

#include "link/line_keeping_port.h"
#include "link/line_sequence.h"
#include "protocol/download_session.h"
#include "support/fakes.h"
#include "support/image_writer.h"

namespace porten {
namespace {

using namespace testing;

// What the device under the line-keeping port and the clock saw, in order.
void Note(std::string& log, const std::string& what) { log += (log.empty() ? "" : ", ") + what; }

// The scripted port with modem lines, and the manual clock. Writes in a row
// are one "tx". Every open of the device ends with "keep".
class Recording final : public FakePort, public Clock {
 public:
  Recording(FakeWindow& win, std::string& log, bool refuseRates) : refuseRates(refuseRates), win_(win), log_(log) {}
  void Sleep(int ms) override { Note(log_, "wait " + std::to_string(ms)), win_.Sleep(ms); }
  int64_t NowMs() override { return win_.NowMs(); }
  void Close() override { IsOpen() ? Note(log_, "close") : void(), FakePort::Close(); }
  size_t Write(const uint8_t* data, size_t count, int timeoutMs) override {
    if (!log_.ends_with("tx")) Note(log_, "tx");
    return FakePort::Write(data, count, timeoutMs);
  }
  bool SetModemLine(ModemLine line, bool asserted, std::string&) override {
    return Note(log_, (line == ModemLine::kDtr ? "dtr=" : "rts=") + std::to_string(asserted)), true;
  }
  bool ChangeRate(int baud) override {  // the fake's open discards the input, as the change must
    return Note(log_, "rate " + std::to_string(baud)), !refuseRates && FakePort::Open(LastPath(), baud, 1, 0);
  }
  bool KeepLinesOnClose() override { return Note(log_, "keep"), true; }
  const bool refuseRates;

 private:
  FakeWindow& win_;
  std::string& log_;
};

struct Board {
  const char* name;
  const char* before;  // a sequence, or a preset for both
  const char* after;
  uint8_t lastAnswer;  // 0x00 written, 0x60 the loader's error
  bool refuseRate;
  Outcome outcome;
  std::string log;
};

class LinesAroundAWrite : public ::testing::TestWithParam<Board> {};

TEST_P(LinesAroundAWrite, BeforeTheSyncNoneAcrossTheRateChangeAfterTheEnd) {
  const Board& b = GetParam();
  FakeWindow win;
  std::string log;
  auto* device = new Recording(win, log, b.refuseRate);
  TempDir dir;
  DownloadSession session(win, *device, std::make_unique<LineKeepingPort>(std::unique_ptr<Port>(device)), dir.path());
  win.Bind(&session);
  ASSERT_TRUE(session.OpenInitialPort("/dev/ttyFAKE0"));
  WriteTextFile(dir.File("LOADER.MOT"), MakeSRecords({{0xF000, {0xAB, 0xCD}}}, 2));
  WriteTextFile(dir.File("image.mot"), MakeSRecords({{0x1000, {0x11, 0x22, 0x33}}}, 1));
  session.OnCpuSelect("LOADER.MOT");
  win.Advance(100);
  session.OnBrowse(dir.File("image.mot"));
  win.Advance(100);
  const LinePreset* preset = FindLinePreset(b.before);
  auto run = [&](const char* text) {
    std::string why;
    if (!RunLineSequence(session.port(), *device, ParseLineSequence(text, why).value(), why)) Note(log, why);
  };
  run(preset ? preset->before : b.before);
  session.OnWrite();
  // {}: 300 ms on, for the boot sync's timer or the write poll's.
  for (auto rx : std::vector<std::vector<uint8_t>>{
           {}, {0x00, 0xAA, 0x00, 0x02, 0xAB}, {0xCD}, {0xAA}, {}, {0, 0, 0, 0}, {0x11}, {b.lastAnswer}}) {
    if (rx.empty()) win.Advance(300);
    device->Feed(rx);
    session.Pump();
  }
  EXPECT_EQ(b.outcome, session.Snapshot().outcome);
  run(preset ? preset->after : b.after);
  EXPECT_EQ(b.log, log);
}

INSTANTIATE_TEST_SUITE_P(
    Presets, LinesAroundAWrite,
    ::testing::Values(
        Board{"DtrModeWritten", "dtr-mode", "", 0x00, false, Outcome::kWritten,
              "keep, dtr=1, rts=1, wait 100, rts=0, wait 100, tx, wait 50, rate 38400, wait 10, tx, "
              "rate 4800, dtr=0, rts=1, wait 100, rts=0"},
        Board{"RtsModeFailed", "rts-mode", "", 0x60, false, Outcome::kWriteError,
              "keep, rts=1, dtr=1, wait 100, dtr=0, wait 100, tx, wait 50, rate 38400, wait 10, tx, "
              "rate 4800, rts=0, dtr=1, wait 100, dtr=0"},
        // Reopened for real, the device would pulse the lines: closed instead.
        Board{"RateRefused", "dtr=1", "dtr=0", 0x00, true, Outcome::kReopenFailed,
              "keep, dtr=1, tx, wait 50, rate 38400, close, step 1 \"dtr=0\": the port is closed"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace porten
