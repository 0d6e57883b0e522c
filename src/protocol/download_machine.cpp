#include "protocol/download_machine.h"

#include <cstdio>
#include <type_traits>
#include <utility>

#include "core/texts.h"

namespace porten {

Actions DownloadMachine::On(const Event& event) {
  Actions actions;
  out_ = &actions;
  std::visit(
      [this](const auto& e) {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, ByteReceived>) {
          // Each byte goes to the reaction of the state it arrives in.
          switch (PhaseOf(st_.m_nState)) {
            case Phase::kSync:
              ++st_.m_nSyncCount;  // replies to the sync are only counted
              break;
            case Phase::kIdle:
              break;  // nothing is expected: dropped
            case Phase::kWrite:
              OnWriteByte(e.byte);
              break;
            case Phase::kBoot:
              OnBootByte(e.byte);
              break;
          }
        } else if constexpr (std::is_same_v<E, TimerFired>) {
          OnTimer(e.id);
        } else if constexpr (std::is_same_v<E, CommandIssued>) {
          OnCommand(e.command);
        } else if constexpr (std::is_same_v<E, BrowseChosen>) {
          OnBrowse(e.path);
        } else if constexpr (std::is_same_v<E, CpuSelected>) {
          OnCpuSelect(e.name);
        } else if constexpr (std::is_same_v<E, SendFailed>) {
          OnSendFailed(e);
        } else if constexpr (std::is_same_v<E, Reopened>) {
          OnReopened(e);
        } else if constexpr (std::is_same_v<E, PauseOver>) {
          OnPauseOver(e);
        } else if constexpr (std::is_same_v<E, LineLost>) {
          OnLineLost();
        } else if constexpr (std::is_same_v<E, LoadReport>) {
          OnLoadReport(e);
        } else if constexpr (std::is_same_v<E, ImageGiven>) {
          OnImageGiven(e);
        }
      },
      event);
  out_ = nullptr;
  return actions;
}

std::string DownloadMachine::AddressText(uint32_t base, uint32_t length) {
  // 32-bit arithmetic on purpose: an empty image reads base .. base - 1.
  char text[64];
  std::snprintf(text, sizeof text, text::kAddressFmt, static_cast<unsigned long>(base),
                static_cast<unsigned long>(static_cast<uint32_t>(base + length - 1)));
  return text;
}

// ---- Emitters -------------------------------------------------------------

void DownloadMachine::SendBytes(std::vector<uint8_t> bytes, bool checked) {
  Emit(Send{std::move(bytes), checked, st_.m_nTransfer});
}

void DownloadMachine::RestoreWriteCaption() { Emit(SetText{Surface::kWriteCaption, text::kWrite}); }

void DownloadMachine::ReopenAt(int rate, int closedMs, int afterMs, Resume resume) {
  const uint32_t ticket = ++st_.m_nTickets;
  Emit(Reopen{rate, closedMs, afterMs, ticket});
  // Decisions made before the reopen has run already see the new rate; a
  // failure corrects it.
  st_.m_nPortRate = rate;
  st_.m_nResume = resume;
  st_.m_nAwaited = ticket;
}

void DownloadMachine::PauseFor(int ms, Resume resume) {
  const uint32_t ticket = ++st_.m_nTickets;
  Emit(Pause{ms, ticket});
  st_.m_nResume = resume;
  st_.m_nAwaited = ticket;
}

void DownloadMachine::End(Outcome outcome, const std::string& status) {
  st_.m_nState = STATE_IDLE;
  st_.m_nResume = Resume::kNone;
  st_.m_nOutcome = outcome;
  SetStatus(status);
  RestoreWriteCaption();
}

// ---- Commands ---------------------------------------------------------------

