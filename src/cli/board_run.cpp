// One board of porten-cli write: its own download session, receive thread and
// console loop (its "window thread"), exactly as one dialog would have.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <optional>

#include "cli/commands.h"
#include "cli/console_loop.h"
#include "cli/write.h"
#include "core/image.h"
#include "core/texts.h"
#include "link/line_keeping_port.h"
#include "link/link.h"
#include "link/port_list.h"
#include "link/termios_port.h"
#include "image/digest.h"

namespace porten::cli {

std::atomic<bool> g_interrupted{false};

namespace {

std::string CurrentDirectory() {
  char dir[PATH_MAX];
  return ::getcwd(dir, sizeof dir) ? std::string(dir) : std::string();
}

int StatusOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::kWritten:
    case Outcome::kExecuted:
      return kExitOk;
    case Outcome::kNoAnswer:
    case Outcome::kUnplugged:
      return kExitTimeout;
    case Outcome::kAborted:
      return kExitInterrupted;
    default:
      return kExitTransfer;
  }
}

DownloadSession::Options SessionOptions() {
  DownloadSession::Options o;
  o.firstLoadDelayMs = 0;  // no dialog to paint "読込開始" first
  return o;
}

class BoardRun {
 public:
  // Without a line, the board gets one of its own, opened and closed here.
  BoardRun(const WriteOptions& opt, Board& board, BoardLine* line = nullptr)
      : opt_(opt),
        board_(board),
        own_(line ? nullptr : std::make_unique<BoardLine>(MakeBoardPort(opt))),
        loop_(line ? line->loop : own_->loop),
        session_(line ? line->session : own_->session),
        ended_(line ? line->ended : own_->ended) {
    log_.start = std::chrono::system_clock::now();
    log_.port = board.port;
    log_.device = DevicePath(board.port);
    if (std::string serial = UsbSerialOf(log_.device); !serial.empty()) log_.usbSerial = serial;
    log_.ram = opt.ram;
    log_.image = opt.image;
    if (!opt.ram) log_.loader = opt.loader;
  }

  void Run() {
    if (!session_.OpenInitialPort(log_.device)) {
      return Finish(kExitPort, text::kWrongPort, text::kWrongPort, session_.OpenFailureText());
    }
    if (const std::string why = LinesMissing(opt_, session_.port(), log_.device); !why.empty()) {
      return Finish(kExitPort, kNoModemLines, kNoModemLines, why);
    }
    session_.StartReceiveThread();
    if (opt_.ram) {
      session_.OnRamTransfer();
    } else if (!LoadBootLoader()) {
      return;
    }
    if (opt_.imitation) session_.OnCpuBootImitation();
    session_.SetLoadOptions({opt_.sections});
    if (!Load([&] { session_.OnBrowse(opt_.image); }, opt_.image)) return;
    const DownloadView v = session_.Snapshot();
    log_.base = v.slotBase[1];
    log_.length = v.slotLength[1];
    if (v.slotLength[1] == 0 || !v.writeImage) {
      return Finish(kExitFile, opt_.image + ": " + text::kNoImage, text::kNoImage,
                    "the image file holds no data");
    }
    log_.imageSha256 = Sha256Hex(*v.writeImage);
    log_.sentSha256 = log_.imageSha256;
    if (BeginRecord(board_.attempt, false)) Write();
  }

  void RunOnLine(const LineAttempt& a) {
    log_.attempt = a.attempt;
    const DownloadView v = session_.Snapshot();
    log_.base = v.slotBase[1];
    log_.length = v.slotLength[1];
    // The files' own digests: the session's image may still carry the
    // serial number of the line's previous board.
    log_.imageSha256 = a.imageSha256;
    log_.sentSha256 = a.imageSha256;
    log_.loaderSha256 = a.loaderSha256;
    if (const std::string why = LinesMissing(opt_, session_.port(), log_.device); !why.empty()) {
      return Finish(kExitPort, kNoModemLines, kNoModemLines, why);
    }
    if (BeginRecord(a.attempt, a.syncStarted)) Write(a.syncStarted);
  }

 private:
  // The board's record and serial number (see BoardRecord). False when
  // refused: the board has then finished, and a download already begun
  // (syncStarted) was aborted before any byte of the image.
  bool BeginRecord(int attempt, bool syncStarted) {
    if (auto refused = record_.Begin(session_, log_, attempt)) {
      if (syncStarted) {
        session_.Abort();
        loop_.RunUntil([&] { return ended_.has_value(); }, loop_.NowMs() + 5000);
      }
      Finish(refused->status, refused->result, refused->result, "");
      return false;
    }
    std::lock_guard lock(board_.mu);
    board_.serial = log_.serial;
    return true;
  }

  // ---- The modem lines (--before, --after, --lines) ----
  static constexpr char kNoModemLines[] = "the port has no modem control lines";

