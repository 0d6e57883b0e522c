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

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/write.h"
#include "image/elf_image.h"
#include "link/link.h"

namespace porten::cli {

namespace {

constexpr char kWriteHead[] =
    "Usage: porten-cli write --port PORT [--port PORT...] --boot LOADER IMAGE\n"
    "                        [--imitation] [--section NAME...] [--timeout SECONDS]\n"
    "                        [--log FILE] [-q]\n"
    "       porten-cli write --port PORT [--port PORT...] --ram IMAGE [--execute]\n"
    "                        [--section NAME...] [--timeout SECONDS] [--log FILE]\n"
    "                        [-q]\n"
    "Both forms also take [--lines PRESET | [--before SEQ] [--after SEQ]].\n"
    "       ... [--serial-at ADDR --serial-format FMT [--serial-series NAME]\n"
    "           [--serial-first N]] [--records WHERE]\n"
    "Writes IMAGE into the board's ROM: uploads the boot loader LOADER through\n"
    "the chip's boot mode at 4800 bit/s, then sends the image to it at 38400\n"
    "bit/s. With --ram the image goes straight to a running loader (RAM\n"
    "transfer). Several --port options write the same image to every board at\n"
    "once. With --serial-at each board gets the next number of a series in its\n"
    "image, and with --records or --serial-at every board is recorded.\n";
constexpr char kWriteTail[] =
    "\n"
    "Exit status: 0 written, 1 usage error, 2 file error, 3 the port cannot be\n"
    "opened (or has no DTR and RTS for a line sequence), 4 the transfer\n"
    "failed, 5 the board stopped answering or was unplugged, 130 interrupted.\n"
    "With several ports: 0 when every board succeeded, else the highest status.\n"
    "3 as well when the record store cannot be reached: then no further board\n"
    "is written.\n";
constexpr size_t kWriteColumn = 19;

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

}  // namespace

int CheckLog(const std::string& log, const char* command, std::ostream& err) {
  if (log.empty()) return kExitOk;
  const int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    err << "porten-cli " << command << ": cannot write the log " << log << ": " << std::strerror(errno) << "\n";
    return kExitFile;
  }
  ::close(fd);
  return kExitOk;
}

namespace {

// SIGINT and SIGTERM set g_interrupted while it lives.
class InterruptGuard {
 public:
  InterruptGuard() {
    g_interrupted = false;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt_);
    sigaction(SIGTERM, &action, &oldTerm_);
  }
  ~InterruptGuard() {
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
  }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
};

// Runs every board on its own thread and draws the progress until all have
// finished.
std::vector<std::unique_ptr<Board>> RunBoards(const WriteOptions& opt, std::ostream& out) {
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
  return boards;
}

// One board: its result line. Several: a table of every board's result.
// Returns the highest status.
int Report(const std::vector<std::unique_ptr<Board>>& boards, std::ostream& out, std::ostream& err) {
  int worst = 0;
  for (auto& b : boards) worst = std::max(worst, b->status);
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

int Write(const WriteOptions& opt, std::ostream& out, std::ostream& err) {
  if (int status = CheckLog(opt.log, "write", err)) return status;
  // After every other refusal, before any board.
  Prepared prepared = PrepareRecords(opt.recording, opt.image);
  if (prepared.status != 0) {
    err << "porten-cli write: " << prepared.message << "\n";
    return prepared.status;
  }
  WriteOptions run = opt;
  run.records = std::move(prepared.records);
  std::vector<std::unique_ptr<Board>> boards;
  {
    InterruptGuard interrupts;
    boards = RunBoards(run, out);
  }
  const int worst = Report(boards, out, err);
  // A board not written for want of its record, or written without its
  // record's end: the run ends as the store's failure.
  if (run.records && run.records->lost && worst != kExitInterrupted) return kExitStore;
  return worst;
}

// --before, --after and --lines: the sequences are parsed as the options
// are, so a bad step is refused before any port is opened.
void DeclareLineOptions(CLI::App& app, WriteOptions& opt) {
  auto sequence = [](LineSequence& into) {
    return CLI::Validator(
        [&into](std::string& text) {
          std::string why;
          if (auto steps = ParseLineSequence(text, why)) into = std::move(*steps);
          return why;
        },
        "");
  };
  auto* before = app.add_option("--before")
                     ->description("run SEQ on the modem lines once the port is open, before\n"
                                   "the first sync byte: steps dtr=1, dtr=0, rts=1, rts=0 and\n"
                                   "wait=MS, separated by commas; 1 asserts the line, which on\n"
                                   "most adapters drives the pin low")
                     ->type_name("SEQ")
                     ->check(sequence(opt.linesBefore));
  auto* after = app.add_option("--after")
                    ->description("run SEQ once the write has ended, written or failed (not\n"
                                  "on Ctrl-C)")
                    ->type_name("SEQ")
                    ->check(sequence(opt.linesAfter));
  std::string presets = "both at once, from a preset:";
  std::string names;
  for (const LinePreset& p : LinePresets()) {
    presets += std::string("\n") + p.name + ": " + p.wiring + "\n  before " + p.before + "\n  after  " + p.after;
    names += std::string(names.empty() ? "'" : "' or '") + p.name;
  }
  auto preset = [&opt, names](std::string& name) -> std::string {
    const LinePreset* p = FindLinePreset(name);
    std::string why;
    if (p == nullptr) return "takes " + names + "'";
    opt.linesBefore = ParseLineSequence(p->before, why).value();
    opt.linesAfter = ParseLineSequence(p->after, why).value();
    return "";
  };
  app.add_option("--lines")
      ->description(presets)
      ->type_name("PRESET")
      ->check(CLI::Validator(preset, ""))
      ->excludes(before)
      ->excludes(after);
}

}  // namespace