void DownloadMachine::OnCommand(Command command) {
  switch (command) {
    case Command::kWrite:
      OnWrite();
      return;
    case Command::kAbort:
      AbortTransfer();
      return;
    case Command::kExecute:
      OnExecute();
      return;
    case Command::kRamTransfer:
      st_.m_bRamTransfer = !st_.m_bRamTransfer;
      return;
    case Command::kCpuBootImitation:
      st_.m_bCpuBootImitation = !st_.m_bCpuBootImitation;
      return;
    case Command::kGiveUp:
      if (!st_.Busy()) return;
      AbortTransfer();
      st_.m_nOutcome = Outcome::kNoAnswer;
      return;
  }
}

void DownloadMachine::OnTimer(int id) {
  switch (id) {
    case TIMER_LOAD:
      LoadBatch();
      return;
    case TIMER_WRITE_POLL:
      OnWritePollTimer();
      return;
    case TIMER_BOOT_SYNC:
      OnBootSyncTimer();
      return;
    default:
      return;
  }
}

void DownloadMachine::OnBrowse(const std::string& path) {
  if (st_.Busy() || !st_.m_bReady) return;  // a transfer or a load runs
  st_.m_strFilePath = path;
  Emit(SetText{Surface::kFilePath, path});
  Emit(SetText{Surface::kAddress, text::kPleaseLoad});
  st_.m_nTarget = 1;
  st_.m_nSlotLength[1] = 0;
  st_.m_byWriteImage.reset();
  StartLoad();
}

void DownloadMachine::OnCpuSelect(const std::string& name) {
  // Clearing the boot loader under a running transfer would cut it short.
  if (st_.Busy()) return;
  if (name.empty()) {
    Emit(ShowMessage{text::kSpecifyBootFile, text::kFileErrorCaption});
    return;
  }
  st_.m_strFilePath = name;
  Emit(SetText{Surface::kBootFileName, name});
  st_.m_nTarget = 0;
  st_.m_nSlotLength[0] = 0;
  StartLoad();
}

void DownloadMachine::OnExecute() {
  if (!st_.m_bRamTransfer) return;
  SendByte('1');
  SetStatus(text::kProgramRunning);
}

// ---- Port steps reported back ----------------------------------------------

void DownloadMachine::OnReopened(const Reopened& r) {
  const bool awaited = st_.m_nResume != Resume::kNone && r.ticket == st_.m_nAwaited;
  if (!r.ok && r.ticket == st_.m_nTickets) st_.m_nPortRate = 0;  // the last one decides
  if (!awaited) {
    // A reopen nothing waits for (back to 4800 bit/s after a write). If it
    // failed under a transfer that has started meanwhile, that transfer
    // talks into a closed port and would wait forever.
    if (!r.ok && st_.m_nState > 0) End(Outcome::kReopenFailed, text::kReopenFailed);
    return;
  }
  const Resume resume = std::exchange(st_.m_nResume, Resume::kNone);
  if (!r.ok) {
    End(Outcome::kReopenFailed, text::kReopenFailed);
    return;
  }
  if (resume == Resume::kStartSync) {
    StartSync();
  } else if (resume == Resume::kBeginWrite) {
    BeginWrite();
  }
}

void DownloadMachine::OnPauseOver(const PauseOver& p) {
  if (st_.m_nResume != Resume::kSyncTriple || p.ticket != st_.m_nAwaited) return;
  st_.m_nResume = Resume::kNone;
  // The three zeros complete the sync begun with "0" or "3"; aborted during
  // the pause, they would restart what the operator just stopped.
  if (PhaseOf(st_.m_nState) != Phase::kSync) return;
  SendBytes({0x00, 0x00, 0x00});
  st_.m_nState = STATE_BOOT_HANDSHAKE;
}

void DownloadMachine::OnSendFailed(const SendFailed& f) {
  if (f.transfer != st_.m_nTransfer || st_.m_nState == STATE_IDLE) return;
  // The loader did not get the whole block or header: whatever it answers
  // next, the ROM is not the image. End as failed, never as written.
  st_.m_nWriteError = 255;
  st_.m_nPos = st_.m_nLength;
  FailWrite();
}

