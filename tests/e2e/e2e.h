// The end-to-end rig: the simulated board on a real pty, and the tool as the
// dialog has it (a download session with its receive thread and the console
// loop as its window thread, on the test's own thread) or as porten-cli write
// in this process.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/console_loop.h"
#include "core/texts.h"
#include "link/termios_port.h"
#include "protocol/download_session.h"
#include "sim_board.h"
#include "support/image_writer.h"

namespace porten::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  for (auto& byte : b) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(seed >> 16);
  }
  return b;
}

// What the board's memory holds after a write: whole 128-byte blocks.
inline Bytes Padded(Bytes b) {
  b.resize((b.size() + 127) / 128 * 128, 0xFF);
  return b;
}

// Process CPU time against wall time: a thread that spins shows as a share
// near one core; waiting costs next to nothing. The limit leaves room for
// sanitizer builds and the short busy stretches.
class CpuMeter {
 public:
  static constexpr double kMaxShareWhileWaiting = 0.35;
  double Share() const {
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0_).count();
    return (Cpu() - cpu0_) / std::max(wall, 1e-3);
  }

 private:
  static double Cpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  }
  double cpu0_ = Cpu();
  std::chrono::steady_clock::time_point wall0_ = std::chrono::steady_clock::now();
};

class Station {
 public:
  explicit Station(const std::string& startDir, DownloadSession::Options options = {})
      : session_(loop_, SystemClock(), std::make_unique<TermiosPort>(), startDir, options) {
    loop_.Bind(&session_);
    session_.OnOutcome([this] { loop_.Wake(); });
  }
  ~Station() { session_.JoinReceiveThread(); }

  bool Open(const std::string& path) {
    if (!session_.OpenInitialPort(path)) return false;
    session_.StartReceiveThread();
    return true;
  }
  // Runs the window thread until pred holds or ms have passed; then
  // delivers the texts posted so far.
  bool Until(const std::function<bool()>& pred, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    bool held = false;
    while (!(held = loop_.RunUntil(pred, std::min(end, std::chrono::steady_clock::now() +
                                                           std::chrono::milliseconds(5)))) &&
           std::chrono::steady_clock::now() < end) {
    }
    loop_.RunUntil([] { return true; }, std::chrono::steady_clock::now());
    return held || pred();
  }
  void Idle(int ms) { Until([] { return false; }, ms); }

  // A load; "" when it went through, else the message shown.
  std::string Load(bool bootLoader, const std::string& path) {
    const size_t before = loop_.Messages().size();
    if (bootLoader) {
      session_.OnCpuSelect(path);
    } else {
      session_.OnBrowse(path);
    }
    Until([&] { return session_.Snapshot().ready; }, 30000);
    const auto messages = loop_.Messages();
    return messages.size() > before ? messages.back().text : std::string();
  }
  // Presses Write; the outcome once the download has ended (kNone: it runs on).
  Outcome Download(int ms) {
    session_.OnWrite();
    Until([&] { return session_.Snapshot().outcome != Outcome::kNone; }, ms);
    return session_.Snapshot().outcome;
  }

  int32_t State() { return session_.Snapshot().state; }
  std::string Status() const { return loop_.Text(Surface::kStatus); }
  std::string Caption() const { return loop_.Text(Surface::kWriteCaption); }
  DownloadSession& session() { return session_; }

 private:
  cli::ConsoleLoop loop_;
  DownloadSession session_;
};

// A directory with a boot loader, an image and a second image, and a board.
class Bench : public ::testing::Test {
 public:
  static constexpr uint32_t kLoaderBase = 0x00FFE000;
  static constexpr uint32_t kImageBase = 0x00002000;
  static constexpr size_t kLoaderSize = 200;
  static constexpr size_t kImageSize = 1000;  // eight blocks, the last one padded
  static constexpr int kBlocks = (kImageSize + 127) / 128;

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

  // The dialog: port open, boot loader and image loaded.
  void StartStation(DownloadSession::Options options = {}) {
    station_ = std::make_unique<Station>(dir_.path(), options);
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
    ASSERT_EQ(Outcome::kWritten, station_->Download(30000)) << station_->Status();
    EXPECT_EQ(text::kWriteDone, station_->Status());
    EXPECT_EQ(text::kWrite, station_->Caption());
    EXPECT_EQ(Padded(next_), board().RomRange(kImageBase, kBlocks * 128));
  }

  struct Cli {
    int status = -1;
    std::string out;  // the last line of standard output
    std::string err;
  };
  // porten-cli write in this process, to the last board started.
  Cli RunCli(const std::string& image, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"porten-cli", "write", "--port", board().PortPath(), "-q",
                                     "--boot", dir_.File("LOADER.MOT"), image};
    args.insert(args.end(), extra.begin(), extra.end());
    std::ostringstream out, err;
    Cli r;
    r.status = cli::Dispatch(args, out, err);
    r.out = out.str();
    while (!r.out.empty() && r.out.back() == '\n') r.out.pop_back();
    r.out = r.out.substr(r.out.rfind('\n') == std::string::npos ? 0 : r.out.rfind('\n') + 1);
    r.err = err.str();
    return r;
  }

  TempDir dir_;
  Bytes loader_ = Pattern(kLoaderSize, 3);
  Bytes image_ = Pattern(kImageSize, 5);
  Bytes next_ = Pattern(kImageSize, 77);
  std::vector<std::unique_ptr<sim::SimBoard>> boards_;
  std::unique_ptr<Station> station_;
};

}  // namespace porten::testing