  // Right before the first sync byte, so that the boot mode it selects is
  // answered at once. False when a line change failed (the board finished).
  bool LinesBefore() {
    std::string why;
    if (RunLineSequence(session_.port(), SystemClock(), opt_.linesBefore, why)) return true;
    Finish(kExitPort, "--before failed", "--before failed", log_.device + ": --before " + why);
    return false;
  }

  // Once the write has ended and the port is back at its rate. A written
  // board that the sequence could not restart is not reported as done.
  void LinesAfter(int& status, std::string& detail) {
    if (opt_.linesAfter.empty()) return;
    session_.WaitPortActionsDone(2000);
    std::string why;
    if (RunLineSequence(session_.port(), SystemClock(), opt_.linesAfter, why)) return;
    detail += (detail.empty() ? "" : "\n") + log_.device + ": --after " + why;
    if (status == kExitOk) status = kExitPort;
  }

  // Starts a load and runs the console loop until it has ended; false when
  // the file was refused (and the board then finished).
  template <typename StartFn>
  bool Load(StartFn start, const std::string& path) {
    start();
    loop_.Run([&] {
      const auto v = session_.Snapshot();
      return v.ready && !v.loading;
    });
    const auto v = session_.Snapshot();
    if (v.loadOutcome == LoadOutcome::kLoaded) return true;
    const auto messages = loop_.Messages();
    const std::string message = messages.empty() ? "" : messages.back().text;
    Finish(kExitFile, path + ": " + message, message, v.loadDetail);
    return false;
  }

  bool LoadBootLoader() {
    if (!Load([&] { session_.OnCpuSelect(opt_.loader); }, opt_.loader)) return false;
    const DownloadView v = session_.Snapshot();
    if (v.bootImage && v.slotLength[0] <= kBootImageSize) log_.loaderSha256 = Sha256Hex(*v.bootImage);
    if (v.slotLength[0] == 0) {
      Finish(kExitFile, opt_.loader + ": " + text::kBootLoaderBad, text::kBootLoaderBad,
             "the boot loader file holds no data");
      return false;
    }
    if (v.slotLength[0] > kBootImageSize) {
      Finish(kExitFile, opt_.loader + ": " + text::kBootLoaderInvalid, text::kBootLoaderInvalid,
             "the boot loader spans " + std::to_string(v.slotLength[0]) +
                 " bytes; boot mode takes at most " + std::to_string(kBootImageSize));
      return false;
    }
    return true;
  }

  // syncStarted: a station's sync has already begun this download.
  void Write(bool syncStarted = false) {
    if (!syncStarted) {
      if (!LinesBefore()) return;
      ended_.reset();
      session_.OnWrite();
    }
    const int64_t startMs = SystemClock().NowMs();
    std::string hint;
    while (!ended_) {
      loop_.RunUntil([&] { return ended_.has_value(); }, loop_.NowMs() + 100);
      const DownloadView v = session_.Snapshot();
      Progress(v);
      if (ended_) break;
      if (g_interrupted) {
        session_.Abort();
        continue;
      }
      const int64_t lastHeard = session_.LastReceiveMs();
      if (SystemClock().NowMs() - std::max(startMs, lastHeard) > int64_t{opt_.timeoutSeconds} * 1000) {
        hint = NoAnswerHint(v, opt_.ram, lastHeard >= startMs);
        session_.GiveUp();
      }
    }
    Ended ended = *ended_;
    loop_.Run([] { return true; });  // deliver the final texts
    const std::string status = loop_.Text(Surface::kStatus);
    std::string result = status;
    std::string detail;
    switch (ended.outcome) {
      case Outcome::kAborted:
        result = "interrupted";
        break;
      case Outcome::kNoAnswer:
        result = "no answer from the board for " + std::to_string(opt_.timeoutSeconds) + " s: " + hint;
        break;
      case Outcome::kUnplugged:
        detail = log_.device + " has gone (was the adapter unplugged?)";
        break;
      case Outcome::kBeyondImage:
        result = "the loader asked for more blocks than the image has (" +
                 std::to_string((log_.length.value_or(0) + kBlockSize - 1) / kBlockSize) + ")";
        break;
      default:
        break;
    }
    if (ended.outcome == Outcome::kWritten && opt_.execute) {
      ended_.reset();
      session_.OnExecute();
      // The "1" goes out or fails within its write time-out.
      loop_.RunUntil([&] { return ended_.has_value(); }, loop_.NowMs() + 60000);
      ended = ended_.value_or(Ended{Outcome::kExecuteFailed, text::kSendFailed});
      result = ended.text;
    }
    int exit = StatusOf(ended.outcome);
    if (ended.outcome != Outcome::kAborted) LinesAfter(exit, detail);
    Finish(exit, result, ended.outcome == Outcome::kExecuteFailed ? result : status, detail);
  }

