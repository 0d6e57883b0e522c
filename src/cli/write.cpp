// porten-cli write: the dialog's download, driven from the command line.
// Each port gets its own download session, receive thread and console loop
// (board_run.cpp); the main thread only watches them and draws the progress.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/commands.h"
#include "cli/write.h"
#include "link/link.h"

namespace porten::cli {

namespace {

constexpr char kWriteHelp[] =
    "Usage: porten-cli write --port PORT [--port PORT...] --boot LOADER IMAGE\n"
    "                        [--imitation] [--timeout SECONDS] [--log FILE] [-q]\n"
    "       porten-cli write --port PORT [--port PORT...] --ram IMAGE [--execute]\n"
    "                        [--timeout SECONDS] [--log FILE] [-q]\n"
    "Writes IMAGE into the board's ROM: uploads the boot loader LOADER through\n"
    "the chip's boot mode at 4800 bit/s, then sends the image to it at 38400\n"
    "bit/s. With --ram the image goes straight to a running loader (RAM\n"
    "transfer). Several --port options write the same image to every board at\n"
    "once.\n"
    "\n"
    "  --port PORT      serial port: a name in /dev (ttyUSB0, serial/by-id/...)\n"
    "                   or a path\n"
    "  --boot LOADER    boot loader file\n"
    "  --ram            RAM transfer instead of the boot loader upload\n"
    "  --execute        after a RAM transfer, start the program (\"実行\")\n"
    "  --imitation      the \"CPU BOOTもどき\" sync variant\n"
    "  --timeout S      give up when the board sends nothing for S seconds\n"
    "                   while a transfer runs (default 10)\n"
    "  --log FILE       append one JSON line per board to FILE\n"
    "  -q, --quiet      no progress, only the results\n"
    "\n"
    "Exit status: 0 written, 1 usage error, 2 file error, 3 the port cannot be\n"
    "opened, 4 the transfer failed, 5 the board stopped answering or was\n"
    "unplugged, 130 interrupted. With several ports: 0 when every board\n"
    "succeeded, else the highest status.\n";

void OnSignal(int) { g_interrupted = true; }

// ---- Progress ---------------------------------------------------------------

class Progress {
 public:
  Progress(std::ostream& out, bool terminal, bool quiet)
      : out_(out), terminal_(terminal), quiet_(quiet) {}

  void Update(std::vector<std::unique_ptr<Board>>& boards) {
    if (quiet_) return;
    auto now = std::chrono::steady_clock::now();
    std::string line;
    for (size_t i = 0; i < boards.size(); ++i) {
      Board& b = *boards[i];
      std::lock_guard lock(b.mu);
      if (b.phase.empty() || b.total == 0) continue;
      Track& t = tracks_[i];
      if (t.phase != b.phase) {
        t = Track{b.phase, now, b.done, -1};
      }
      const int percent = static_cast<int>(100.0 * b.done / b.total);
      const double elapsed = std::chrono::duration<double>(now - t.since).count();
      const double rate = elapsed > 0.2 ? (b.done - t.startDone) / elapsed : 0;
      if (terminal_) {
        char part[160];
        if (boards.size() == 1) {
          char left[32] = "";
          if (rate > 0) {
            int s = static_cast<int>((b.total - b.done) / rate + 0.5);
            std::snprintf(left, sizeof left, "  %d:%02d left", s / 60, s % 60);
          }
          std::snprintf(part, sizeof part, "%-11s %7u/%-7u %3d%%  %6.0f B/s%s",
                        b.phase == "boot" ? "boot loader" : "image", b.done, b.total, percent,
                        rate, left);
        } else {
          std::snprintf(part, sizeof part, "%s %s %3d%%  ", b.port.c_str(), b.phase.c_str(),
                        percent);
        }
        line += part;
      } else if (percent / 10 != t.lastDecile) {
        t.lastDecile = percent / 10;
        out_ << (boards.size() > 1 ? b.port + " " : "") << b.phase << " " << b.done << "/"
             << b.total << " (" << percent << "%)\n";
      }
    }
    if (terminal_ && line != shown_) {
      out_ << "\r" << line << "\033[K" << std::flush;
      shown_ = line;
    }
  }

