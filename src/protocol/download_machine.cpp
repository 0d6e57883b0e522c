#include "protocol/download_machine.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "core/overloaded.h"
#include "core/texts.h"

namespace porten {

Actions DownloadMachine::On(const Event& event) {
  Actions actions;
  out_ = &actions;
  std::visit(overloaded{
                 [this](const ByteReceived& e) {
                   // Each byte goes to the reaction of the state it arrives in.
                   const Phase phase = PhaseOf(state_);
                   if (phase == Phase::kSync) {
                     ++syncCount_;  // replies to the sync are only counted
                   } else if (IsWritePhase(phase)) {
                     OnWriteByte(e.byte);
                   } else if (phase != Phase::kIdle) {
                     OnBootByte(e.byte);
                   }
                 },
                 [this](const TimerFired& e) { OnTimer(e.id); },
                 [this](const CommandIssued& e) { OnCommand(e.command); },
                 [this](const BrowseChosen& e) { OnBrowse(e.path); },
                 [this](const CpuSelected& e) { OnCpuSelect(e.name); },
                 [this](const SendDone& e) { OnSendDone(e); },
                 [this](const Reopened& e) { OnReopened(e); },
                 [this](const PauseOver& e) { OnPauseOver(e); },
                 [this](const LineLost&) { OnLineLost(); },
                 [this](const PortOpened& e) { portRate_ = e.rate; },
                 [this](const LoadReport& e) { OnLoadReport(e); },
                 [this](const ImagePatched& e) { OnImagePatched(e); },
                 [this](const ImageGiven& e) { OnImageGiven(e); },
             },
             event);
  out_ = nullptr;
  return actions;
}

Phase DownloadMachine::PhaseOf(LinkState state) {
  switch (state) {
    case LinkState::kIdle:
      return Phase::kIdle;
    case LinkState::kBootHandshake:
      return Phase::kBootHandshake;
    case LinkState::kBootSizeHigh:
    case LinkState::kBootSizeLow:
    case LinkState::kBootData:
      return Phase::kBootUpload;
    case LinkState::kBootWaitStart:
      return Phase::kBootWaitStart;
    case LinkState::kWritePoll:
      return Phase::kWritePoll;
    case LinkState::kWriteAck1:
    case LinkState::kWriteAck2:
    case LinkState::kWriteHeader:
      return Phase::kWriteHandshake;
    case LinkState::kWriteData:
      return Phase::kWriteData;
    case LinkState::kWriteFinish:
      return Phase::kWriteFinish;
    case LinkState::kSyncImitation:
    case LinkState::kSyncBoot:
      return Phase::kSync;
  }
  return Phase::kIdle;
}

DownloadView DownloadMachine::View() const {
  DownloadView v;
  v.phase = PhaseOf(state_);
  v.busy = Busy();
  v.pos = pos_;
  v.confirmed = confirmed_;
  for (int t = 0; t < 2; ++t) {
    v.slotLength[t] = slotLength_[t];
    v.slotBase[t] = slotBase_[t];
  }
  v.bootImage = bootImage_;
  v.writeImage = writeImage_;
  v.portRate = portRate_;
  v.loading = loading_;
  v.ready = ready_;
  v.ramTransfer = ramTransfer_;
  v.cpuBootImitation = cpuBootImitation_;
  v.transfer = transfer_;
  v.loadOutcome = loadOutcome_;
  v.loadDetail = loadDetail_;
  return v;
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
  Emit(Send{std::move(bytes), checked, transfer_});
}

void DownloadMachine::ReopenAt(int rate, int closedMs, int afterMs, Resume resume) {
  const uint32_t ticket = ++tickets_;
  Emit(Reopen{rate, closedMs, afterMs, ticket});
  // Decisions made before the reopen has run already see the new rate; a
  // failure corrects it.
  portRate_ = rate;
  resume_ = resume;
  awaited_ = ticket;
}

void DownloadMachine::PauseFor(int ms, Resume resume) {
  const uint32_t ticket = ++tickets_;
  Emit(Pause{ms, ticket});
  resume_ = resume;
  awaited_ = ticket;
}

void DownloadMachine::End(Outcome outcome, const std::string& status) {
  state_ = LinkState::kIdle;
  resume_ = Resume::kNone;
  if (!status.empty()) SetStatus(status);
  Emit(SetText{Surface::kWriteCaption, text::kWrite});
  Emit(Ended{outcome, status});
}

// ---- Commands ---------------------------------------------------------------

void DownloadMachine::OnCommand(Command command) {
  switch (command) {
    case Command::kWrite:
      OnWrite();
      return;
    case Command::kAbort:
      AbortTransfer(Outcome::kAborted);
      return;
    case Command::kExecute:
      OnExecute();
      return;
    case Command::kRamTransfer:
      ramTransfer_ = !ramTransfer_;
      return;
    case Command::kCpuBootImitation:
      cpuBootImitation_ = !cpuBootImitation_;
      return;
    case Command::kGiveUp:
      AbortTransfer(Outcome::kNoAnswer);
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
  if (Busy() || !ready_) return;  // a transfer or a load runs
  filePath_ = path;
  Emit(SetText{Surface::kFilePath, path});
  Emit(SetText{Surface::kAddress, text::kPleaseLoad});
  target_ = 1;
  slotLength_[1] = 0;
  writeImage_.reset();
  StartLoad();
}

void DownloadMachine::OnCpuSelect(const std::string& name) {
  // Clearing the boot loader under a running transfer would cut it short.
  if (Busy()) return;
  if (name.empty()) {
    Emit(ShowMessage{text::kSpecifyBootFile, text::kFileErrorCaption});
    return;
  }
  filePath_ = name;
  Emit(SetText{Surface::kBootFileName, name});
  target_ = 0;
  slotLength_[0] = 0;
  StartLoad();
}

void DownloadMachine::OnExecute() {
  // A "1" among the blocks of a running transfer would land in the image.
  if (!ramTransfer_ || Busy()) return;
  if (portRate_ == 0) {  // a reopen failed: the "1" cannot go out
    End(Outcome::kExecuteFailed, text::kReopenFailed);
    return;
  }
  executing_ = true;
  SendBytes({'1'}, true);  // "プログラム　実行中" once it is out
}

// ---- Port steps reported back ----------------------------------------------

void DownloadMachine::OnReopened(const Reopened& r) {
  const bool awaited = resume_ != Resume::kNone && r.ticket == awaited_;
  if (!r.ok && r.ticket == tickets_) portRate_ = 0;  // the last one decides
  if (!awaited) {
    // A reopen nothing waits for (back to 4800 bit/s after a write). If it
    // failed under a transfer that has started meanwhile, that transfer
    // talks into a closed port and would wait forever.
    if (!r.ok && state_ != LinkState::kIdle) End(Outcome::kReopenFailed, text::kReopenFailed);
    return;
  }
  const Resume resume = std::exchange(resume_, Resume::kNone);
  if (!r.ok) {
    End(Outcome::kReopenFailed, text::kReopenFailed);
  } else if (resume == Resume::kStartSync) {
    StartSync();
  } else if (resume == Resume::kBeginWrite) {
    BeginWrite();
  }
}

void DownloadMachine::OnPauseOver(const PauseOver& p) {
  if (resume_ != Resume::kSyncTriple || p.ticket != awaited_) return;
  resume_ = Resume::kNone;
  // The three zeros complete the sync begun with "0" or "3"; aborted during
  // the pause, they would restart what the operator just stopped.
  if (!InSync()) return;
  SendBytes({0x00, 0x00, 0x00});
  state_ = LinkState::kBootHandshake;
}

void DownloadMachine::OnSendDone(const SendDone& d) {
  if (d.transfer != transfer_) return;  // an earlier transfer's
  if (executing_) {
    executing_ = false;
    if (d.ok) {
      End(Outcome::kExecuted, text::kProgramRunning);
    } else {
      End(Outcome::kExecuteFailed, text::kSendFailed);
    }
    return;
  }
  // The loader did not get the whole block or header: whatever it answers
  // next, the ROM is not the image. End as failed, never as written.
  if (!d.ok && state_ != LinkState::kIdle) FailWrite();
}

void DownloadMachine::OnLineLost() {
  if (Busy()) End(Outcome::kUnplugged, text::kPortLost);
}

// ---- The file load ------------------------------------------------------------

void DownloadMachine::StartLoad() {
  if (Busy()) return;
  if (loading_) {
    // Cancel: the next batch closes the file; a further start loads anew.
    loading_ = false;
    return;
  }
  if (!ready_) return;
  Emit(OpenLoad{filePath_});
}

void DownloadMachine::LoadBatch() {
  Emit(KillTimer{TIMER_LOAD});
  // A stray tick with no load open changes nothing.
  if (ready_) return;
  if (!loading_) {  // cancelled: close without touching a slot
    Emit(CloseLoad{});
    ready_ = true;
    loadOutcome_ = LoadOutcome::kCancelled;
    return;
  }
  Emit(RunLoadBatch{});
}

void DownloadMachine::OnLoadReport(const LoadReport& report) {
  // Reports come only for the load the machine asked for; one that does not
  // fit (a late one, say) must not swap an image under a transfer.
  const bool fits = report.kind == LoadReport::kOpened
                        ? !Busy() && ready_ && !loading_
                        : loading_ || (report.kind == LoadReport::kFailed && ready_);
  if (!fits) return;
  switch (report.kind) {
    case LoadReport::kOpened:
      ready_ = false;
      loading_ = true;
      loadOutcome_ = LoadOutcome::kNone;
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
      loadOutcome_ = LoadOutcome::kFailed;
      loadDetail_ = report.detail;
      Emit(ShowMessage{report.message, filePath_});
      break;
  }
  ready_ = true;
  loading_ = false;
}

void DownloadMachine::EndOfData(const Image& image) {
  const uint32_t length = static_cast<uint32_t>(image.bytes.size());
  const std::string address = AddressText(image.base, length);
  const int target = target_ == 0 ? 0 : 1;
  if (target == 0) {
    if (length <= kBootImageSize) {
      bootImage_ = std::make_shared<const std::vector<uint8_t>>(image.bytes);
      SetStatus(address);
    } else {
      SetStatus(text::kBootLoaderInvalid);
    }
  } else {
    Emit(SetText{Surface::kAddress, address});
    writeImage_ = std::make_shared<const std::vector<uint8_t>>(image.bytes);
  }
  slotLength_[target] = length;
  slotBase_[target] = image.base;
  loadOutcome_ = LoadOutcome::kLoaded;
}

void DownloadMachine::OnImagePatched(const ImagePatched& patch) {
  // Until the write phase reads its first block: a station draws a board's
  // number once the board has answered, while its boot loader goes up.
  if (IsWritePhase(PhaseOf(state_)) || loading_ || !writeImage_) return;
  const std::vector<uint8_t>& image = *writeImage_;
  const uint64_t base = slotBase_[1];
  if (patch.address < base || patch.address - base + patch.bytes.size() > image.size()) return;
  // A new image, not a change in place: a view taken before keeps the bytes
  // it was taken with.
  auto patched = std::make_shared<std::vector<uint8_t>>(image);
  std::copy(patch.bytes.begin(), patch.bytes.end(), patched->begin() + (patch.address - base));
  writeImage_ = std::move(patched);
}

void DownloadMachine::OnImageGiven(const ImageGiven& given) {
  // As a load would be: never under a transfer or a load.
  if (Busy() || !ready_) return;
  target_ = given.slot == 0 ? 0 : 1;
  EndOfData(given.image);
}

}  // namespace porten