void DeclareWriteOptions(CLI::App& app, WriteOptions& opt) {
  args::AddList(app, "--port", opt.ports, "PORT",
                "serial port: a name in /dev (ttyUSB0, serial/by-id/...)\n"
                "or a path");
  args::AddText(app, "--boot", opt.loader, "LOADER", "boot loader file");
  app.add_flag("--ram", opt.ram, "RAM transfer instead of the boot loader upload");
  app.add_flag("--execute", opt.execute, "after a RAM transfer, start the program (\"実行\")");
  app.add_flag("--imitation", opt.imitation, "the \"CPU BOOTもどき\" sync variant");
  args::AddList(app, "--section", opt.sections, "NAME",
                "only the section NAME of an ELF IMAGE, at its load\n"
                "address (LMA); once for each section to write");
  args::AddNumber(app, "--timeout", opt.timeoutSeconds, 1, 86400, "S",
                  "give up when the board sends nothing for S seconds\n"
                  "while a transfer runs (default 10)",
                  "takes whole seconds from 1 to 86400");
  args::AddText(app, "--log", opt.log, "FILE", "append one JSON line per board to FILE");
  app.add_flag("-q,--quiet", opt.quiet, "no progress, only the results");
  DeclareLineOptions(app, opt);
  auto check = [](bool (*valid)(const std::string&), std::string says) {
    return CLI::Validator([valid, says](std::string& v) { return valid(v) ? "" : says; }, "");
  };
  app.add_option("--serial-at", opt.recording.serialAt,
                 "\npatch each board's serial number into the image at\n"
                 "ADDR (hexadecimal)")
      ->type_name("ADDR")
      ->check(check([](const std::string& v) { return records::ParseSerialAddress(v).has_value(); },
                    "takes a hexadecimal address such as 0x1F00"));
  app.add_option("--serial-format", opt.recording.serialFormat,
                 "\nu16le, u16be, u32le, u32be, u64le, u64be; ascii:W\n"
                 "(decimal, W digits) or hex:W (upper case, W digits)")
      ->type_name("FMT")
      ->check(check([](const std::string& v) { return records::ParseSerialFormat(v).has_value(); },
                    "takes u16le, u16be, u32le, u32be, u64le, u64be, ascii:W (W from 1 to 19) "
                    "or hex:W (W from 1 to 16)"));
  args::AddText(app, "--serial-series", opt.recording.serialSeries, "NAME",
                "\nthe series to draw from (default \"default\")");
  app.add_option("--serial-first", opt.recording.serialFirst,
                 "\nthe first number of a new series (default 1)")
      ->type_name("N")
      ->check(check([](const std::string& v) { return records::ParseSerialNumber(v).has_value(); },
                    "takes a number from 0 to 9223372036854775807"));
  args::AddText(app, "--records", opt.recording.records, "WHERE",
                "record every board in WHERE: a SQLite file or a\n"
                "postgresql:// URI (default with --serial-at:\n"
                "~/.local/state/porten/records.sqlite)");
}

std::string CheckWriteOptions(const WriteOptions& opt) {
  if (opt.ports.empty()) return "--port is missing";
  if (opt.ram == !opt.loader.empty()) return "give either --boot LOADER or --ram";
  if (opt.execute && !opt.ram) return "--execute goes with --ram";
  if (opt.imitation && opt.ram) return "--imitation goes with --boot";
  const RecordOptions& r = opt.recording;
  if (r.serialAt.empty() && (!r.serialFormat.empty() || !r.serialSeries.empty() || !r.serialFirst.empty())) {
    return "--serial-format, --serial-series and --serial-first go with --serial-at";
  }
  if (!r.serialAt.empty() && r.serialFormat.empty()) return "--serial-at needs --serial-format";
  for (size_t i = 0; i < opt.ports.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (DevicePath(opt.ports[i]) == DevicePath(opt.ports[j])) return "port " + opt.ports[i] + " is given twice";
    }
  }
  return "";
}

void DeclareWriteCommand(CLI::App& app, WriteOptions& opt) {
  args::SetHelp(app, kWriteHead, kWriteTail, kWriteColumn);
  DeclareWriteOptions(app, opt);
  app.add_option("IMAGE", opt.image);
  app.final_callback([&opt] {
    std::string problem = CheckWriteOptions(opt);
    if (problem.empty() && opt.image.empty()) problem = "give exactly one IMAGE";
    if (problem.empty() && !opt.sections.empty() && OpensAsOtherThanElf(opt.image)) {
      problem = "--section: " + opt.image + " is not an ELF file";
    }
    if (!problem.empty()) throw CLI::ValidationError(problem);
  });
}

Runner DeclareWrite(CLI::App& app) {
  auto opt = std::make_shared<WriteOptions>();
  DeclareWriteCommand(app, *opt);
  return [opt](std::ostream& out, std::ostream& err) { return Write(*opt, out, err); };
}

}  // namespace porten::cli
