// The end-to-end rig: the simulated board on a real pty, and the tool as the
// dialog has it (a session with its receive thread, and the console loop as
// its window thread on the test's thread) or as porten-cli write in-process.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <sstream>

#include "cli/commands.h"
#include "cli/console_loop.h"
#include "core/texts.h"
#include "link/termios_port.h"
#include "protocol/download_session.h"
#include "sim_board.h"
#include "support/image_writer.h"

namespace porten::testing {

using Bytes = std::vector<uint8_t>;

// What the board's memory holds after a write: whole 128-byte blocks.
inline Bytes Padded(Bytes b) {
  b.resize((b.size() + 127) / 128 * 128, 0xFF);
  return b;
}

class Station {
 public:
  explicit Station(const std::string& startDir)
      : session_(loop_, SystemClock(), std::make_unique<TermiosPort>(), startDir) {
    loop_.Bind(&session_);
    session_.OnOutcome([this] { loop_.Wake(); });
  }
  ~Station() { session_.JoinReceiveThread(); }

  bool Open(const std::string& path) {
    if (!session_.OpenInitialPort(path)) return false;
    session_.StartReceiveThread();
    return true;
  }
  // Runs the window thread until pred holds or ms have passed.
  bool Until(const std::function<bool()>& pred, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!loop_.RunUntil(pred, std::min(end, std::chrono::steady_clock::now() +
                                                   std::chrono::milliseconds(5))) &&
           std::chrono::steady_clock::now() < end) {
    }
    return pred();
  }
  // A load; "" when it went through, else the message shown.
  std::string Load(bool bootLoader, const std::string& path) {
    const size_t before = loop_.Messages().size();
    bootLoader ? session_.OnCpuSelect(path) : session_.OnBrowse(path);
    Until([&] { return session_.Snapshot().ready; }, 30000);
    const auto messages = loop_.Messages();
    return messages.size() > before ? messages.back().text : "";
  }
  // Presses Write; the outcome once the download has ended.
  Outcome Download() {
    session_.OnWrite();
    Until([&] { return session_.Snapshot().outcome != Outcome::kNone; }, 60000);
    return session_.Snapshot().outcome;
  }
  std::string Text(Surface s) const { return loop_.Text(s); }
  DownloadSession& session() { return session_; }

 private:
  cli::ConsoleLoop loop_;
  DownloadSession session_;
};

// A directory with a boot loader and two images, and boards.
class Bench : public ::testing::Test {
 public:
  static constexpr uint32_t kLoaderBase = 0x00FFE000, kImageBase = 0x00002000;
  static constexpr size_t kLoaderSize = 200, kImageSize = 1000;  // eight blocks, the last padded
  static constexpr int kBlocks = 8;

 protected:
  void SetUp() override {
    ASSERT_TRUE(WriteTextFile(dir_.File("LOADER.MOT"), MakeSRecords({{kLoaderBase, loader_}}, 2)));
    ASSERT_TRUE(WriteTextFile(dir_.File("image.mot"), MakeSRecords({{kImageBase, image_}}, 3)));
    ASSERT_TRUE(WriteTextFile(dir_.File("next.mot"), MakeSRecords({{kImageBase, next_}}, 1)));
  }
  void StartBoard(sim::BoardOptions o = {}, const std::string& link = "ttyBOARD") {
    o.linkPath = dir_.File(link);
    boards_.push_back(std::make_unique<sim::SimBoard>(o));
    ASSERT_TRUE(boards_.back()->Start()) << boards_.back()->Error();
  }
  sim::SimBoard& board() { return *boards_.back(); }
  Bytes Rom() { return board().RomRange(kImageBase, kBlocks * 128); }

  // The dialog: port open, boot loader and image loaded.
  void StartStation() {
    station_ = std::make_unique<Station>(dir_.path());
    ASSERT_TRUE(station_->Open(board().PortPath()));
    ASSERT_EQ("", station_->Load(true, "LOADER.MOT"));
    ASSERT_EQ("", station_->Load(false, dir_.File("image.mot")));
  }
  // The operator resets the board and writes another image with the same
  // tool: it must go through, byte for byte.
  void ExpectNextDownloadWorks() {
    board().ClearFaults();
    board().Reset();
    ASSERT_EQ("", station_->Load(false, dir_.File("next.mot")));
    ASSERT_EQ(Outcome::kWritten, station_->Download()) << station_->Text(Surface::kStatus);
    EXPECT_EQ(text::kWrite, station_->Text(Surface::kWriteCaption));
    EXPECT_EQ(Padded(next_), Rom());
  }

  struct Cli {
    int status = -1;
    std::string out, err;  // out: its last line
  };
  // porten-cli write in this process; "$" in an argument is the directory,
  // "$BOARD" the last board.
  Cli RunCli(std::vector<std::string> args) {
    for (auto& a : args) {
      if (a == "$BOARD") {
        a = board().PortPath();
      } else if (!a.empty() && a[0] == '$') {
        a = dir_.File(a.substr(1));
      }
    }
    args.insert(args.begin(), {"porten-cli", "write", "-q"});
    std::ostringstream out, err;
    Cli r;
    r.status = cli::Dispatch(args, out, err);
    r.out = out.str();
    while (!r.out.empty() && r.out.back() == '\n') r.out.pop_back();
    r.out = r.out.substr(r.out.rfind('\n') == std::string::npos ? 0 : r.out.rfind('\n') + 1);
    r.err = err.str();
    return r;
  }
  Cli WriteImage(const std::string& image, const std::string& timeout = "10") {
    return RunCli({"--port", "$BOARD", "--boot", "$LOADER.MOT", "--timeout", timeout, image});
  }

  TempDir dir_;
  Bytes loader_ = RandomBytes(kLoaderSize, 3), image_ = RandomBytes(kImageSize, 5),
        next_ = RandomBytes(kImageSize, 77);
  std::vector<std::unique_ptr<sim::SimBoard>> boards_;
  std::unique_ptr<Station> station_;
};

}  // namespace porten::testing