  void Progress(const DownloadView& v) {
    std::lock_guard lock(board_.mu);
    if (IsWritePhase(v.phase)) {
      board_.phase = "write";
      board_.done = v.pos;
      board_.total = v.slotLength[1];
    } else if (v.phase != Phase::kIdle) {
      board_.phase = "boot";
      board_.done = v.pos;
      board_.total = v.slotLength[0];
    }
    board_.bytes = v.confirmed;
  }

  void Finish(int status, const std::string& result, const std::string& shown,
              std::string detail) {
    if (own_) {
      session_.JoinReceiveThread();
      session_.ClosePort();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count();
    record_.End(status, shown, detail);
    log_.result = shown;
    log_.exit = status;
    log_.seconds = seconds;
    if (!opt_.log.empty() && opt_.logWriter) {
      opt_.logWriter->Append(LogLine(log_));
    } else if (!opt_.log.empty() && !AppendLogLine(opt_.log, LogLine(log_))) {
      detail += (detail.empty() ? "" : "\n") + ("cannot append to the log " + opt_.log);
    }
    {
      std::lock_guard lock(board_.mu);
      board_.status = status;
      board_.result = result;
      board_.detail = detail;
      board_.seconds = seconds;
      board_.phase.clear();
      board_.finished = true;
    }
    if (board_.ended) {
      std::lock_guard lock(*board_.endedMu);
      board_.ended->notify_all();
    }
  }

  const WriteOptions& opt_;
  Board& board_;
  const std::chrono::steady_clock::time_point began_ = std::chrono::steady_clock::now();
  std::unique_ptr<BoardLine> own_;
  ConsoleLoop& loop_;
  DownloadSession& session_;
  std::optional<Ended>& ended_;  // loop thread
  LogEntry log_;
  BoardRecord record_{opt_.records.get()};
};

}  // namespace

BoardLine::BoardLine(std::unique_ptr<Port> port)
    : session(loop, SystemClock(), std::move(port), CurrentDirectory(), SessionOptions()) {
  loop.Bind(&session);
  // The loop thread acts on the ending; the texts before it are queued
  // ahead of it.
  session.OnEnded([this](const Ended& e) { loop.Post([this, e] { ended = e; }); });
}

void RunBoard(const WriteOptions& options, Board& board) { BoardRun(options, board).Run(); }

void RunBoardOnLine(const WriteOptions& options, Board& board, BoardLine& line, const LineAttempt& attempt) {
  BoardRun(options, board, &line).RunOnLine(attempt);
}

std::unique_ptr<Port> MakeBoardPort(const WriteOptions& opt) {
  if (opt.linesBefore.empty() && opt.linesAfter.empty()) return std::make_unique<TermiosPort>();
  return std::make_unique<LineKeepingPort>(std::make_unique<TermiosPort>());
}

std::string LinesMissing(const WriteOptions& opt, const Port& port, const std::string& device) {
  if ((opt.linesBefore.empty() && opt.linesAfter.empty()) || port.HasModemLines()) return "";
  return device + " has no DTR and RTS (a pseudo-terminal?); --before, --after and --lines need them";
}

std::string NoAnswerHint(const DownloadView& v, bool ram, bool heardAnything) {
  const std::string reset = "; reset the board and try again";
  const std::string noSync = "no answer to the sync (is the board in boot mode?)" + reset;
  const uint32_t blocks = (v.slotLength[1] + kBlockSize - 1) / kBlockSize;
  switch (v.phase) {
    case Phase::kIdle:
    case Phase::kSync:
      return noSync;
    case Phase::kBootHandshake:
      return heardAnything ? "boot mode did not finish the handshake" + reset : noSync;
    case Phase::kBootUpload:
      return "the boot loader upload stopped after " + std::to_string(v.pos) + " of " +
             std::to_string(v.slotLength[0]) + " bytes" + reset;
    case Phase::kBootWaitStart:
      return "the boot loader (" + std::to_string(v.slotLength[0]) + " bytes) was sent but did not start" +
             reset;
    case Phase::kWritePoll:
      return ram ? "no loader answers at 38400 bit/s (is one running on the board?)"
                 : "the boot loader does not answer at 38400 bit/s" + reset;
    case Phase::kWriteHandshake:
      return "the loader stopped answering in its handshake" + reset;
    case Phase::kWriteFinish:
      return "the loader did not acknowledge the last block (" + std::to_string(blocks) + " of " +
             std::to_string(blocks) + ")" + reset;
    case Phase::kWriteData:
      break;
  }
  return "the loader stopped answering after block " +
         std::to_string((v.pos + kBlockSize - 1) / kBlockSize) + " of " + std::to_string(blocks) +
         reset;
}

}  // namespace porten::cli
