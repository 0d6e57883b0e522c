#include "protocol/download_session.h"

#include <unistd.h>

#include <algorithm>
#include <utility>

#include "core/texts.h"
#include "link/link.h"
#include "protocol/session_internal.h"
#include "srec/load.h"

namespace porten {

DownloadSession::DownloadSession(WindowSystem& window, Clock& clock, std::unique_ptr<Port> port,
                                 std::string startDir)
    : window_(std::make_unique<DeferredWindow>(window)),
      clock_(clock),
      image_(kImageBufferSize, 0xFF) {
  link_.port = std::move(port);
  st_.m_pImage = image_.data();
  st_.m_szStartDir = std::move(startDir);
}

DownloadSession::~DownloadSession() {
  JoinReceiveThread();
  std::lock_guard lock(mu_);
  if (st_.m_hFile >= 0) {  // a load abandoned with the window
    ::close(st_.m_hFile);
    st_.m_hFile = -1;
  }
  porten::ClosePort(link_);
}

void DownloadSession::FlushMessages() {
  DeferredWindow::Pending pending;
  {
    std::lock_guard lock(mu_);
    pending = window_->Take();
  }
  window_->Show(pending);
}

// ---- Port -----------------------------------------------------------------

bool DownloadSession::OpenInitialPort(const std::string& path) {
  std::lock_guard lock(mu_);
  return OpenPort(link_, path, 4800, 1, 0);
}

std::string DownloadSession::OpenFailureText() const {
  std::lock_guard lock(mu_);
  return DescribeOpenFailure(link_);
}

void DownloadSession::ClosePort() {
  std::lock_guard lock(mu_);
  porten::ClosePort(link_);
}

// ---- Receive thread -----------------------------------------------------

void DownloadSession::StartReceiveThread() {
  if (thread_.joinable()) return;
  st_.m_bRun = 1;
  st_.m_bThreadExited = 0;
  thread_ = std::thread([this] { ReceiveThreadProc(); });
}

void DownloadSession::RequestStop() {
  st_.m_bRun = 0;
  link_.port->Interrupt();  // the thread sees the flag now, not after its poll
}

bool DownloadSession::ThreadExited() const { return st_.m_bThreadExited != 0; }

void DownloadSession::JoinReceiveThread() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

void DownloadSession::ReceiveThreadProc() {
  // poll() stands in for the old busy status loop: it wakes at once when a
  // byte arrives, and at once when RequestStop rings the port's doorbell, so
  // m_bRun is looked at the moment it changes. The time-out is only a
  // backstop; a closed or hung-up port makes WaitReadable sleep it out, so
  // this loop never spins. Each idle wake-up costs CPU: at 5 ms an idle tool
  // used about 1% of a core, at 20 ms a quarter of that.
  constexpr int kPollMs = 20;
  while (st_.m_bRun) {
    if (link_.port->WaitReadable(kPollMs) == 0) continue;
    ReceivePass();
  }
  st_.m_bThreadExited = 1;
}

void DownloadSession::ReceivePass() {
  std::lock_guard lock(mu_);
  auto& ring = link_.RxRing;
  for (;;) {
    // Drain, but never past the unhandled bytes: the ring keeps one slot
    // free so a full ring is told apart from an empty one, and a burst
    // larger than the ring waits in the driver until the ring is handled.
    bool readAny = false;
    for (;;) {
      int32_t used = (link_.RxWrite - link_.RxRead + kRxRingSize) % kRxRingSize;
      int32_t space = kRxRingSize - 1 - used;
      if (space == 0) break;
      int32_t contiguous = std::min(space, kRxRingSize - link_.RxWrite);
      size_t n = link_.port->Read(&ring[link_.RxWrite], static_cast<size_t>(contiguous));
      if (n == 0) break;
      readAny = true;
      link_.RxWrite = static_cast<int32_t>((link_.RxWrite + n) % kRxRingSize);
    }
    if (readAny) lastReceiveMs_ = clock_.NowMs();

    leaveHandling_ = false;
    while (link_.RxRead != link_.RxWrite && !leaveHandling_) {
      uint8_t b = ring[link_.RxRead];
      link_.RxRead = (link_.RxRead + 1) % kRxRingSize;
      Dispatch(b);
    }
    if (leaveHandling_ || !readAny) return;
  }
}

void DownloadSession::Dispatch(uint8_t b) {
  int32_t state = st_.m_nState;
  if (state >= 254) {
    ++st_.m_nSyncCount;
  } else if (state == STATE_IDLE) {
    // nothing is expected: drop it
  } else if (state >= 20) {
    OnWriteByte(b);
  } else {
    OnBootByte(b);
  }
}

// ---- Commands -------------------------------------------------------------

void DownloadSession::Send(const uint8_t* bytes, uint32_t count) { WritePort(link_, bytes, count); }

void DownloadSession::SetStatus(const std::string& text) { window_->SetText(Surface::kStatus, text); }

void DownloadSession::RestoreWriteCaption() { window_->SetText(Surface::kWriteCaption, text::kWrite); }

bool DownloadSession::CanBrowse() const {
  std::lock_guard lock(mu_);
  return st_.m_nState == 0 && st_.m_bReady;
}

bool DownloadSession::OnBrowse(const std::string& path) {
  Locked l(*this);
  if (st_.m_nState > 0 || !st_.m_bReady) return false;
  st_.m_strFilePath = path;
  window_->SetText(Surface::kFilePath, path);
  window_->SetText(Surface::kAddress, text::kPleaseLoad);
  st_.m_nLength = 0;
  st_.m_nTarget = 1;
  st_.m_nSlotLength[1] = 0;
  StartLoad(st_, link_, *window_);
  return true;
}

bool DownloadSession::OnCpuSelect(const std::string& name) {
  Locked l(*this);
  // Clearing the lengths under a running transfer would cut it short.
  if (st_.m_nState > 0) return false;
  if (name.empty()) {
    window_->ShowMessage(text::kSpecifyBootFile, text::kFileErrorCaption);
    return false;
  }
  st_.m_strFilePath = name;
  window_->SetText(Surface::kBootFileName, name);
  st_.m_nLength = 0;
  st_.m_nTarget = 0;
  st_.m_nSlotLength[0] = 0;
  StartLoad(st_, link_, *window_);
  return true;
}

bool DownloadSession::OnRamTransfer() {
  std::lock_guard lock(mu_);
  st_.m_bRamTransfer = !st_.m_bRamTransfer;
  return st_.m_bRamTransfer;
}

bool DownloadSession::OnCpuBootImitation() {
  std::lock_guard lock(mu_);
  st_.m_bCpuBootImitation = !st_.m_bCpuBootImitation;
  return st_.m_bCpuBootImitation;
}

void DownloadSession::Abort() {
  Locked l(*this);
  AbortTransfer();
}

void DownloadSession::OnTimer(int id) {
  Locked l(*this);
  switch (id) {
    case TIMER_LOAD:
      LoadBatch(st_, link_, *window_);
      break;
    case TIMER_WRITE_POLL:
      OnWritePollTimer();
      break;
    case TIMER_BOOT_SYNC:
      OnBootSyncTimer(l.lock);
      break;
    default:
      break;
  }
}

DownloadSession::View DownloadSession::Snapshot() const {
  std::lock_guard lock(mu_);
  View v;
  v.state = st_.m_nState;
  v.pos = st_.m_nPos;
  v.length = st_.m_nLength;
  for (int t = 0; t < 2; ++t) {
    v.slotLength[t] = st_.m_nSlotLength[t];
    v.slotBase[t] = st_.m_nSlotBase[t];
  }
  v.loading = st_.m_bLoading != 0;
  v.ready = st_.m_bReady != 0;
  v.ramTransfer = st_.m_bRamTransfer != 0;
  v.cpuBootImitation = st_.m_bCpuBootImitation != 0;
  v.writeError = st_.m_nWriteError;
  return v;
}

}  // namespace porten
