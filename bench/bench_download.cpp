// How close a download comes to what the line allows, how fast the tool
// answers the board, and what it costs in CPU. Prints a table and a verdict
// per goal; asserts nothing (the machines are shared).
//
//   efficiency  a 2 KB boot loader and a 64 KB image written to the simulated
//               board with wire-time emulation (10 bits a byte at 4800 and
//               38400 bit/s, both ways). The limit: every byte's wire time
//               (each one waits for its echo or answer) plus the protocol's
//               fixed pauses (100 ms sync, 50 + 10 ms reopen, 300 ms first
//               poll). Goal: limit / measured >= 0.97.
//   process     a whole porten-cli write process, start to exit, against
//               the board with wire time: a 1 KB boot loader with a 4 KB and
//               with a 64 KB image. Same limit, same goal.
//   latency     from the board's byte to the tool's answer, p50/p99/max over
//               the whole download, on a pty. Goal: p99 under 1 ms.
//   cpu         the tool's CPU time as a share of one core over a 20 s idle
//               wait and over a whole download, with the board in its own
//               process (porten-board). Goals: under 1% and under 5%.
//
// A plain program, not Google Benchmark: each figure is one long run against
// a board that keeps real time, and the figures come from the board's own
// log, not from repeated timing of a function.
//
// Usage: bench_download [--idle SECONDS]   (default 20)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/console_loop.h"
#include "core/texts.h"
#include "link/termios_port.h"
#include "protocol/download_session.h"
#include "sim_board.h"

extern char** environ;

namespace {

using namespace porten;
using Steady = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kLoaderBase = 0x00FFE000;
constexpr uint32_t kImageBase = 0x00010000;
constexpr size_t kLoaderSize = 2048;
constexpr size_t kImageSize = 64 * 1024;

double Seconds(Steady::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

Bytes Pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  for (auto& byte : b) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(seed >> 16);
  }
  return b;
}

std::string SRecords(uint32_t base, const Bytes& data) {
  std::string text;
  char buf[16];
  for (size_t at = 0; at < data.size(); at += 32) {
    const size_t n = std::min<size_t>(32, data.size() - at);
    const uint32_t a = base + static_cast<uint32_t>(at);
    unsigned sum = static_cast<unsigned>(n + 5);
    std::snprintf(buf, sizeof buf, "S3%02X%08X", static_cast<unsigned>(n + 5), a);
    text += buf;
    for (int s = 0; s < 32; s += 8) sum += (a >> s) & 0xFF;
    for (size_t i = 0; i < n; ++i) {
      std::snprintf(buf, sizeof buf, "%02X", data[at + i]);
      text += buf;
      sum += data[at + i];
    }
    std::snprintf(buf, sizeof buf, "%02X\r\n", ~sum & 0xFF);
    text += buf;
  }
  return text + "S70500000000FA\r\n";
}

// The tool as the dialog runs it: session, termios port, receive thread,
// and the console loop as the window thread (this thread).
class Tool {
 public:
  explicit Tool(const std::string& dir)
      : session_(loop_, SystemClock(), std::make_unique<TermiosPort>(), dir) {
    loop_.Bind(&session_);
    session_.OnEnded([this](const Ended& e) {
      if (e.outcome == Outcome::kWritten) doneAt_ = Steady::now();
      loop_.Wake();
    });
  }
  ~Tool() { session_.JoinReceiveThread(); }

  bool Open(const std::string& port) {
    if (!session_.OpenInitialPort(port)) return false;
    session_.StartReceiveThread();
    return true;
  }
  bool Load(const std::string& loader, const std::string& image) {
    session_.OnCpuSelect(loader);
    if (!Until([&] { return Ready(); }, 30)) return false;
    session_.OnBrowse(image);
    return Until([&] { return Ready(); }, 30) && session_.Snapshot().slotLength[1] > 0 &&
           loop_.Messages().empty();
  }
  // Write pressed; true when "書込み終了" came within the time.
  bool Download(double timeoutSeconds) {
    doneAt_ = {};
    session_.OnWrite();
    Until([&] { return session_.Snapshot().outcome != Outcome::kNone; }, timeoutSeconds);
    return doneAt_ != Steady::time_point{};
  }
  void Idle(double seconds) {
    loop_.RunUntil([] { return false; }, loop_.NowMs() + static_cast<int64_t>(seconds * 1e3));
  }
  Steady::time_point DoneAt() const { return doneAt_; }

 private:
  bool Ready() {
    auto v = session_.Snapshot();
    return v.ready && !v.loading;
  }
  bool Until(const std::function<bool()>& pred, double seconds) {
    const auto end = Steady::now() + std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6));
    while (Steady::now() < end) {
      if (loop_.RunUntil(pred, loop_.NowMs() + 5)) return true;
    }
    return pred();
  }

  cli::ConsoleLoop loop_;
  DownloadSession session_;
  Steady::time_point doneAt_{};
};

