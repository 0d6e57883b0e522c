#include "protocol/download_session.h"

#include <algorithm>
#include <utility>

#include "core/overloaded.h"
#include "link/link.h"

namespace porten {

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

bool DownloadSession::Decide(Event event) {
  bool queued = false;
  std::deque<Event> events;
  events.push_back(std::move(event));
  for (; !events.empty(); events.pop_front()) {
    std::vector<Later> later;
    {
      std::lock_guard lock(mu_);
      auto queue = [&](PortAction a) {
        queue_.push_back(std::move(a));
        queued = true;
      };
      for (Action& action : machine_.On(events.front())) {
        // Texts and timers never block (another thread's are posted), so
        // they are handed over here, in the order decided, whichever thread
        // decided. An Ended is published after its texts.
        std::visit(overloaded{
                       [&](Send& a) { queue(std::move(a)); },
                       [&](Reopen& a) { queue(a); },
                       [&](Pause& a) { queue(a); },
                       [&](const SetText& a) { window_.SetText(a.surface, a.text); },
                       [&](const ArmTimer& a) { window_.SetTimer(a.id, a.ms); },
                       [&](const KillTimer& a) { window_.KillTimer(a.id); },
                       [&](ShowMessage& a) { later.emplace_back(std::move(a)); },
                       [&](OpenLoad& a) { later.emplace_back(std::move(a)); },
                       [&](RunLoadBatch& a) { later.emplace_back(a); },
                       [&](CloseLoad& a) { later.emplace_back(a); },
                       [&](Ended& a) {
                         outcome_ = a.outcome;
                         later.emplace_back(std::move(a));
                       },
                   },
                   action);
      }
      if (machine_.Busy()) outcome_ = Outcome::kNone;  // a transfer runs
    }
    // A load step's report is decided in turn, not inside this decision.
    for (const Later& l : later) {
      if (std::optional<Event> report = RunLater(l)) events.push_back(std::move(*report));
    }
  }
  return queued;
}

void DownloadSession::Issue(Event event) {
  if (Decide(std::move(event))) port_->Interrupt();  // the link thread has work
}

std::optional<Event> DownloadSession::RunLater(const Later& later) {
  return std::visit(
      overloaded{
          [&](const ShowMessage& a) -> std::optional<Event> {
            window_.ShowMessage(a.text, a.caption);
            return std::nullopt;
          },
          [&](const OpenLoad& a) -> std::optional<Event> {
            const bool failed = load_.Open(a.path, startDir_, loadOptions_) == ImageLoad::Result::kFailed;
            return ReportLoad(failed ? ImageLoad::Result::kFailed : ImageLoad::Result::kMore, true);
          },
          [&](const RunLoadBatch&) -> std::optional<Event> { return ReportLoad(load_.Batch(), false); },
          [&](const CloseLoad&) -> std::optional<Event> {
            load_.Close();
            return std::nullopt;
          },
          [&](const Ended& a) -> std::optional<Event> {
            if (onEnded_) onEnded_(a);
            return std::nullopt;
          },
      },
      later);
}

LoadReport DownloadSession::ReportLoad(ImageLoad::Result result, bool opened) {
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
  return report;
}

// Link thread. The front action stays queued while it runs (a Pause until it
// is over), so PortActionsPending holds until it is done; what it reports
// is decided before the next one runs.
bool DownloadSession::RunPortActions() {
  bool reopened = false;
  while (!paused_) {
    std::optional<PortAction> action;
    {
      std::lock_guard lock(mu_);
      if (queue_.empty()) break;
      action = queue_.front();
    }
    const std::optional<Event> report = std::visit(
        overloaded{
            [&](const Send& a) { return RunSend(a); },
            [&](const Reopen& a) -> std::optional<Event> {
              reopened = true;
              return RunReopen(a);
            },
            [&](const Pause& a) -> std::optional<Event> {
              paused_ = true;
              pauseUntilMs_ = clock_.NowMs() + a.ms;
              pauseTicket_ = a.ticket;
              return std::nullopt;
            },
        },
        *action);
    if (paused_) break;  // popped when it is over (EndPause)
    if (report) Decide(*report);
    PopPortAction();
  }
  return reopened;
}

std::optional<Event> DownloadSession::RunSend(const Send& send) {
  const size_t count = send.bytes.size();
  const int timeout =
      options_.writeTimeoutPerByteMs * static_cast<int>(count) + options_.writeTimeoutConstantMs;
  const size_t written = port_->Write(send.bytes.data(), count, timeout);
  if (!send.checked) return std::nullopt;
  return SendDone{send.transfer, written == count};
}

Event DownloadSession::RunReopen(const Reopen& reopen) {
  port_->Close();
  if (reopen.closedMs > 0) clock_.Sleep(reopen.closedMs);
  std::string path;
  {
    std::lock_guard lock(mu_);
    path = portPath_;
  }
  const bool ok = port_->Open(path, reopen.rate, 1, 0);
  if (ok && reopen.afterMs > 0) clock_.Sleep(reopen.afterMs);
  return Reopened{reopen.ticket, ok};
}

void DownloadSession::EndPause() {
  paused_ = false;
  PopPortAction();  // the Pause
  Decide(PauseOver{pauseTicket_});
}

// Reads what waits into the ring, but never past the unhandled bytes: the
// ring keeps one slot free so a full ring is told apart from an empty one,
// and a burst larger than the ring waits in the driver until the ring is
// handled. True when anything was read.
bool DownloadSession::Drain() {
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
  return readAny;
}

void DownloadSession::ReceivePass() {
  for (bool more = true; more;) {
    more = Drain();
    while (rxRead_ != rxWrite_) {
      const uint8_t b = rxRing_[rxRead_];
      rxRead_ = (rxRead_ + 1) % kRxRingSize;
      Decide(ByteReceived{b});
      // The answer goes out before the next byte is looked at. After a
      // reopen, what is left answered the exchange that just ended at the
      // old rate: taken now, it would pass for an answer at the new one.
      if (RunPortActions()) rxRead_ = rxWrite_;
    }
  }
}

void DownloadSession::Pump() {
  if (paused_ && clock_.NowMs() >= pauseUntilMs_) EndPause();
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

void DownloadSession::PopPortAction() {
  bool emptied;
  {
    std::lock_guard lock(mu_);
    queue_.pop_front();
    emptied = queue_.empty();
  }
  if (emptied) queueEmptied_.notify_all();
}

bool DownloadSession::PortActionsPending() const {
  std::lock_guard lock(mu_);
  return !queue_.empty();
}

bool DownloadSession::WaitPortActionsDone(int timeoutMs) const {
  std::unique_lock lock(mu_);
  return queueEmptied_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return queue_.empty(); });
}

