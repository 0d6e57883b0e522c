// Boot-mode upload: wake the chip's on-chip boot mode at 4800 bit/s and feed
// it the boot loader one echoed byte at a time. The Write button lives here
// too, with its abort and RAM transfer branches.
#include <cstdio>

#include "core/texts.h"
#include "protocol/download_machine.h"

namespace porten {

void DownloadMachine::OnWrite() {
  if (st_.Busy()) {
    AbortTransfer();
    return;
  }
  // Never start from a half-loaded image: the press is ignored during a
  // load, as "参照" is.
  if (!st_.m_bReady) return;
  if (st_.m_nSlotLength[1] == 0 || !st_.m_byWriteImage) {
    SetStatus(text::kNoImage);
    st_.m_nOutcome = Outcome::kRefused;
    return;
  }
  ++st_.m_nTransfer;
  st_.m_nOutcome = Outcome::kNone;
  st_.m_nConfirmed = 0;
  st_.m_nPos = 0;
  Emit(SetText{Surface::kWriteCaption, text::kAbort});
  st_.m_bAbort = 0;
  if (st_.m_bRamTransfer) {
    StartRamTransfer();
    return;
  }
  const uint32_t bootLength = st_.m_nSlotLength[0];
  if (bootLength == 0 || bootLength > kBootImageSize || !st_.m_byBootImage) {
    SetStatus(text::kBootLoaderBad);
    RestoreWriteCaption();  // nothing runs, so nothing to abort
    st_.m_nOutcome = Outcome::kRefused;
    return;
  }
  // Boot mode listens at 4800 bit/s only. After an abort in the block write
  // (or a write that ended on a block request) the port is still at 38400
  // bit/s, or closed after a failed reopen; a sync sent there is never
  // answered, and the operator could not write again without a restart.
  if (st_.m_nPortRate != 4800) {
    ReopenAt(4800, 0, 0, Resume::kStartSync);
    return;
  }
  StartSync();
}

void DownloadMachine::StartSync() {
  const uint32_t bootLength = st_.m_nSlotLength[0];
  st_.m_nLength = bootLength;
  SetTransfer(st_, bootLength, st_.m_nSlotBase[0]);
  st_.m_nSyncCount = 0;
  SendByte(0x00);
  // The state is set with the send decided, so a reply is never taken for
  // idle noise: the byte leaves only after this state is in place.
  st_.m_nState = st_.m_bCpuBootImitation ? STATE_SYNC_IMITATION : STATE_SYNC_BOOT;
  Emit(ArmTimer{TIMER_BOOT_SYNC, 100});
}

void DownloadMachine::OnBootSyncTimer() {
  Emit(KillTimer{TIMER_BOOT_SYNC});
  const int32_t state = st_.m_nState;
  if (state != STATE_SYNC_BOOT && state != STATE_SYNC_IMITATION) return;
  if (st_.m_nSyncCount == 0) {
    SendBytes({0x00, 0x00});
    st_.m_nState = STATE_BOOT_HANDSHAKE;
    return;
  }
  // Something answered the first 0x00 already: the chip was awake. Replies
  // during the pause still count as sync replies; the three zeros follow
  // when it is over.
  SendByte(state == STATE_SYNC_BOOT ? '0' : '3');
  PauseFor(50, Resume::kSyncTriple);
}

void DownloadMachine::OnBootByte(uint8_t b) {
  const int32_t state = st_.m_nState;
  if (state == STATE_BOOT_WAIT_START && b == 0xAA) {
    // The boot loader runs: it talks at 38400 bit/s.
    st_.m_nState = STATE_IDLE;
    ReopenAt(38400, 50, 10, Resume::kBeginWrite);
    return;
  }
  if (state >= STATE_BOOT_DATA) {
    if (CheckEcho(b) == 1) {
      if (st_.m_nState == STATE_IDLE) return;  // the echo did not match
      st_.m_nState = STATE_BOOT_WAIT_START;
    } else {
      SendNextBootByte();
    }
    return;
  }
  switch (state) {
    case STATE_BOOT_SIZE_HIGH:
      st_.m_nState = STATE_BOOT_SIZE_LOW;
      SendByte(static_cast<uint8_t>(st_.TransferLength & 0xFF));
      return;
    case STATE_BOOT_SIZE_LOW:
      st_.m_nState = STATE_BOOT_DATA;
      SendNextBootByte();
      return;
    case STATE_BOOT_HANDSHAKE:
      switch (b) {
        case 0x00:
          SendByte(0x55);
          return;
        case 0xAA:
          st_.m_nState = STATE_BOOT_SIZE_HIGH;
          SendByte(static_cast<uint8_t>((st_.TransferLength >> 8) & 0xFF));
          return;
        case 0x11:
          // Boot mode never asks for a block. Answering it sent 128 image
          // bytes into the handshake and, with a loader of at most 128
          // bytes, a following 0x00 ended in "書込み終了" with nothing
          // written: line noise taken for a finished download.
          return;
        case 0x01:
        case 0xFF:
          // The chip refused the boot mode. Say so: the status line would
          // otherwise keep whatever it showed, "書込み終了" of the last
          // download included.
          End(Outcome::kBootRefused, text::kBootRefused);
          ReopenAt(4800, 0, 0, Resume::kNone);
          return;
        default:
          return;  // noise on the line: ignored
      }
    default:
      return;
  }
}

int DownloadMachine::SendNextBootByte() {
  const uint32_t length = st_.m_nSlotLength[0];
  if (st_.m_bAbort) st_.m_nPos = length;
  if (st_.m_nPos >= length) return 1;
  SendByte((*st_.m_byBootImage)[st_.m_nPos]);
  return 0;
}

int DownloadMachine::CheckEcho(uint8_t b) {
  const uint32_t length = st_.m_nSlotLength[0];
  ShowProgress();
  if (st_.m_nPos < length && b == (*st_.m_byBootImage)[st_.m_nPos]) {
    ++st_.m_nPos;
    if (st_.m_nPos < length) return 0;
  } else if (st_.m_nPos < length) {
    // A wrong echo means the chip did not get the loader: waiting for its
    // start signal would wait forever. Say where it went wrong and stop.
    char text[96];
    std::snprintf(text, sizeof text, text::kEchoMismatchFmt, static_cast<long>(st_.m_nPos),
                  static_cast<long>(length), static_cast<unsigned long>(st_.m_nSlotBase[0]));
    st_.m_nPos = length;
    End(Outcome::kEchoMismatch, text);
    return 1;
  }
  st_.m_nPos = length;
  return 1;
}

}  // namespace porten