// The line's limit for one download: every byte waits for its answer, so
// all bytes of both directions add up, plus the fixed pauses.
struct Limit {
  double boot;   // from Write to the loader's 0xAA
  double write;  // from there to the final 0x00
};
Limit LineLimit(size_t loader, size_t image) {
  const double slow = 10.0 / 4800, fast = 10.0 / 38400;
  const double blocks = static_cast<double>((image + 127) / 128);
  // 00 (sent while the 100 ms run), 00 00, 00, 55, AA, size and its echo
  // (2 x 2), every loader byte and its echo, AA.
  const double bootBytes = 2 + 1 + 1 + 1 + 4 + 2.0 * static_cast<double>(loader) + 1;
  // "3", 00, D, 00, D, 00, 88, 00, header, then 11 + block each, final 00.
  const double writeBytes = 8 + 8 + blocks * 129 + 1;
  return {0.100 + bootBytes * slow, 0.050 + 0.010 + 0.300 + writeBytes * fast};
}

struct Row {
  std::string what;
  double limit = 0, measured = 0;
};

void PrintRow(const Row& r) {
  std::printf("  %-26s %9.3f s %9.3f s %8.4f\n", r.what.c_str(), r.limit, r.measured, r.limit / r.measured);
}

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

// ---- porten-board in its own process, for a clean CPU figure ----------------

struct Child {
  pid_t pid = -1;
  ~Child() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      int status = 0;
      ::waitpid(pid, &status, 0);
    }
  }
};

