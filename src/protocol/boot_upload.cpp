// Boot-mode upload: wake the chip's on-chip boot mode at 4800 bit/s and feed
// it the boot loader one echoed byte at a time. The Write button lives here
// too, with its abort and RAM transfer branches.
#include <cstdio>

#include "core/texts.h"
#include "protocol/download_machine.h"

namespace porten {

void DownloadMachine::OnWrite() {
  if (Busy()) {
    AbortTransfer(Outcome::kAborted);
    return;
  }
  // Never start from a half-loaded image: the press is ignored during a
  // load, as "参照" is.
  if (!ready_) return;
  if (slotLength_[1] == 0 || !writeImage_) {
    End(Outcome::kRefused, text::kNoImage);
    return;
  }
  ++transfer_;
  executing_ = false;
  confirmed_ = 0;
  pos_ = 0;
  Emit(SetText{Surface::kWriteCaption, text::kAbort});
  if (ramTransfer_) {
    StartRamTransfer();
    return;
  }
  const uint32_t bootLength = slotLength_[0];
  if (bootLength == 0 || bootLength > kBootImageSize || !bootImage_) {
    End(Outcome::kRefused, text::kBootLoaderBad);  // nothing runs, so nothing to abort
    return;
  }
  // Boot mode listens at 4800 bit/s only. After an abort in the block write
  // (or a write that ended on a block request) the port is still at 38400
  // bit/s, or closed after a failed reopen; a sync sent there is never
  // answered, and the operator could not write again without a restart.
  if (portRate_ != 4800) {
    ReopenAt(4800, 0, 0, Resume::kStartSync);
    return;
  }
  StartSync();
}

void DownloadMachine::StartSync() {
  length_ = slotLength_[0];
  transferLength_ = length_;
  transferAddress_ = slotBase_[0];
  syncCount_ = 0;
  SendByte(0x00);
  // The state is set with the send decided, so a reply is never taken for
  // idle noise: the byte leaves only after this state is in place.
  state_ = cpuBootImitation_ ? LinkState::kSyncImitation : LinkState::kSyncBoot;
  Emit(ArmTimer{TIMER_BOOT_SYNC, 100});
}

void DownloadMachine::OnBootSyncTimer() {
  Emit(KillTimer{TIMER_BOOT_SYNC});
  if (!InSync()) return;
  if (syncCount_ == 0) {
    SendBytes({0x00, 0x00});
    state_ = LinkState::kBootHandshake;
    return;
  }
  // Something answered the first 0x00 already: the chip was awake. Replies
  // during the pause still count as sync replies; the three zeros follow
  // when it is over.
  SendByte(state_ == LinkState::kSyncBoot ? '0' : '3');
  PauseFor(50, Resume::kSyncTriple);
}

void DownloadMachine::OnBootByte(uint8_t b) {
  switch (state_) {
    case LinkState::kBootWaitStart:
      if (b == 0xAA) {
        // The boot loader runs: it talks at 38400 bit/s.
        state_ = LinkState::kIdle;
        ReopenAt(38400, 50, 10, Resume::kBeginWrite);
        return;
      }
      CheckEcho(b);  // all confirmed: it stays waiting
      return;
    case LinkState::kBootData:
      if (!CheckEcho(b)) {
        SendNextBootByte();
      } else if (state_ != LinkState::kIdle) {  // not ended by a wrong echo
        state_ = LinkState::kBootWaitStart;
      }
      return;
    case LinkState::kBootSizeHigh:
      state_ = LinkState::kBootSizeLow;
      SendByte(static_cast<uint8_t>(transferLength_ & 0xFF));
      return;
    case LinkState::kBootSizeLow:
      state_ = LinkState::kBootData;
      SendNextBootByte();
      return;
    case LinkState::kBootHandshake:
      OnHandshakeByte(b);
      return;
    default:
      return;
  }
}

void DownloadMachine::OnHandshakeByte(uint8_t b) {
  switch (b) {
    case 0x00:
      SendByte(0x55);
      return;
    case 0xAA:
      state_ = LinkState::kBootSizeHigh;
      SendByte(static_cast<uint8_t>((transferLength_ >> 8) & 0xFF));
      return;
    case 0x01:
    case 0xFF:
      // The chip refused the boot mode. Say so: the status line would
      // otherwise keep whatever it showed, "書込み終了" of the last download
      // included.
      End(Outcome::kBootRefused, text::kBootRefused);
      ReopenAt(4800, 0, 0, Resume::kNone);
      return;
    default:
      // Noise, and 0x11: boot mode never asks for a block. Answering it sent
      // 128 image bytes into the handshake and, with a loader of at most 128
      // bytes, a following 0x00 ended in "書込み終了" with nothing written.
      return;
  }
}

void DownloadMachine::SendNextBootByte() {
  if (pos_ < slotLength_[0]) SendByte((*bootImage_)[pos_]);
}

// True when the upload is over: every byte confirmed, or a wrong echo (which
// ends the download).
bool DownloadMachine::CheckEcho(uint8_t b) {
  const uint32_t length = slotLength_[0];
  ShowProgress(text::kBootLoadFmt, 0);
  if (pos_ < length && b == (*bootImage_)[pos_]) {
    ++pos_;
    return pos_ == length;
  }
  if (pos_ < length) {
    // A wrong echo means the chip did not get the loader: waiting for its
    // start signal would wait forever. Say where it went wrong and stop.
    char text[96];
    std::snprintf(text, sizeof text, text::kEchoMismatchFmt, static_cast<long>(pos_),
                  static_cast<long>(length), static_cast<unsigned long>(slotBase_[0]));
    pos_ = length;
    End(Outcome::kEchoMismatch, text);
  }
  return true;
}

}  // namespace porten