// ---- Port -------------------------------------------------------------------

bool DownloadSession::OpenInitialPort(const std::string& path) {
  {
    std::lock_guard lock(mu_);
    portPath_ = path;
  }
  const bool ok = port_->Open(path, 4800, 1, 0);
  Decide(PortOpened{ok ? 4800 : 0});
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
  Decide(PortOpened{0});
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
    wasBusy = machine_.Busy();
  }
  Issue(CommandIssued{Command::kWrite});
  if (wasBusy) port_->InterruptWrites();
}

void DownloadSession::Abort() {
  Issue(CommandIssued{Command::kAbort});
  port_->InterruptWrites();
}

void DownloadSession::GiveUp() {
  Issue(CommandIssued{Command::kGiveUp});
  port_->InterruptWrites();
}

void DownloadSession::OnExecute() { Issue(CommandIssued{Command::kExecute}); }

bool DownloadSession::CanBrowse() const {
  const DownloadView v = Snapshot();
  return !v.busy && v.ready;
}

bool DownloadSession::OnBrowse(const std::string& path) {
  // Only window-thread commands start transfers and loads, so the answer
  // cannot change before the decision.
  if (!CanBrowse()) return false;
  Issue(BrowseChosen{path});
  return true;
}

bool DownloadSession::OnCpuSelect(const std::string& name) {
  if (Snapshot().busy) return false;
  Issue(CpuSelected{name});
  return !name.empty();
}

bool DownloadSession::PatchWriteImage(uint32_t address, std::vector<uint8_t> bytes) {
  const std::vector<uint8_t> wanted = bytes;
  Issue(ImagePatched{address, std::move(bytes)});
  const DownloadView v = Snapshot();
  if (!v.writeImage || address < v.slotBase[1]) return false;
  const uint64_t offset = address - v.slotBase[1];
  const std::vector<uint8_t>& image = *v.writeImage;
  return offset + wanted.size() <= image.size() &&
         std::equal(wanted.begin(), wanted.end(), image.begin() + static_cast<ptrdiff_t>(offset));
}

bool DownloadSession::UseImage(int slot, Image image) {
  if (!CanBrowse()) return false;
  Issue(ImageGiven{slot, std::move(image)});
  return true;
}

bool DownloadSession::OnRamTransfer() {
  Issue(CommandIssued{Command::kRamTransfer});
  return Snapshot().ramTransfer;
}

bool DownloadSession::OnCpuBootImitation() {
  Issue(CommandIssued{Command::kCpuBootImitation});
  return Snapshot().cpuBootImitation;
}

void DownloadSession::OnTimer(int id) { Issue(TimerFired{id}); }

DownloadView DownloadSession::Snapshot() const {
  std::lock_guard lock(mu_);
  DownloadView v = machine_.View();
  v.outcome = outcome_;
  return v;
}

}  // namespace porten
