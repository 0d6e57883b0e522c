// Boot-mode upload: wake the chip's on-chip boot mode at 4800 bit/s and feed
// it the boot loader one echoed byte at a time. The Write button lives here
// too, with its abort and RAM transfer branches.
#include <cstdio>

#include "core/texts.h"
#include "link/link.h"
#include "protocol/session_internal.h"

namespace porten {

void DownloadSession::OnWrite() {
  Locked l(*this);
  if (st_.m_nState > 0) {
    AbortTransfer();
    return;
  }
  // Never start from a half-loaded image: the load owns m_nLength and the
  // buffer until it ends. The press is ignored, as "参照" is during a load.
  if (!st_.m_bReady) return;
  if (st_.m_nSlotLength[1] == 0) {
    SetStatus(text::kNoImage);
    return;
  }
  st_.m_nPos = 0;
  window_->SetText(Surface::kWriteCaption, text::kAbort);
  st_.m_bAbort = 0;
  if (st_.m_bRamTransfer) {
    StartRamTransfer();
    return;
  }
  const uint32_t bootLength = st_.m_nSlotLength[0];
  if (bootLength == 0 || bootLength > kBootImageSize) {
    SetStatus(text::kBootLoaderBad);
    RestoreWriteCaption();  // nothing runs, so nothing to abort
    return;
  }
  // Boot mode listens at 4800 bit/s only. After an abort in the block write
  // (or a write that ended on a block request) the port is still at 38400
  // bit/s, or closed after a failed reopen; a sync sent there is never
  // answered, and the operator could not write again without a restart.
  if (link_.port && link_.port->Baud() != 4800) {
    ReopenSlow(link_);
    if (!link_.port->IsOpen()) {
      SetStatus(text::kReopenFailed);
      RestoreWriteCaption();
      return;
    }
  }
  st_.m_nLength = bootLength;
  SetTransfer(link_, bootLength, st_.m_nSlotBase[0]);
  st_.m_nSyncCount = 0;
  SendByte(0x00);
  st_.m_nState = st_.m_bCpuBootImitation ? STATE_SYNC_IMITATION : STATE_SYNC_BOOT;
  window_->SetTimer(TIMER_BOOT_SYNC, 100);
}

void DownloadSession::OnBootSyncTimer(std::unique_lock<std::mutex>& lock) {
  window_->KillTimer(TIMER_BOOT_SYNC);
  const int32_t state = st_.m_nState;
  if (state != STATE_SYNC_BOOT && state != STATE_SYNC_IMITATION) return;
  if (st_.m_nSyncCount == 0) {
    static const uint8_t kTwoZeros[2] = {0x00, 0x00};
    Send(kTwoZeros, 2);
  } else {
    // Something answered the first 0x00 already: the chip was awake.
    SendByte(state == STATE_SYNC_BOOT ? '0' : '3');
    // Replies during the pause still count as sync replies, so the receive
    // thread must be able to take the lock meanwhile.
    lock.unlock();
    clock_.Sleep(50);
    lock.lock();
    // Aborted during the pause: the three zeros would restart what the
    // operator just stopped.
    if (st_.m_nState != state) return;
    static const uint8_t kThreeZeros[3] = {0x00, 0x00, 0x00};
    Send(kThreeZeros, 3);
  }
  st_.m_nState = STATE_BOOT_HANDSHAKE;
}

void DownloadSession::OnBootByte(uint8_t b) {
  const int32_t state = st_.m_nState;
  if (state == STATE_BOOT_WAIT_START && b == 0xAA) {
    // The boot loader runs: it talks at 38400 bit/s.
    st_.m_nState = STATE_IDLE;
    porten::ClosePort(link_);
    clock_.Sleep(50);
    if (!OpenPort(link_, link_.PortPath, 38400, 1, 0)) {
      SetStatus(text::kReopenFailed);
      RestoreWriteCaption();
      return;
    }
    clock_.Sleep(10);
    BeginWrite();
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
      SendByte(static_cast<uint8_t>(link_.TransferLength & 0xFF));
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
          SendByte(static_cast<uint8_t>((link_.TransferLength >> 8) & 0xFF));
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
          st_.m_nState = STATE_IDLE;
          ReopenSlow(link_);
          SetStatus(text::kBootRefused);
          RestoreWriteCaption();
          return;
        default:
          return;  // noise on the line: ignored
      }
    default:
      return;
  }
}

int DownloadSession::SendNextBootByte() {
  const uint32_t length = st_.m_nSlotLength[0];
  if (st_.m_bAbort) st_.m_nPos = length;
  if (st_.m_nPos >= length) return 1;
  SendByte(st_.m_byBootImage[st_.m_nPos]);
  return 0;
}

int DownloadSession::CheckEcho(uint8_t b) {
  const uint32_t length = st_.m_nSlotLength[0];
  ShowProgress();
  if (st_.m_nPos < length && b == st_.m_byBootImage[st_.m_nPos]) {
    ++st_.m_nPos;
    if (st_.m_nPos < length) return 0;
  } else if (st_.m_nPos < length) {
    // A wrong echo means the chip did not get the loader: waiting for its
    // start signal would wait forever. Say where it went wrong and stop.
    char text[96];
    std::snprintf(text, sizeof text, text::kEchoMismatchFmt, static_cast<long>(st_.m_nPos),
                  static_cast<long>(length), static_cast<unsigned long>(st_.m_nSlotBase[0]));
    st_.m_nPos = length;
    st_.m_nState = STATE_IDLE;
    SetStatus(text);
    RestoreWriteCaption();
    return 1;
  }
  st_.m_nPos = length;
  return 1;
}

}  // namespace porten
