// Block write: talk to the running boot loader at 38400 bit/s, send the
// header, and answer each request with the next 128 bytes of the image.
#include <algorithm>
#include <cstdio>

#include "core/texts.h"
#include "protocol/download_machine.h"

namespace porten {

void DownloadMachine::BeginWrite() {
  st_.m_nWriteError = 0;
  if (st_.m_bAbort) {
    st_.m_nState = STATE_IDLE;
    st_.m_nPos = st_.m_nLength;
    return;
  }
  SetTransfer(st_, st_.m_nSlotLength[1], st_.m_nSlotBase[1]);
  st_.m_nLength = st_.m_nSlotLength[1];
  st_.m_nPos = 0;
  Emit(ArmTimer{TIMER_WRITE_POLL, 300});
  st_.m_nState = STATE_WRITE_POLL;
}

void DownloadMachine::OnWritePollTimer() {
  Emit(KillTimer{TIMER_WRITE_POLL});
  if (st_.m_nState != STATE_WRITE_POLL) return;
  SendByte('3');
  Emit(ArmTimer{TIMER_WRITE_POLL, 500});
}

void DownloadMachine::OnWriteByte(uint8_t b) {
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
        st_.TransferLength = (st_.TransferLength + 127) & ~uint32_t{127};
        const uint32_t a = st_.TransferAddress;
        const uint32_t n = st_.TransferLength;
        // A header that does not go out whole leaves the loader taking block
        // bytes for address and length: checked like a block.
        SendBytes({static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
                   static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a),
                   static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                   static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)},
                  true);
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

int DownloadMachine::SendBlock() {
  // A request means the loader has taken everything sent before it.
  st_.m_nConfirmed = std::min(st_.m_nPos, st_.m_nLength);
  if (st_.m_bAbort) st_.m_nPos = st_.m_nLength;
  if (st_.m_nPos >= st_.m_nLength) {
    // A request beyond the image the header announced: the loader and the
    // tool disagree about what was written.
    st_.m_nState = STATE_IDLE;
    ShowProgress();
    RestoreWriteCaption();
    st_.m_nOutcome = Outcome::kWriteError;
    return 1;
  }
  const std::vector<uint8_t>& image = *st_.m_byWriteImage;
  std::vector<uint8_t> block(kBlockSize, 0xFF);
  const uint32_t take = std::min(kBlockSize, st_.m_nLength - st_.m_nPos);
  std::copy_n(image.begin() + st_.m_nPos, take, block.begin());
  st_.m_nPos += take;
  SendBytes(std::move(block), true);
  if (st_.m_bAbort || st_.m_nPos >= st_.m_nLength) {
    st_.m_nState = STATE_WRITE_FINISH;
    st_.m_nPos = st_.m_nLength;
  }
  ShowProgress();
  return 0;
}

void DownloadMachine::StartRamTransfer() {
  SetTransfer(st_, st_.m_nSlotLength[1], st_.m_nSlotBase[1]);
  st_.m_nLength = st_.m_nSlotLength[1];
  SendByte('2');
  st_.m_nState = STATE_IDLE;
  // "2" has 50 ms on the line at the old rate before the port closes.
  PauseFor(50, Resume::kNone);
  ReopenAt(38400, 0, 10, Resume::kBeginWrite);
}

void DownloadMachine::FinishWrite() {
  SetStatus(text::kWriteDone);
  AbortTransfer();
  st_.m_nConfirmed = st_.m_nLength;
  st_.m_nOutcome = Outcome::kWritten;
  ReopenAt(4800, 0, 0, Resume::kNone);
}

void DownloadMachine::FailWrite() {
  End(Outcome::kWriteError, text::kWriteError);
  ReopenAt(4800, 0, 0, Resume::kNone);
}

void DownloadMachine::ShowProgress() {
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

void DownloadMachine::AbortTransfer() {
  if (!st_.Busy()) return;
  RestoreWriteCaption();
  st_.m_nState = STATE_IDLE;
  st_.m_nResume = Resume::kNone;
  st_.m_bAbort = 1;
  st_.m_nOutcome = Outcome::kAborted;
}

}  // namespace porten