// porten-cli write in a process of its own, start to exit; -1 on failure.
double TimeCliProcess(const std::string& dir, const std::string& port, const std::string& loader,
                      const std::string& image) {
  std::vector<std::string> args = {PORTEN_CLI_EXE, "write", "-q", "--port", port,
                                   "--boot", loader, image};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, (dir + "/cli.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const auto start = Steady::now();
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  int status = 0;
  if (rc != 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return -1;
  }
  return Seconds(Steady::now() - start);
}

bool SpawnBoard(Child& child, const std::string& link, const std::string& log) {
  std::vector<std::string> args = {PORTEN_BOARD_EXE, "--link", link, "--wire-time"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int rc = posix_spawn(&child.pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return false;
  for (int i = 0; i < 500; ++i) {  // up to 5 s for the link to appear
    if (std::filesystem::exists(link)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  double idleSeconds = 20;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--idle") == 0 && i + 1 < argc) idleSeconds = std::atof(argv[++i]);
  }

  char tmpl[] = "/tmp/porten-bench.XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  {
    std::ofstream(dir + "/LOADER.MOT", std::ios::binary) << SRecords(kLoaderBase, Pattern(kLoaderSize, 1));
    std::ofstream(dir + "/image.mot", std::ios::binary) << SRecords(kImageBase, Pattern(kImageSize, 2));
  }
  const Limit limit = LineLimit(kLoaderSize, kImageSize);
  int status = 0;

  // ---- Efficiency and latency: the board in this process, for its log ----
  {
    sim::BoardOptions o;
    o.linkPath = dir + "/ttyBOARD";
    o.wireTime = true;
    // Written on the board's thread.
    std::atomic<Steady::rep> loaderRunsAt{0};
    o.onEvent = [&](const std::string& e) {
      if (e.rfind("boot loader runs", 0) == 0) loaderRunsAt = Steady::now().time_since_epoch().count();
    };
    sim::SimBoard board(o);
    if (!board.Start()) {
      std::fprintf(stderr, "bench_download: %s\n", board.Error().c_str());
      return 1;
    }
    Tool tool(dir);
    if (!tool.Open(board.PortPath()) || !tool.Load("LOADER.MOT", dir + "/image.mot")) {
      std::fprintf(stderr, "bench_download: cannot open the board or load the files\n");
      return 1;
    }
    board.ClearLog();
    const auto start = Steady::now();
    const bool ok = tool.Download(120);
    const auto done = tool.DoneAt();
    const bool intact = board.RomRange(kImageBase, kImageSize) == Pattern(kImageSize, 2);
    if (!ok || !intact || loaderRunsAt.load() == 0) {
      std::fprintf(stderr, "bench_download: the download failed (%s)\n", ok ? "ROM differs" : "no finish");
      return 1;
    }
    const sim::LatencyStats lat = board.ReplyLatency();
    const Steady::time_point loaderRuns{Steady::duration(loaderRunsAt.load())};

    std::printf("Download efficiency (2 KB boot loader, 64 KB image, wire time)\n");
    std::printf("  %-26s %11s %11s %8s\n", "phase", "line limit", "measured", "ratio");
    Row boot{"boot loader upload", limit.boot, Seconds(loaderRuns - start)};
    Row write{"image write", limit.write, Seconds(done - loaderRuns)};
    Row whole{"whole download", limit.boot + limit.write, Seconds(done - start)};
    PrintRow(boot);
    PrintRow(write);
    PrintRow(whole);
    const double ratio = whole.limit / whole.measured;
    std::printf("\nReply latency (board's byte to the tool's answer, pty)\n");
    std::printf("  %zu replies: p50 %.0f us, p99 %.0f us, max %.0f us\n", lat.count, lat.p50Us, lat.p99Us,
                lat.maxUs);
    std::printf("\nverdict: efficiency %.3f (goal >= 0.97) %s; reply p99 %.3f ms (goal < 1 ms) %s\n", ratio,
                Verdict(ratio >= 0.97), lat.p99Us / 1000, Verdict(lat.p99Us < 1000));
    if (ratio < 0.97 || lat.p99Us >= 1000) status = 2;
  }

  // ---- Whole porten-cli processes, start to exit ---------------------------
  {
    std::ofstream(dir + "/LOADER1K.MOT", std::ios::binary) << SRecords(kLoaderBase, Pattern(1024, 3));
    std::ofstream(dir + "/image4k.mot", std::ios::binary) << SRecords(kImageBase, Pattern(4096, 4));
    std::printf("\nWhole porten-cli write process, start to exit (1 KB boot loader, wire time)\n");
    std::printf("  %-26s %11s %11s %8s\n", "image", "line limit", "measured", "ratio");
    for (const auto& [name, size] : {std::pair<std::string, size_t>{"image4k.mot", 4096},
                                     std::pair<std::string, size_t>{"image.mot", kImageSize}}) {
      sim::BoardOptions o;
      o.linkPath = dir + "/ttyPROC";
      o.wireTime = true;
      sim::SimBoard board(o);
      if (!board.Start()) return 1;
      const Limit l = LineLimit(1024, size);
      const double measured = TimeCliProcess(dir, board.PortPath(), dir + "/LOADER1K.MOT", dir + "/" + name);
      if (measured < 0) {
        std::fprintf(stderr, "bench_download: porten-cli failed\n");
        return 1;
      }
      const Row row{std::to_string(size / 1024) + " KB image", l.boot + l.write, measured};
      PrintRow(row);
      std::printf("  verdict: %.3f (goal >= 0.97) %s\n", row.limit / row.measured,
                  Verdict(row.limit / row.measured >= 0.97));
      if (row.limit / row.measured < 0.97) status = 2;
    }
  }

  // ---- CPU: the board in its own process ----------------------------------
  {
    Child child;
    const std::string link = dir + "/ttyCPU";
    if (!SpawnBoard(child, link, dir + "/board.log")) {
      std::fprintf(stderr, "bench_download: cannot start %s\n", PORTEN_BOARD_EXE);
      return 1;
    }
    Tool tool(dir);
    if (!tool.Open(link) || !tool.Load("LOADER.MOT", dir + "/image.mot")) {
      std::fprintf(stderr, "bench_download: cannot open the board or load the files\n");
      return 1;
    }
    double cpu0 = CpuSeconds();
    auto t0 = Steady::now();
    tool.Idle(idleSeconds);
    const double idleShare = (CpuSeconds() - cpu0) / Seconds(Steady::now() - t0);

    cpu0 = CpuSeconds();
    t0 = Steady::now();
    const bool ok = tool.Download(120);
    const double busyWall = Seconds(Steady::now() - t0);
    const double busyShare = (CpuSeconds() - cpu0) / busyWall;
    if (!ok) {
      std::fprintf(stderr, "bench_download: the download with porten-board failed\n");
      return 1;
    }
    std::printf("\nTool CPU time (board in its own process)\n");
    std::printf("  %-26s %9.1f s  %7.2f %% of a core\n", "idle, port open", idleSeconds, idleShare * 100);
    std::printf("  %-26s %9.1f s  %7.2f %% of a core\n", "whole download", busyWall, busyShare * 100);
    std::printf("\nverdict: idle %.2f %% (goal < 1 %%) %s; download %.2f %% (goal < 5 %%) %s\n", idleShare * 100,
                Verdict(idleShare < 0.01), busyShare * 100, Verdict(busyShare < 0.05));
    if (idleShare >= 0.01 || busyShare >= 0.05) status = 2;
  }
  std::filesystem::remove_all(dir);
  return status;
}