  void End() {
    if (terminal_ && !shown_.empty()) out_ << "\r\033[K" << std::flush;
    shown_.clear();
  }

  void Resize(size_t n) { tracks_.resize(n); }

 private:
  struct Track {
    std::string phase;
    std::chrono::steady_clock::time_point since;
    uint32_t startDone = 0;
    int lastDecile = -1;
  };
  std::ostream& out_;
  bool terminal_;
  bool quiet_;
  std::vector<Track> tracks_;
  std::string shown_;
};

// Columns a UTF-8 text takes on a terminal: the status texts mix half-width
// katakana (one column) with kanji and full-width forms (two).
size_t DisplayWidth(const std::string& text) {
  size_t width = 0;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    uint32_t cp = c;
    size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (n > 1) {
      cp = c & (0x7F >> n);
      for (size_t k = 1; k < n && i + k < text.size(); ++k) {
        cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
      }
    }
    i += n;
    const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                      (cp >= 0xFF00 && cp <= 0xFF60) || (cp >= 0xFFE0 && cp <= 0xFFE6);
    width += wide ? 2 : 1;
  }
  return width;
}

std::string PadTo(const std::string& text, size_t columns) {
  size_t width = DisplayWidth(text);
  return width >= columns ? text : text + std::string(columns - width, ' ');
}

int UsageError(std::ostream& err, const std::string& what) {
  err << "porten-cli write: " << what << "\n" << kWriteHelp;
  return kExitUsage;
}

}  // namespace

