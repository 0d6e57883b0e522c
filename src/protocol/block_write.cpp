// Block write: talk to the running boot loader at 38400 bit/s, send the
// header, and answer each request with the next 128 bytes of the image.
#include <algorithm>
#include <cstdio>

#include "core/texts.h"
#include "protocol/download_machine.h"

namespace porten {

void DownloadMachine::BeginWrite() {
  transferLength_ = slotLength_[1];
  transferAddress_ = slotBase_[1];
  length_ = slotLength_[1];
  pos_ = 0;
  Emit(ArmTimer{TIMER_WRITE_POLL, 300});
  state_ = LinkState::kWritePoll;
}

void DownloadMachine::OnWritePollTimer() {
  Emit(KillTimer{TIMER_WRITE_POLL});
  if (state_ != LinkState::kWritePoll) return;
  SendByte('3');
  Emit(ArmTimer{TIMER_WRITE_POLL, 500});
}

void DownloadMachine::OnWriteByte(uint8_t b) {
  const bool headerSent = state_ == LinkState::kWriteData || state_ == LinkState::kWriteFinish;
  switch (b) {
    case 0x00:
      switch (state_) {
        case LinkState::kWritePoll:
          SendByte('D');
          state_ = LinkState::kWriteAck1;
          return;
        case LinkState::kWriteAck1:
          SendByte('D');
          state_ = LinkState::kWriteAck2;
          return;
        case LinkState::kWriteAck2:
          SendByte(0x88);
          state_ = LinkState::kWriteHeader;
          return;
        case LinkState::kWriteHeader:
          SendHeader();
          state_ = LinkState::kWriteData;
          return;
        case LinkState::kWriteFinish:
          FinishWrite();
          return;
        default:
          return;  // among the blocks: nothing to acknowledge
      }
    case 0x11:
      // Before the header the loader asks for nothing: a 0x11 then is line
      // noise, and answering it would send the first block where the loader
      // does not store it, and the write would still end "finished".
      if (headerSent) SendBlock();
      return;
    case 0x60:
      if (headerSent) {
        FailWrite();
      } else {
        SendByte(0x22);
      }
      return;
    default:
      return;
  }
}

void DownloadMachine::SendHeader() {
  transferLength_ = (transferLength_ + 127) & ~uint32_t{127};
  const uint32_t a = transferAddress_;
  const uint32_t n = transferLength_;
  // A header that does not go out whole leaves the loader taking block bytes
  // for address and length: checked like a block.
  SendBytes({static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
             static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a), static_cast<uint8_t>(n >> 24),
             static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)},
            true);
}

void DownloadMachine::SendBlock() {
  if (pos_ >= length_) {
    // A request beyond the image the header announced: the loader and the
    // tool disagree about what was written. The port stays at 38400 bit/s;
    // the next Write goes back to 4800 by itself.
    End(Outcome::kBeyondImage, text::kWriteError);
    return;
  }
  confirmed_ = pos_;  // a request means the loader has taken everything before it
  std::vector<uint8_t> block(kBlockSize, 0xFF);
  const uint32_t take = std::min(kBlockSize, length_ - pos_);
  std::copy_n(writeImage_->begin() + pos_, take, block.begin());
  pos_ += take;
  SendBytes(std::move(block), true);
  if (pos_ >= length_) state_ = LinkState::kWriteFinish;
  ShowProgress(text::kWritingFmt, 1);
}

void DownloadMachine::StartRamTransfer() {
  SendByte('2');
  // "2" has 50 ms on the line at the old rate before the port closes.
  PauseFor(50, Resume::kNone);
  ReopenAt(38400, 0, 10, Resume::kBeginWrite);
}

void DownloadMachine::FinishWrite() {
  confirmed_ = length_;
  End(Outcome::kWritten, text::kWriteDone);
  ReopenAt(4800, 0, 0, Resume::kNone);
}

void DownloadMachine::FailWrite() {
  End(Outcome::kWriteError, text::kWriteError);
  ReopenAt(4800, 0, 0, Resume::kNone);
}

// fmt takes the position, the slot's length and its base.
void DownloadMachine::ShowProgress(const char* fmt, int slot) {
  char text[96];
  std::snprintf(text, sizeof text, fmt, static_cast<long>(pos_),
                static_cast<long>(slotLength_[slot]), static_cast<unsigned long>(slotBase_[slot]));
  SetStatus(text);
}

void DownloadMachine::AbortTransfer(Outcome outcome) {
  if (Busy()) End(outcome, "");
}

}  // namespace porten
