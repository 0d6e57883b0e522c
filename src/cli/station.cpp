#include "cli/station.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <utility>

#include "cli/args.h"
#include "cli/commands.h"
#include "core/texts.h"
#include "image/digest.h"
#include "link/board_links.h"
#include "link/device_watcher.h"
#include "link/line_sequence.h"
#include "link/link.h"
#include "link/termios_port.h"

namespace porten::cli {

namespace {

using Steady = std::chrono::steady_clock;

int64_t NowMs() { return SystemClock().NowMs(); }

void OnSignal(int) { g_interrupted = true; }

// A board has answered the boot-mode handshake, or the download it began has
// already ended; an abort or the port's loss before any answer is no board.
bool Arrived(const DownloadView& v, bool heard) {
  switch (v.outcome) {
    case Outcome::kNone:
      return IsWritePhase(v.phase) || v.phase == Phase::kBootUpload || v.phase == Phase::kBootWaitStart;
    case Outcome::kAborted:
    case Outcome::kRefused:
      return false;
    case Outcome::kUnplugged:
      return heard;
    default:
      return true;
  }
}

std::string Percent(const Board& b) {
  if (b.total == 0) return "writing";
  // The boot loader counts for the first tenth.
  const double part = static_cast<double>(b.done) / b.total;
  const int percent = static_cast<int>(b.phase == "boot" ? 10 * part : 10 + 90 * part);
  return "writing " + std::to_string(percent) + "%";
}

std::string UtcTime(std::chrono::system_clock::time_point t) {
  const std::time_t s = std::chrono::system_clock::to_time_t(t);
  std::tm utc{};
  ::gmtime_r(&s, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace

std::vector<std::string> DefaultWatchDirs() { return {"/dev/serial/by-id", BoardLinkDir()}; }

struct Station::Slot {
  std::string port;
  std::string device;
  bool fixed = false;
  std::unique_ptr<BoardLine> line;
  Board board;  // the running board's progress
  std::thread thread;
  std::string state = "waiting";
  int written = 0;
  int failed = 0;
  bool done = false;  // the thread has ended
  bool gone = false;  // the device was removed
  bool linesFailed = false;  // --before failed on the fixed port (its thread's)
};

Station::Station(StationOptions options) : options_(std::move(options)) {
  // A Write's sync takes 150 ms and its answer a little more: a shorter
  // period would cut every sync short.
  options_.syncPeriodMs = std::max(options_.syncPeriodMs, kShortestSyncPeriodMs);
}

Station::~Station() { Stop(); }

bool Station::Stopping() const { return stop_ || g_interrupted; }

int Station::LoadFiles(std::ostream& err) {
  // The files load as write loads them, on a line whose port stays closed.
  BoardLine line(std::make_unique<TermiosPort>());
  DownloadSession& s = line.session;
  auto load = [&](bool boot, const std::string& path) {
    boot ? s.OnCpuSelect(path) : s.OnBrowse(path);
    line.loop.Run([&] {
      const auto v = s.Snapshot();
      return v.ready && !v.loading;
    });
    const auto v = s.Snapshot();
    if (v.loadOutcome == LoadOutcome::kLoaded) return true;
    const auto messages = line.loop.Messages();
    err << path << ": " << (messages.empty() ? "" : messages.back().text) << "\n";
    if (!v.loadDetail.empty()) err << "porten-cli station: " << v.loadDetail << "\n";
    return false;
  };
  const WriteOptions& w = options_.write;
  if (!w.ram) {
    if (!load(true, w.loader)) return kExitFile;
    const DownloadView st = s.Snapshot();
    if (st.slotLength[0] == 0 || st.slotLength[0] > kBootImageSize || !st.bootImage) {
      err << w.loader << ": "
          << (st.slotLength[0] == 0 ? text::kBootLoaderBad : text::kBootLoaderInvalid) << "\n";
      return kExitFile;
    }
    loader_ = Image{st.slotBase[0], *st.bootImage};
  }
  s.SetLoadOptions({w.sections});
  if (!load(false, w.image)) return kExitFile;
  const DownloadView st = s.Snapshot();
  if (st.slotLength[1] == 0 || !st.writeImage) {
    err << w.image << ": " << text::kNoImage << "\n";
    return kExitFile;
  }
  image_ = Image{st.slotBase[1], *st.writeImage};
  imageSha256_ = Sha256Hex(image_.bytes);
  if (loader_) loaderSha256_ = Sha256Hex(loader_->bytes);
  for (const std::string& path : w.ram ? std::vector{w.image} : std::vector{w.loader, w.image}) {
    FileStamp stamp;
    stamp.path = path;
    ::stat(path.c_str(), &stamp.st);
    files_.push_back(stamp);
  }
  return kExitOk;
}

bool Station::Prepare(BoardLine& line) {
  DownloadSession& s = line.session;
  if (loader_ && !s.UseImage(0, *loader_)) return false;
  if (!s.UseImage(1, image_)) return false;
  if (options_.write.ram) s.OnRamTransfer();
  if (options_.write.imitation) s.OnCpuBootImitation();
  line.loop.Run([] { return true; });  // the texts of the two images
  return true;
}

int Station::Start(std::ostream& err) {
  began_ = Steady::now();
  if (int status = LoadFiles(err)) return status;
  Prepared prepared = PrepareRecords(options_.write.recording, options_.write.image);
  if (prepared.status != 0) {
    err << "porten-cli station: " << prepared.message << "\n";
    return prepared.status;
  }
  options_.write.records = std::move(prepared.records);
  if (!options_.write.log.empty()) options_.write.logWriter = std::make_shared<LogWriter>(options_.write.log);
  // The fixed ports are opened before any starts: one that cannot be
  // opened stops the station before a board is touched.
  std::vector<std::pair<std::string, std::unique_ptr<BoardLine>>> fixed;
  for (const std::string& port : options_.ports) {
    auto line = std::make_unique<BoardLine>(MakeBoardPort(options_.write));
    if (!line->session.OpenInitialPort(DevicePath(port))) {
      err << "porten-cli station: " << line->session.OpenFailureText() << "\n";
      return kExitPort;
    }
    if (const std::string why = LinesMissing(options_.write, line->session.port(), DevicePath(port));
        !why.empty()) {
      err << "porten-cli station: " << why << "\n";
      return kExitPort;
    }
    Prepare(*line);
    fixed.emplace_back(port, std::move(line));
  }
  if (!options_.watch.empty()) {
    watcher_ = std::make_unique<DeviceWatcher>(options_.watch);
    std::string error;
    if (!watcher_->Start(&error)) {
      err << "porten-cli station: " << error << "\n";
      return kExitPort;
    }
  }
  std::lock_guard lock(mu_);
  for (auto& [port, line] : fixed) StartSlot(port, true, std::move(line));
  if (watcher_) watchThread_ = std::thread(&Station::WatchLoop, this);
  return kExitOk;
}

void Station::StartSlot(const std::string& port, bool fixed, std::unique_ptr<BoardLine> line) {
  auto slot = std::make_unique<Slot>();
  slot->port = port;
  slot->device = fixed ? DevicePath(port) : port;
  slot->fixed = fixed;
  slot->line = std::move(line);
  slot->board.port = port;
  Slot& s = *slot;
  slots_.push_back(std::move(slot));
  if (!s.line) s.line = std::make_unique<BoardLine>(MakeBoardPort(options_.write));
  s.thread = std::thread([this, &s] {
    s.fixed ? RunFixed(s) : RunHotPlugged(s);
    std::lock_guard lock(mu_);
    s.line.reset();  // its descriptors go now, not when the device does
    s.done = true;
    changedFlag_ = true;
    changed_.notify_all();
  });
}

void Station::SetState(Slot& slot, const std::string& state) {
  std::lock_guard lock(mu_);
  slot.state = state;
  changedFlag_ = true;
  changed_.notify_all();
}

// Fixed fixture: see the header. heardMs is when the port last heard a board.
void Station::RunFixed(Slot& slot) {
  DownloadSession& s = slot.line->session;
  const int64_t quietMs = std::llround(options_.removalQuietS * 1000);
  int64_t heardMs = 0;
  bool quiet = true;  // every port is quiet at the start
  bool readyPending = false;
  while (!Stopping() && !Closed()) {
    if (!quiet) {
      // Quiet once a whole sync has gone unanswered and removal-quiet has
      // passed since the last answer: a board left on answers every sync,
      // however far apart they are.
      bool heard = false;
      if (!Probe(slot, &heardMs, &heard, std::exchange(readyPending, false))) break;
      quiet = !heard && NowMs() - heardMs >= quietMs;
      continue;
    }
    s.StartReceiveThread();
    if (!LinesBefore(slot)) break;
    const int64_t cycle = NowMs();
    slot.line->ended.reset();
    s.OnWrite();
    auto arrived = [&] { return Arrived(s.Snapshot(), s.LastReceiveMs() >= cycle); };
    slot.line->loop.RunUntil([&] { return arrived() || Stopping() || Closed(); },
                             slot.line->loop.NowMs() + options_.syncPeriodMs);
    // A board that answered at the end of the period gets its handshake.
    for (int i = 0; i < 3 && !arrived() && s.LastReceiveMs() >= cycle && NowMs() - s.LastReceiveMs() < 100;
         ++i) {
      slot.line->loop.RunUntil(arrived, slot.line->loop.NowMs() + 100);
    }
    if (arrived()) {
      RunAttempts(slot, true);
      heardMs = NowMs();
      quiet = false;
      readyPending = true;
      continue;
    }
    s.Abort();
    slot.line->loop.Run([] { return true; });
    if (s.port().Lost()) break;
    if (s.LastReceiveMs() >= cycle) {
      heardMs = s.LastReceiveMs();
      quiet = false;
    }
  }
  s.JoinReceiveThread();
  s.ClosePort();
  if (!Stopping() && !Closed() && !slot.linesFailed) SetState(slot, "gone");
}

// --before on a fixed port, ahead of each of its syncs. False, with the
// port's state saying why, when a line could not be set.
bool Station::LinesBefore(Slot& slot) {
  std::string why;
  if (RunLineSequence(slot.line->session.port(), SystemClock(), options_.write.linesBefore, why)) return true;
  slot.linesFailed = true;
  SetState(slot, "failed: --before " + why);
  return false;
}

// One bare sync, as a Write sends it, on the port itself while the receive
// thread rests: 00, and 100 ms later 00 00, or "0" (or "3"), 50 ms and
// 00 00 00 when something answered; then listening out the period. False
// when the port has gone.
bool Station::Probe(Slot& slot, int64_t* heardMs, bool* answered, bool afterBoard) {
  DownloadSession& s = slot.line->session;
  // The board's last port steps (back to 4800 bit/s) run first.
  s.WaitPortActionsDone(2000);
  s.JoinReceiveThread();
  Port& port = s.port();
  if (port.Lost()) return false;
  if (!port.IsOpen() || port.Baud() != 4800) {
    s.ClosePort();
    if (!s.OpenInitialPort(slot.device)) return false;
  }
  if (!LinesBefore(slot)) return false;
  const int64_t cycle = NowMs();
  bool heard = false;
  auto send = [&](std::vector<uint8_t> bytes) { port.Write(bytes.data(), bytes.size(), 1000); };
  auto listen = [&](int64_t untilMs) {
    uint8_t buffer[256];
    for (int64_t now = NowMs(); now < untilMs && !Stopping() && !port.Lost(); now = NowMs()) {
      if (port.WaitReadable(static_cast<int>(std::min<int64_t>(20, untilMs - now))) == 0) continue;
      while (port.Read(buffer, sizeof buffer) > 0) {
      }
      heard = true;
      *heardMs = NowMs();
    }
  };
  send({0x00});
  if (afterBoard) {
    std::lock_guard lock(mu_);
    readyAgain_.push_back(Steady::now());
  }
  listen(cycle + 100);
  if (heard) {
    send({static_cast<uint8_t>(options_.write.imitation ? '3' : '0')});
    listen(NowMs() + 50);
    send({0x00, 0x00, 0x00});
  } else {
    send({0x00, 0x00});
  }
  listen(cycle + options_.syncPeriodMs);
  *answered = heard;
  return !port.Lost();
}

void Station::RunHotPlugged(Slot& slot) {
  DownloadSession& s = slot.line->session;
  // udev may hand the device over a moment after its link appears (group
  // and mode), and a modem manager may probe it for a while.
  bool open = false;
  for (int i = 0; i < 20 && !open && !Stopping(); ++i) {
    open = s.OpenInitialPort(slot.device);
    const OpenFailure why = s.LastOpenError().kind;
    if (open || (why != OpenFailure::kBusy && why != OpenFailure::kPermission)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!open) {
    if (Stopping()) return;
    std::lock_guard lock(mu_);
    fresh_.push_back({slot.port, std::chrono::system_clock::now(), kExitPort, s.OpenFailureText(), 1});
    slot.state = "failed: " + s.OpenFailureText();
    ++slot.failed;
    if (options_.count > 0 && ++endedCount_ >= options_.count) full_ = true;
    return;
  }
  Prepare(*slot.line);
  s.StartReceiveThread();
  RunAttempts(slot, false);
  s.JoinReceiveThread();
  s.ClosePort();
}

void Station::RunAttempts(Slot& slot, bool syncStarted) {
  for (int attempt = 1;; ++attempt) {
    {
      std::lock_guard lock(slot.board.mu);
      slot.board.phase.clear();
      slot.board.done = slot.board.total = slot.board.bytes = 0;
      slot.board.finished = false;
      slot.board.status = 0;
      slot.board.result.clear();
      slot.board.detail.clear();
    }
    SetState(slot, "writing");
    RunBoardOnLine(options_.write, slot.board, *slot.line,
                   {syncStarted && attempt == 1, attempt, imageSha256_, loaderSha256_});
    int status;
    std::string result;
    {
      std::lock_guard lock(slot.board.mu);
      status = slot.board.status;
      result = slot.board.result;
    }
    if (status == kExitInterrupted) {
      SetState(slot, "interrupted");
      return;
    }
    const bool lost = slot.line->session.port().Lost();
    if (status != kExitOk && attempt <= options_.retries && !lost && !Stopping() && !Halted()) continue;
    std::lock_guard lock(mu_);
    fresh_.push_back({slot.port, std::chrono::system_clock::now(), status, result, attempt});
    slot.state = status == kExitOk ? "written" : "failed: " + result;
    ++(status == kExitOk ? slot.written : slot.failed);
    ++endedCount_;
    if (options_.count > 0 && endedCount_ >= options_.count) full_ = true;
    changedFlag_ = true;
    changed_.notify_all();
    return;
  }
}

void Station::WatchLoop() {
  while (!Stopping()) {
    const auto changes = watcher_->Wait(-1);
    std::vector<std::thread> finished;
    {
      std::lock_guard lock(mu_);
      for (const auto& c : changes) {
        if (c.added) {
          if (!Closed() && !Stopping()) StartSlot(c.path, false, nullptr);
          continue;
        }
        for (auto it = slots_.begin(); it != slots_.end();) {
          Slot& slot = **it;
          if (!slot.fixed && slot.device == c.path) slot.gone = true;
          if (slot.gone && slot.done) {
            finished.push_back(std::move(slot.thread));
            it = slots_.erase(it);
          } else {
            ++it;
          }
        }
      }
      changedFlag_ = true;
      changed_.notify_all();
    }
    for (auto& t : finished) t.join();
  }
}

bool Station::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mu_);
  changed_.wait_for(lock, timeout, [&] { return changedFlag_; });
  changedFlag_ = false;
  if (g_interrupted && !stop_) {
    stop_ = true;
    // Every port's loop and the watcher look at the flag now.
    for (auto& slot : slots_) {
      if (slot->line && !slot->done) slot->line->loop.Wake();
    }
    if (watcher_) watcher_->Wake();
  }
  const bool closed = stop_ || Closed();
  if (!closed && (watcher_ || slots_.empty())) return false;
  return std::all_of(slots_.begin(), slots_.end(), [](auto& s) { return s->done; });
}

void Station::Stop() {
  {
    std::lock_guard lock(mu_);
    stop_ = true;
    for (auto& slot : slots_) {
      if (slot->line && !slot->done) slot->line->loop.Wake();
    }
  }
  if (watcher_) watcher_->Wake();
  if (watchThread_.joinable()) watchThread_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mu_);
    for (auto& slot : slots_) {
      if (slot->thread.joinable()) threads.push_back(std::move(slot->thread));
    }
  }
  for (auto& t : threads) t.join();
  if (options_.write.logWriter) options_.write.logWriter->Flush();
}

std::string Station::LogError() { return options_.write.logWriter ? options_.write.logWriter->TakeError() : ""; }

std::vector<StationPortView> Station::Ports() const {
  std::lock_guard lock(mu_);
  std::vector<StationPortView> views;
  for (const auto& slot : slots_) {
    StationPortView v{slot->port, slot->state, slot->written, slot->failed};
    if (v.state == "writing") {
      std::lock_guard boardLock(slot->board.mu);
      v.state = Percent(slot->board);
    } else if (slot->gone && slot->done) {
      v.state = "gone";
    }
    views.push_back(v);
  }
  return views;
}

std::vector<Steady::time_point> Station::ReadyAgain() const {
  std::lock_guard lock(mu_);
  return readyAgain_;
}

std::vector<StationBoard> Station::TakeEnded() {
  std::vector<StationBoard> taken;
  {
    std::lock_guard lock(mu_);
    taken.swap(fresh_);
  }
  for (const auto& b : taken) {
    ++(b.status == kExitOk ? tally_.written : tally_.failed);
    if (b.attempts > 1) ++tally_.retried;
    if (b.status != kExitOk) tally_.failures.push_back(b);
  }
  return taken;
}

std::string Station::ChangedFile() {
  for (FileStamp& f : files_) {
    struct stat now {};
    const bool same = ::stat(f.path.c_str(), &now) == 0 && now.st_ino == f.st.st_ino &&
                      now.st_size == f.st.st_size && now.st_mtim.tv_sec == f.st.st_mtim.tv_sec &&
                      now.st_mtim.tv_nsec == f.st.st_mtim.tv_nsec;
    if (!same && !f.warned) {
      f.warned = true;
      return f.path;
    }
  }
  return "";
}

bool Station::Halted() const {
  const RecordKeeper* records = options_.write.records.get();
  return records && (records->lost || records->exhausted);
}

std::string Station::HaltReason() const {
  if (!Halted()) return "";
  return options_.write.records->lost ? "the record store was lost; no further board was started"
                                      : "the serial numbers have run out; no further board was started";
}

int Station::ExitStatus() const {
  if (g_interrupted) return kExitInterrupted;
  if (Halted()) return options_.write.records->lost ? kExitStore : kExitUsage;
  return tally_.failed > 0 ? kExitTransfer : kExitOk;
}

// ---- The command ------------------------------------------------------------

namespace {

constexpr char kStationHead[] =
    "Usage: porten-cli station --boot LOADER IMAGE [--port PORT...] [--watch DIR...]\n"
    "                          [--count N] [--retries N] [--removal-quiet S]\n"
    "                          [--imitation] [--section NAME...] [--timeout S]\n"
    "                          [--log FILE] [-q]\n"
    "                          [--lines PRESET | --before SEQ --after SEQ]\n"
    "                          [--serial-at ADDR --serial-format FMT\n"
    "                           [--serial-series NAME] [--serial-first N]]\n"
    "                          [--records WHERE]\n"
    "       porten-cli station --ram IMAGE --watch DIR... [...]\n"
    "Writes IMAGE into every board that arrives, with nobody at the keyboard, until\n"
    "Ctrl-C or --count. Fixed fixtures (--port): boards are placed on the port and\n"
    "taken off; between boards the port repeats the sync every 0.5 s, and a board\n"
    "that answers it after --removal-quiet seconds without an answer is new.\n"
    "Hot-plugged adapters (--watch): every serial device that appears in DIR, or is\n"
    "there at the start, is a new board. Without --port and --watch it watches\n"
    "/dev/serial/by-id and the simulated boards' directory. The files are read\n"
    "once, at the start.\n";
constexpr char kStationTail[] =
    "\n"
    "On a terminal one line per port is redrawn in place, with a total line; with\n"
    "-q or into a file, one line per board as it ends. The summary counts the\n"
    "boards written, failed and retried, the boards per hour, and names each\n"
    "failure. The log has one line per attempt, with \"attempt\": K.\n"
    "On a fixed fixture --before runs ahead of every sync, between boards too.\n"
    "Each attempt draws its own serial number and has its own record.\n"
    "\n"
    "Exit status: 0 every board written, 1 usage error or the serial numbers\n"
    "ran out, 2 file error, 3 a port cannot be opened or the record store was\n"
    "lost, 4 a board failed, 130 interrupted.\n";
constexpr size_t kStationColumn = 21;

class StationView {
 public:
  StationView(std::ostream& out, bool live) : out_(out), live_(live) {}

