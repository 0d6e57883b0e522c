#include "protocol/download_session.h"

#include <algorithm>
#include <type_traits>
#include <utility>

#include "link/link.h"

namespace porten {

namespace {

// The session whose link loop runs on this thread: the receive thread, or a
// test calling Pump. Decisions made there need no doorbell.
thread_local const DownloadSession* tl_linkThreadOf = nullptr;

struct LinkThreadMark {
  explicit LinkThreadMark(const DownloadSession* s) : previous(tl_linkThreadOf) {
    tl_linkThreadOf = s;
  }
  ~LinkThreadMark() { tl_linkThreadOf = previous; }
  const DownloadSession* previous;
};

}  // namespace

DownloadSession::DownloadSession(WindowSystem& window, Clock& clock, std::unique_ptr<Port> port,
                                 std::string startDir, Options options)
    : window_(window),
      clock_(clock),
      options_(options),
      port_(std::move(port)),
      startDir_(std::move(startDir)),
      machine_(DownloadMachine::Options{options.firstLoadDelayMs}) {}

DownloadSession::~DownloadSession() {
  JoinReceiveThread();
  load_.Close();  // a load abandoned with the window
  port_->Close();
}

// ---- Deciding and doing ---------------------------------------------------

void DownloadSession::Decide(const Event& event) {
  Actions later;
  bool queued = false;
  {
    std::lock_guard lock(mu_);
    for (Action& action : machine_.On(event)) {
      if (IsPortAction(action)) {
        queue_.push_back(std::move(action));
        queued = true;
      } else if (std::holds_alternative<SetText>(action) ||
                 std::holds_alternative<ArmTimer>(action) ||
                 std::holds_alternative<KillTimer>(action)) {
        // Texts and timers never block (another thread's are posted), so
        // they are handed over in the order decided, whichever thread decided.
        RunWindowAction(action);
      } else {
        later.push_back(std::move(action));  // message boxes and file reads
      }
    }
  }
  if (queued && tl_linkThreadOf != this) port_->Interrupt();  // the link thread has work
  for (const Action& action : later) RunWindowAction(action);
  bool ended = false;
  {
    std::lock_guard lock(mu_);
    ended = published_ != machine_.state().m_nOutcome;
    published_ = machine_.state().m_nOutcome;
  }
  if (ended && onOutcome_) onOutcome_();
}

void DownloadSession::RunWindowAction(const Action& action) {
  std::visit(
      [this](const auto& a) {
        using A = std::decay_t<decltype(a)>;
        if constexpr (std::is_same_v<A, SetText>) {
          window_.SetText(a.surface, a.text);
        } else if constexpr (std::is_same_v<A, ShowMessage>) {
          window_.ShowMessage(a.text, a.caption);
        } else if constexpr (std::is_same_v<A, ArmTimer>) {
          window_.SetTimer(a.id, a.ms);
        } else if constexpr (std::is_same_v<A, KillTimer>) {
          window_.KillTimer(a.id);
        } else if constexpr (std::is_same_v<A, OpenLoad>) {
          ReportLoad(load_.Open(a.path, startDir_, loadOptions_) == ImageLoad::Result::kFailed
                         ? ImageLoad::Result::kFailed
                         : ImageLoad::Result::kMore,
                     true);
        } else if constexpr (std::is_same_v<A, RunLoadBatch>) {
          ReportLoad(load_.Batch(), false);
        } else if constexpr (std::is_same_v<A, CloseLoad>) {
          load_.Close();
        }
      },
      action);
}

void DownloadSession::ReportLoad(ImageLoad::Result result, bool opened) {
  LoadReport report;
  switch (result) {
    case ImageLoad::Result::kMore:
      report.kind = opened ? LoadReport::kOpened : LoadReport::kProgress;
      report.length = load_.length();
      break;
    case ImageLoad::Result::kDone:
      report.kind = LoadReport::kDone;
      report.image = load_.TakeImage();
      break;
    case ImageLoad::Result::kFailed:
      report.kind = LoadReport::kFailed;
      report.message = load_.error().message;
      report.detail = load_.error().detail;
      break;
  }
  Decide(report);
}

// Link thread. The front action stays queued while it runs, so
// PortActionsPending holds until it is done.
void DownloadSession::RunPortActions() {
  // A step reports back (Reopened, SendFailed) through Decide, which would
  // come here again: the outer loop goes on with the queue in order.
  if (runningPortActions_) return;
  runningPortActions_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{runningPortActions_};
  while (!paused_) {
    Action action = Pause{0};
    {
      std::lock_guard lock(mu_);
      if (queue_.empty()) return;
      action = queue_.front();
    }
    if (const auto* pause = std::get_if<Pause>(&action)) {
      paused_ = true;
      pauseUntilMs_ = clock_.NowMs() + pause->ms;
      pauseTicket_ = pause->ticket;
      return;  // popped when it is over (Pump)
    }
    if (const auto* send = std::get_if<Send>(&action)) {
      RunSend(*send);
    } else if (const auto* reopen = std::get_if<Reopen>(&action)) {
      RunReopen(*reopen);
    }
    std::lock_guard lock(mu_);
    queue_.pop_front();
  }
}

void DownloadSession::RunSend(const Send& send) {
  const size_t count = send.bytes.size();
  const int timeout =
      options_.writeTimeoutPerByteMs * static_cast<int>(count) + options_.writeTimeoutConstantMs;
  const size_t written = port_->Write(send.bytes.data(), count, timeout);
  if (written != count && send.checked) Decide(SendFailed{send.transfer});
}

void DownloadSession::RunReopen(const Reopen& reopen) {
  port_->Close();
  if (reopen.closedMs > 0) clock_.Sleep(reopen.closedMs);
  std::string path;
  {
    std::lock_guard lock(mu_);
    path = portPath_;
  }
  const bool ok = port_->Open(path, reopen.rate, 1, 0);
  // What arrived before the rate changed answered the exchange that just
  // ended; handled now, it would be taken for an answer at the new rate.
  rxRead_ = 0;
  rxWrite_ = 0;
  if (ok && reopen.afterMs > 0) clock_.Sleep(reopen.afterMs);
  Decide(Reopened{reopen.ticket, ok});
}

void DownloadSession::ReceivePass() {
  for (;;) {
    // Drain, but never past the unhandled bytes: the ring keeps one slot
    // free so a full ring is told apart from an empty one, and a burst
    // larger than the ring waits in the driver until the ring is handled.
    bool readAny = false;
    for (;;) {
      const int32_t used = (rxWrite_ - rxRead_ + kRxRingSize) % kRxRingSize;
      const int32_t space = kRxRingSize - 1 - used;
      if (space == 0) break;
      const int32_t contiguous = std::min(space, kRxRingSize - rxWrite_);
      const size_t n = port_->Read(&rxRing_[rxWrite_], static_cast<size_t>(contiguous));
      if (n == 0) break;
      readAny = true;
      rxWrite_ = static_cast<int32_t>((rxWrite_ + n) % kRxRingSize);
    }
    if (readAny) lastReceiveMs_ = clock_.NowMs();

    while (rxRead_ != rxWrite_) {
      const uint8_t b = rxRing_[rxRead_];
      rxRead_ = (rxRead_ + 1) % kRxRingSize;
      Decide(ByteReceived{b});
      // The answer goes out before the next byte is looked at. (After the
      // texts of the same decision: run first, a step that fails would have
      // its texts overwritten by the older ones.)
      RunPortActions();
    }
    if (!readAny) return;
  }
}

void DownloadSession::Pump() {
  LinkThreadMark mark(this);
  if (paused_ && clock_.NowMs() >= pauseUntilMs_) {
    paused_ = false;
    {
      std::lock_guard lock(mu_);
      queue_.pop_front();  // the Pause
    }
    Decide(PauseOver{pauseTicket_});
  }
  RunPortActions();
  ReceivePass();
  // A device that hung up answers nothing more: say so at once rather than
  // let the front end wait for a reply that cannot come. The machine ignores
  // it while nothing runs.
  if (port_->Lost()) {
    Decide(LineLost{});
    RunPortActions();
  }
}

bool DownloadSession::PortActionsPending() const {
  std::lock_guard lock(mu_);
  return !queue_.empty();
}

// ---- Port -------------------------------------------------------------------

bool DownloadSession::OpenInitialPort(const std::string& path) {
  {
    std::lock_guard lock(mu_);
    portPath_ = path;
  }
  const bool ok = port_->Open(path, 4800, 1, 0);
  std::lock_guard lock(mu_);
  machine_.state().m_nPortRate = ok ? 4800 : 0;
  return ok;
}

OpenError DownloadSession::LastOpenError() const { return port_->LastOpenError(); }

std::string DownloadSession::OpenFailureText() const {
  std::string path;
  {
    std::lock_guard lock(mu_);
    path = portPath_;
  }
  return DescribeOpenFailure(path, port_->LastOpenError());
}

void DownloadSession::ClosePort() {
  port_->Close();
  std::lock_guard lock(mu_);
  machine_.state().m_nPortRate = 0;
}

// ---- Receive thread -------------------------------------------------------

void DownloadSession::StartReceiveThread() {
  if (thread_.joinable()) return;
  m_bRun = 1;
  m_bThreadExited = 0;
  thread_ = std::thread([this] { ReceiveThreadProc(); });
}

void DownloadSession::RequestStop() {
  m_bRun = 0;
  port_->InterruptWrites();
  port_->Interrupt();  // the thread sees the flag now, not after its poll
}

bool DownloadSession::ThreadExited() const { return m_bThreadExited != 0; }

void DownloadSession::JoinReceiveThread() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

void DownloadSession::ReceiveThreadProc() {
  LinkThreadMark mark(this);
  // The poll wakes at once when a byte arrives, and at once when a command
  // queues a port action or asks the thread to stop, so its time-out is only
  // a backstop: a closed or lost port makes WaitReadable sleep it out, so
  // this loop never spins. Each idle wake-up costs CPU: at 5 ms an idle tool
  // used about 1% of a core, at 20 ms a quarter of that.
  constexpr int kPollMs = 20;
  while (m_bRun) {
    int wait = kPollMs;
    if (paused_) {
      wait = static_cast<int>(std::clamp<int64_t>(pauseUntilMs_ - clock_.NowMs(), 0, kPollMs));
    } else if (PortActionsPending()) {
      wait = 0;
    }
    if (wait > 0) port_->WaitReadable(wait);
    if (!m_bRun) break;
    Pump();
  }
  m_bThreadExited = 1;
}

// ---- Commands -------------------------------------------------------------

void DownloadSession::OnWrite() {
  // The Write button aborts as well as starts: an abort must also end a
  // write that a stalled line holds up.
  bool wasBusy;
  {
    std::lock_guard lock(mu_);
    wasBusy = machine_.state().Busy();
  }
  Decide(CommandIssued{Command::kWrite});
  if (wasBusy) port_->InterruptWrites();
}

void DownloadSession::Abort() {
  Decide(CommandIssued{Command::kAbort});
  port_->InterruptWrites();
}

void DownloadSession::GiveUp() {
  Decide(CommandIssued{Command::kGiveUp});
  port_->InterruptWrites();
}

void DownloadSession::OnExecute() { Decide(CommandIssued{Command::kExecute}); }

bool DownloadSession::CanBrowse() const {
  std::lock_guard lock(mu_);
  return !machine_.state().Busy() && machine_.state().m_bReady;
}

bool DownloadSession::OnBrowse(const std::string& path) {
  // Only window-thread commands start transfers and loads, so the answer
  // cannot change before the decision.
  if (!CanBrowse()) return false;
  Decide(BrowseChosen{path});
  return true;
}

bool DownloadSession::OnCpuSelect(const std::string& name) {
  {
    std::lock_guard lock(mu_);
    if (machine_.state().Busy()) return false;
  }
  Decide(CpuSelected{name});
  return !name.empty();
}

bool DownloadSession::UseImage(int slot, Image image) {
  if (!CanBrowse()) return false;
  Decide(ImageGiven{slot, std::move(image)});
  return true;
}

bool DownloadSession::OnRamTransfer() {
  Decide(CommandIssued{Command::kRamTransfer});
  std::lock_guard lock(mu_);
  return machine_.state().m_bRamTransfer != 0;
}

bool DownloadSession::OnCpuBootImitation() {
  Decide(CommandIssued{Command::kCpuBootImitation});
  std::lock_guard lock(mu_);
  return machine_.state().m_bCpuBootImitation != 0;
}

void DownloadSession::OnTimer(int id) { Decide(TimerFired{id}); }

DownloadSession::View DownloadSession::Snapshot() const {
  std::lock_guard lock(mu_);
  const DownloadState& st = machine_.state();
  View v;
  v.state = st.m_nState;
  v.phase = PhaseOf(st.m_nState);
  v.pos = st.m_nPos;
  v.length = st.m_nLength;
  v.confirmed = st.m_nConfirmed;
  for (int t = 0; t < 2; ++t) {
    v.slotLength[t] = st.m_nSlotLength[t];
    v.slotBase[t] = st.m_nSlotBase[t];
  }
  v.loading = st.m_bLoading != 0;
  v.ready = st.m_bReady != 0;
  v.busy = st.Busy();
  v.ramTransfer = st.m_bRamTransfer != 0;
  v.cpuBootImitation = st.m_bCpuBootImitation != 0;
  v.writeError = st.m_nWriteError;
  v.outcome = published_;
  v.loadOutcome = st.m_nLoadOutcome;
  v.loadDetail = st.m_strLoadDetail;
  return v;
}

DownloadState DownloadSession::State() const {
  std::lock_guard lock(mu_);
  return machine_.state();
}

}  // namespace porten