void DownloadMachine::OnLineLost() {
  if (!st_.Busy()) return;
  st_.m_bAbort = 1;
  End(Outcome::kUnplugged, text::kPortLost);
}

// ---- The file load ------------------------------------------------------------

void DownloadMachine::StartLoad() {
  if (st_.Busy()) return;
  if (st_.m_bLoading) {
    // Cancel: the next batch closes the file; a further start loads anew.
    st_.m_bLoading = 0;
    return;
  }
  if (!st_.m_bReady) return;
  Emit(OpenLoad{st_.m_strFilePath});
}

void DownloadMachine::LoadBatch() {
  Emit(KillTimer{TIMER_LOAD});
  // A stray tick with no load open changes nothing.
  if (st_.m_bReady) return;
  if (!st_.m_bLoading) {  // cancelled: close without touching a slot
    Emit(CloseLoad{});
    st_.m_bReady = 1;
    st_.m_nLoadOutcome = LoadOutcome::kCancelled;
    return;
  }
  Emit(RunLoadBatch{});
}

void DownloadMachine::OnLoadReport(const LoadReport& report) {
  // Reports come only for the load the machine asked for; one that does not
  // fit (a late one, say) must not swap an image under a transfer.
  const bool fits = report.kind == LoadReport::kOpened
                        ? !st_.Busy() && st_.m_bReady && !st_.m_bLoading
                        : st_.m_bLoading || (report.kind == LoadReport::kFailed && st_.m_bReady);
  if (!fits) return;
  switch (report.kind) {
    case LoadReport::kOpened:
      st_.m_bReady = 0;
      st_.m_bLoading = 1;
      st_.m_nLoadOutcome = LoadOutcome::kNone;
      SetStatus(text::kLoadStart);
      Emit(ArmTimer{TIMER_LOAD, options_.firstLoadDelayMs});
      return;
    case LoadReport::kProgress: {
      char progress[64];
      std::snprintf(progress, sizeof progress, text::kLoadProgressFmt,
                    static_cast<long>(report.length));
      Emit(SetText{Surface::kAddress, progress});
      Emit(ArmTimer{TIMER_LOAD, 0});
      return;
    }
    case LoadReport::kDone:
      EndOfData(report.image);
      break;
    case LoadReport::kFailed:
      st_.m_nLoadOutcome = LoadOutcome::kFailed;
      st_.m_strLoadDetail = report.detail;
      Emit(ShowMessage{report.message, st_.m_strFilePath});
      break;
  }
  st_.m_bReady = 1;
  st_.m_bLoading = 0;
}

void DownloadMachine::EndOfData(const Image& image) {
  const uint32_t length = static_cast<uint32_t>(image.bytes.size());
  const std::string address = AddressText(image.base, length);
  const int target = st_.m_nTarget == 0 ? 0 : 1;
  if (target == 0) {
    if (length <= kBootImageSize) {
      st_.m_byBootImage = std::make_shared<const std::vector<uint8_t>>(image.bytes);
      SetStatus(address);
    } else {
      SetStatus(text::kBootLoaderInvalid);
    }
  } else {
    Emit(SetText{Surface::kAddress, address});
    SetTransfer(st_, length, image.base);
    st_.m_byWriteImage = std::make_shared<const std::vector<uint8_t>>(image.bytes);
  }
  st_.m_nSlotLength[target] = length;
  st_.m_nSlotBase[target] = image.base;
  st_.m_nLoadOutcome = LoadOutcome::kLoaded;
}

void DownloadMachine::OnImageGiven(const ImageGiven& given) {
  // As a load would be: never under a transfer or a load.
  if (st_.Busy() || !st_.m_bReady) return;
  st_.m_nTarget = given.slot == 0 ? 0 : 1;
  EndOfData(given.image);
}

}  // namespace porten
