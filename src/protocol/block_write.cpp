// Block write: talk to the running boot loader at 38400 bit/s, send the
// header, and answer each request with the next 128 bytes of the image.
#include <cstdio>

#include "core/texts.h"
#include "link/link.h"
#include "protocol/session_internal.h"

namespace porten {

void DownloadSession::BeginWrite() {
  st_.m_nWriteError = 0;
  if (st_.m_bAbort) {
    st_.m_nState = STATE_IDLE;
    st_.m_nPos = st_.m_nLength;
    return;
  }
  SetTransfer(link_, st_.m_nSlotLength[1], st_.m_nSlotBase[1]);
  st_.m_nLength = st_.m_nSlotLength[1];
  st_.m_nPos = 0;
  window_->SetTimer(TIMER_WRITE_POLL, 300);
  st_.m_nState = STATE_WRITE_POLL;
}

void DownloadSession::OnWritePollTimer() {
  window_->KillTimer(TIMER_WRITE_POLL);
  if (st_.m_nState != STATE_WRITE_POLL) return;
  SendByte('3');
  window_->SetTimer(TIMER_WRITE_POLL, 500);
}

void DownloadSession::OnWriteByte(uint8_t b) {
  const int32_t state = st_.m_nState;
  switch (b) {
    case 0x00:
      if (state == STATE_WRITE_POLL || state == STATE_WRITE_ACK1) {
        SendByte('D');
        st_.m_nState = state + 1;
      } else if (state == STATE_WRITE_ACK2) {
        SendByte(0x88);
        st_.m_nState = STATE_WRITE_HEADER;
      } else if (state == STATE_WRITE_HEADER) {
        link_.TransferLength = (link_.TransferLength + 127) & ~uint32_t{127};
        const uint32_t a = link_.TransferAddress;
        const uint32_t n = link_.TransferLength;
        const uint8_t header[8] = {
            static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
            static_cast<uint8_t>(a >> 8),  static_cast<uint8_t>(a),
            static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
            static_cast<uint8_t>(n >> 8),  static_cast<uint8_t>(n),
        };
        // A header that does not go out whole leaves the loader taking block
        // bytes for address and length; whatever it answers then, the ROM is
        // not the image. End as failed, as for a block that did not go out.
        if (WritePort(link_, header, 8) == 0) {
          st_.m_nWriteError = 255;
          FailWrite();
          return;
        }
        st_.m_nState = STATE_WRITE_DATA;
      } else if (state == STATE_WRITE_FINISH) {
        FinishWrite();
      }
      return;
    case 0x11:
      // Before the header the loader asks for nothing: a 0x11 then is line
      // noise, and answering it would send the first block where the loader
      // does not store it, and the write would still end "finished".
      if (state < STATE_WRITE_DATA) return;
      SendBlock();
      return;
    case 0x60:
      if (state > STATE_WRITE_HEADER) {
        FailWrite();
      } else {
        SendByte(0x22);
      }
      return;
    default:
      return;
  }
}

int DownloadSession::SendBlock() {
  if (st_.m_bAbort) st_.m_nPos = st_.m_nLength;
  if (st_.m_nPos >= st_.m_nLength) {
    st_.m_nState = STATE_IDLE;
    ShowProgress();
    RestoreWriteCaption();
    return 1;
  }
  uint8_t block[kBlockSize];
  for (auto& byte : block) {
    byte = st_.m_nPos < st_.m_nLength ? st_.m_byWriteImage[st_.m_nPos++] : 0xFF;
  }
  if (WritePort(link_, block, kBlockSize) == 0) {
    // The block did not reach the loader, so the ROM is incomplete whatever
    // the loader says next: end as a failed write, never as a finished one.
    st_.m_nWriteError = 255;
    st_.m_nPos = st_.m_nLength;
    FailWrite();
    return 0;
  }
  if (st_.m_bAbort || st_.m_nPos >= st_.m_nLength) {
    st_.m_nState = STATE_WRITE_FINISH;
    st_.m_nPos = st_.m_nLength;
  }
  ShowProgress();
  return 0;
}

void DownloadSession::StartRamTransfer() {
  SetTransfer(link_, st_.m_nSlotLength[1], st_.m_nSlotBase[1]);
  st_.m_nLength = st_.m_nSlotLength[1];
  SendByte('2');
  clock_.Sleep(50);
  st_.m_nState = STATE_IDLE;
  if (!ReopenFast(link_, clock_)) {
    SetStatus(text::kReopenFailed);
    RestoreWriteCaption();
    return;
  }
  BeginWrite();
}

void DownloadSession::FinishWrite() {
  SetStatus(text::kWriteDone);
  AbortTransfer();
  ReopenSlow(link_);
}

void DownloadSession::FailWrite() {
  st_.m_nState = STATE_IDLE;
  SetStatus(text::kWriteError);
  RestoreWriteCaption();
  ReopenSlow(link_);
  leaveHandling_ = true;
}

void DownloadSession::ShowProgress() {
  char text[96];
  if (st_.m_nState >= STATE_WRITE_POLL) {
    std::snprintf(text, sizeof text, text::kWritingFmt, static_cast<long>(st_.m_nPos),
                  static_cast<long>(st_.m_nSlotLength[1]),
                  static_cast<unsigned long>(st_.m_nSlotBase[1]));
  } else {
    std::snprintf(text, sizeof text, text::kBootLoadFmt, static_cast<long>(st_.m_nPos),
                  static_cast<long>(st_.m_nSlotLength[0]),
                  static_cast<unsigned long>(st_.m_nSlotBase[0]));
  }
  SetStatus(text);
}

void DownloadSession::AbortTransfer() {
  if (st_.m_nState > 0) {
    RestoreWriteCaption();
    st_.m_nState = STATE_IDLE;
    st_.m_bAbort = 1;
  }
}

void DownloadSession::OnExecute() {
  Locked l(*this);
  if (!st_.m_bRamTransfer) return;
  SendByte('1');
  SetStatus(text::kProgramRunning);
}

}  // namespace porten