  void Draw(Station& station) {
    const auto ended = station.TakeEnded();
    if (!live_) {
      for (const auto& b : ended) {
        out_ << b.port << "  " << b.result;
        if (b.attempts > 1) out_ << "  (attempt " << b.attempts << ")";
        out_ << "\n";
      }
      out_ << std::flush;
      return;
    }
    std::vector<std::string> lines;
    size_t width = 4;
    const auto ports = station.Ports();
    for (const auto& p : ports) width = std::max(width, p.port.size());
    const int written = station.Tally().written;
    const int failed = station.Tally().failed;
    for (const auto& p : ports) {
      char counts[64];
      std::snprintf(counts, sizeof counts, "  (%d written, %d failed)", p.written, p.failed);
      lines.push_back(p.port + std::string(width - p.port.size(), ' ') + "  " + p.state + counts);
    }
    char total[128];
    std::snprintf(total, sizeof total, "total: written %d, failed %d, %.0f boards/hour", written, failed,
                  PerHour(station, written + failed));
    lines.push_back(total);
    std::string text;
    if (drawn_ > 0) text += "\033[" + std::to_string(drawn_) + "F";  // back to the first line
    for (const auto& l : lines) text += "\r" + l + "\033[K\n";
    for (size_t i = lines.size(); i < drawn_; ++i) text += "\033[K\n";
    drawn_ = std::max(drawn_, lines.size());
    out_ << text << std::flush;
  }

