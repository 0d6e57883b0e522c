// One board of porten-cli write: its own download session, receive thread and
// console loop (its "window thread"), exactly as one dialog would have.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <thread>

#include "cli/commands.h"
#include "cli/console_loop.h"
#include "cli/write.h"
#include "core/image.h"
#include "core/texts.h"
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
        own_(line ? nullptr : std::make_unique<BoardLine>(std::make_unique<TermiosPort>())),
        loop_(line ? line->loop : own_->loop),
        session_(line ? line->session : own_->session) {
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
    session_.StartReceiveThread();
    if (opt_.ram) {
      session_.OnRamTransfer();
    } else if (!LoadBootLoader()) {
      return;
    }
    if (opt_.imitation) session_.OnCpuBootImitation();
    session_.SetLoadOptions({opt_.sections});
    if (!Load([&] { session_.OnBrowse(opt_.image); }, opt_.image)) return;
    const DownloadState st = session_.State();
    log_.base = st.m_nSlotBase[1];
    log_.length = st.m_nSlotLength[1];
    if (st.m_nSlotLength[1] == 0 || !st.m_byWriteImage) {
      return Finish(kExitFile, opt_.image + ": " + text::kNoImage, text::kNoImage,
                    "the image file holds no data");
    }
    log_.imageSha256 = Sha256Hex(*st.m_byWriteImage);
    Write();
  }

  void RunOnLine(bool syncStarted, int attempt) {
    log_.attempt = attempt;
    const DownloadState st = session_.State();
    log_.base = st.m_nSlotBase[1];
    log_.length = st.m_nSlotLength[1];
    if (st.m_byWriteImage) log_.imageSha256 = Sha256Hex(*st.m_byWriteImage);
    if (!opt_.ram && st.m_byBootImage) log_.loaderSha256 = Sha256Hex(*st.m_byBootImage);
    Write(syncStarted);
  }

 private:
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
    const DownloadState st = session_.State();
    if (st.m_byBootImage && st.m_nSlotLength[0] <= kBootImageSize) {
      log_.loaderSha256 = Sha256Hex(*st.m_byBootImage);
    }
    if (st.m_nSlotLength[0] == 0) {
      Finish(kExitFile, opt_.loader + ": " + text::kBootLoaderBad, text::kBootLoaderBad,
             "the boot loader file holds no data");
      return false;
    }
    if (st.m_nSlotLength[0] > kBootImageSize) {
      Finish(kExitFile, opt_.loader + ": " + text::kBootLoaderInvalid, text::kBootLoaderInvalid,
             "the boot loader spans " + std::to_string(st.m_nSlotLength[0]) +
                 " bytes; boot mode takes at most " + std::to_string(kBootImageSize));
      return false;
    }
    return true;
  }

  void Write(bool syncStarted = false) {
    const int64_t startMs = SystemClock().NowMs();
    if (!syncStarted) session_.OnWrite();
    DownloadSession::View v;
    std::string hint;
    for (;;) {
      loop_.RunUntil([&] { return session_.Snapshot().outcome != Outcome::kNone; },
                     std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
      v = session_.Snapshot();
      Progress(v);
      if (v.outcome != Outcome::kNone) break;
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
    loop_.Run([] { return true; });  // deliver the final texts
    const std::string status = loop_.Text(Surface::kStatus);
    std::string result = status;
    std::string detail;
    switch (v.outcome) {
      case Outcome::kAborted:
        result = "interrupted";
        break;
      case Outcome::kNoAnswer:
        result = "no answer from the board for " + std::to_string(opt_.timeoutSeconds) + " s: " + hint;
        break;
      case Outcome::kUnplugged:
        detail = log_.device + " has gone (was the adapter unplugged?)";
        break;
      default:
        break;
    }
    if (v.outcome == Outcome::kWritten && opt_.execute) {
      session_.OnExecute();
      // "1" must be on the line before the port closes.
      for (int i = 0; i < 400 && session_.PortActionsPending(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      loop_.Run([] { return true; });
      result = loop_.Text(Surface::kStatus);
    }
    Finish(StatusOf(v.outcome), result, status, detail);
  }

  void Progress(const DownloadSession::View& v) {
    std::lock_guard lock(board_.mu);
    if (v.phase == Phase::kWrite) {
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
    log_.result = shown;
    log_.exit = status;
    log_.seconds = seconds;
    if (!opt_.log.empty() && !AppendLogLine(opt_.log, LogLine(log_))) {
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
  LogEntry log_;
};

}  // namespace

BoardLine::BoardLine(std::unique_ptr<Port> port)
    : session(loop, SystemClock(), std::move(port), CurrentDirectory(), SessionOptions()) {
  loop.Bind(&session);
  session.OnOutcome([this] { loop.Wake(); });
}

void RunBoard(const WriteOptions& options, Board& board) { BoardRun(options, board).Run(); }

void RunBoardOnLine(const WriteOptions& options, Board& board, BoardLine& line, bool syncStarted,
                    int attempt) {
  BoardRun(options, board, &line).RunOnLine(syncStarted, attempt);
}

std::string NoAnswerHint(const DownloadSession::View& v, bool ram, bool heardAnything) {
  const std::string reset = "; reset the board and try again";
  switch (PhaseOf(v.state)) {
    case Phase::kSync:
    case Phase::kIdle:
      return "no answer to the sync (is the board in boot mode?)" + reset;
    case Phase::kBoot:
      if (v.state == STATE_BOOT_HANDSHAKE) {
        return heardAnything ? "boot mode did not finish the handshake" + reset
                             : "no answer to the sync (is the board in boot mode?)" + reset;
      }
      if (v.state == STATE_BOOT_WAIT_START) {
        return "the boot loader (" + std::to_string(v.slotLength[0]) +
               " bytes) was sent but did not start" + reset;
      }
      return "the boot loader upload stopped after " + std::to_string(v.pos) + " of " +
             std::to_string(v.slotLength[0]) + " bytes" + reset;
    case Phase::kWrite:
      break;
  }
  if (v.state == STATE_WRITE_POLL) {
    return ram ? "no loader answers at 38400 bit/s (is one running on the board?)"
               : "the boot loader does not answer at 38400 bit/s" + reset;
  }
  if (v.state < STATE_WRITE_DATA) return "the loader stopped answering in its handshake" + reset;
  const uint32_t blocks = (v.slotLength[1] + kBlockSize - 1) / kBlockSize;
  if (v.state == STATE_WRITE_FINISH) {
    return "the loader did not acknowledge the last block (" + std::to_string(blocks) + " of " +
           std::to_string(blocks) + ")" + reset;
  }
  return "the loader stopped answering after block " +
         std::to_string((v.pos + kBlockSize - 1) / kBlockSize) + " of " + std::to_string(blocks) +
         reset;
}

}  // namespace porten::cli