int RunWrite(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  WriteOptions opt;
  std::vector<std::string> files;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string* into) {
      if (i + 1 >= args.size()) return false;
      *into = args[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      out << kWriteHelp;
      return kExitOk;
    } else if (arg == "--port") {
      if (!value(&v) || v.empty()) return UsageError(err, "--port needs a port name");
      opt.ports.push_back(v);
    } else if (arg == "--boot") {
      if (!value(&opt.loader) || opt.loader.empty()) {
        return UsageError(err, "--boot needs a file name");
      }
    } else if (arg == "--ram") {
      opt.ram = true;
    } else if (arg == "--execute") {
      opt.execute = true;
    } else if (arg == "--imitation") {
      opt.imitation = true;
    } else if (arg == "-q" || arg == "--quiet") {
      opt.quiet = true;
    } else if (arg == "--log") {
      if (!value(&opt.log) || opt.log.empty()) return UsageError(err, "--log needs a file name");
    } else if (arg == "--timeout") {
      if (!value(&v)) return UsageError(err, "--timeout needs a number of seconds");
      char* end = nullptr;
      long seconds = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || seconds < 1 || seconds > 86400) {
        return UsageError(err, "--timeout takes whole seconds from 1 to 86400");
      }
      opt.timeoutSeconds = static_cast<int>(seconds);
    } else if (arg == "--serial-at" || arg == "--serial-format" || arg == "--serial-series" ||
               arg == "--serial-first" || arg == "--records") {
      std::string* into = arg == "--serial-at"       ? &opt.recording.serialAt
                          : arg == "--serial-format" ? &opt.recording.serialFormat
                          : arg == "--serial-series" ? &opt.recording.serialSeries
                          : arg == "--serial-first"  ? &opt.recording.serialFirst
                                                     : &opt.recording.records;
      if (!value(into) || into->empty()) return UsageError(err, arg + " needs a value");
    } else if (arg.size() > 1 && arg[0] == '-') {
      return UsageError(err, "unknown option " + arg);
    } else {
      files.push_back(arg);
    }
  }
  if (opt.ports.empty()) return UsageError(err, "--port is missing");
  if (files.size() != 1) return UsageError(err, "give exactly one IMAGE");
  opt.image = files[0];
  if (opt.ram == !opt.loader.empty()) return UsageError(err, "give either --boot LOADER or --ram");
  if (opt.execute && !opt.ram) return UsageError(err, "--execute goes with --ram");
  if (opt.imitation && opt.ram) return UsageError(err, "--imitation goes with --boot");
  for (size_t i = 0; i < opt.ports.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (DevicePath(opt.ports[i]) == DevicePath(opt.ports[j])) {
        return UsageError(err, "port " + opt.ports[i] + " is given twice");
      }
    }
  }

  if (!opt.log.empty()) {
    // Refused now, not after the boards are written.
    const int fd = ::open(opt.log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      err << "porten-cli write: cannot write the log " << opt.log << ": " << std::strerror(errno)
          << "\n";
      return kExitFile;
    }
    ::close(fd);
  }
  // After every other refusal, before any board.
  Prepared prepared = PrepareRecords(opt.recording, opt.image);
  if (prepared.status != 0) {
    err << "porten-cli write: " << prepared.message << "\n";
    return prepared.status;
  }
  opt.records = std::move(prepared.records);

  g_interrupted = false;
  struct sigaction action {};
  struct sigaction oldInt {};
  struct sigaction oldTerm {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &oldInt);
  sigaction(SIGTERM, &action, &oldTerm);

  std::condition_variable ended;
  std::mutex endedMu;
  std::vector<std::unique_ptr<Board>> boards;
  for (auto& p : opt.ports) {
    boards.push_back(std::make_unique<Board>());
    boards.back()->port = p;
    boards.back()->ended = &ended;
    boards.back()->endedMu = &endedMu;
  }
  std::vector<std::thread> threads;
  for (auto& b : boards) threads.emplace_back(RunBoard, std::cref(opt), std::ref(*b));

  Progress progress(out, &out == &std::cout && ::isatty(STDOUT_FILENO), opt.quiet);
  progress.Resize(boards.size());
  for (;;) {
    progress.Update(boards);
    // The last board to end wakes us at once; the time-out paces the progress.
    std::unique_lock lock(endedMu);
    const bool all = std::all_of(boards.begin(), boards.end(), [](auto& b) {
      std::lock_guard boardLock(b->mu);
      return b->finished;
    });
    if (all) break;
    ended.wait_for(lock, std::chrono::milliseconds(100));
  }
  for (auto& t : threads) t.join();
  progress.End();
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);

  int worst = 0;
  for (auto& b : boards) worst = std::max(worst, b->status);
  // A board written without its record's end, or not written for want of
  // its record: the run ends as the store's failure.
  if (opt.records && opt.records->lost && worst != kExitInterrupted) worst = kExitStore;
  if (boards.size() == 1) {
    Board& b = *boards[0];
    (b.status == 0 || b.status == kExitTransfer || b.status == kExitTimeout ? out : err)
        << b.result << "\n";
    if (!b.detail.empty()) err << "porten-cli write: " << b.detail << "\n";
    return worst;
  }
  size_t portWidth = 4;
  size_t resultWidth = 6;
  for (auto& b : boards) {
    portWidth = std::max(portWidth, DisplayWidth(b->port));
    resultWidth = std::max(resultWidth, DisplayWidth(b->result));
  }
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "%8s %8s\n", "bytes", "seconds");
  out << PadTo("port", portWidth) << "  " << PadTo("result", resultWidth) << " " << numbers;
  for (auto& b : boards) {
    std::snprintf(numbers, sizeof numbers, "%8u %8.1f\n", b->bytes, b->seconds);
    out << PadTo(b->port, portWidth) << "  " << PadTo(b->result, resultWidth) << " " << numbers;
    if (!b->detail.empty()) err << b->port << ": " << b->detail << "\n";
  }
  return worst;
}

}  // namespace porten::cli