  static double PerHour(const Station& station, int boards) {
    const double hours =
        std::chrono::duration<double>(Steady::now() - station.Began()).count() / 3600.0;
    return hours > 0 ? boards / hours : 0;
  }

 private:
  std::ostream& out_;
  bool live_;
  size_t drawn_ = 0;
};

}  // namespace

int RunStation(const StationOptions& options, std::ostream& out, std::ostream& err,
               bool terminal) {
  g_interrupted = false;
  struct sigaction action {};
  struct sigaction oldInt {};
  struct sigaction oldTerm {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &oldInt);
  sigaction(SIGTERM, &action, &oldTerm);

  int status;
  {
    Station station(options);
    status = station.Start(err);
    if (status == kExitOk) {
      StationView view(out, terminal && !options.write.quiet);
      while (!station.Wait(std::chrono::milliseconds(200))) {
        view.Draw(station);
        if (const std::string changed = station.ChangedFile(); !changed.empty()) {
          err << "porten-cli station: " << changed
              << " has changed on the disk; the station goes on writing what it read at its start\n";
        }
        if (const std::string why = station.LogError(); !why.empty()) err << "porten-cli station: " << why << "\n";
      }
      station.Stop();
      if (const std::string why = station.LogError(); !why.empty()) err << "porten-cli station: " << why << "\n";
      view.Draw(station);
      status = station.ExitStatus();
      const auto& t = station.Tally();
      char line[160];
      std::snprintf(line, sizeof line, "written %d, failed %d, retried %d, %.0f boards/hour\n", t.written,
                    t.failed, t.retried, StationView::PerHour(station, t.written + t.failed));
      out << line;
      for (const auto& b : t.failures) {
        out << "failed: " << b.port << " at " << UtcTime(b.time) << ": " << b.result << "\n";
      }
      if (const std::string why = station.HaltReason(); !why.empty()) err << "porten-cli station: " << why << "\n";
    }
  }
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  return status;
}

Runner DeclareStation(CLI::App& app) {
  auto opt = std::make_shared<StationOptions>();
  args::SetHelp(app, kStationHead, kStationTail, kStationColumn);
  DeclareWriteOptions(app, opt->write);
  app.remove_option(app.get_option("--execute"));  // a station writes ROM, or RAM and leaves it
  args::AddList(app, "--watch", opt->watch, "DIR",
                "write every serial device that appears in DIR\n"
                "(/dev/serial/by-id, say)");
  args::AddNumber(app, "--count", opt->count, 1, 100000000, "N", "stop after N boards have ended");
  args::AddNumber(app, "--retries", opt->retries, 0, 100, "N",
                  "further attempts for a board that failed (default 0)");
  app.add_option("--removal-quiet", opt->removalQuietS,
                 "seconds without an answer that mean a board was\ntaken off (default 2)")
      ->type_name("S")
      ->check(CLI::Range(0.05, 3600.0).description(""));
  app.add_option("IMAGE", opt->write.image);
  app.final_callback([opt] {
    StationOptions& o = *opt;
    o.ports = o.write.ports;
    std::string problem;
    if (o.write.ram == !o.write.loader.empty()) problem = "give either --boot LOADER or --ram";
    if (problem.empty() && o.write.image.empty()) problem = "give exactly one IMAGE";
    if (problem.empty() && o.write.ram && (o.watch.empty() || !o.ports.empty())) {
      problem = "--ram goes with --watch only: a fixed fixture needs the boot mode to tell boards apart";
    }
    if (problem.empty() && o.write.imitation && o.write.ram) problem = "--imitation goes with --boot";
    if (problem.empty()) {
      // write's own checks, of which --port is optional here
      WriteOptions w = o.write;
      if (w.ports.empty()) w.ports = {"-"};
      problem = CheckWriteOptions(w);
    }
    if (!problem.empty()) throw CLI::ValidationError(problem);
    if (o.ports.empty() && o.watch.empty()) o.watch = DefaultWatchDirs();
  });
  return [opt](std::ostream& out, std::ostream& err) {
    if (int status = CheckLog(opt->write.log, "station", err)) return status;
    return RunStation(*opt, out, err, &out == &std::cout && ::isatty(STDOUT_FILENO));
  };
}

}  // namespace porten::cli
