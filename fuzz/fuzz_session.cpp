// The download machine on arbitrary input. The fuzz input is a little program
// of events: bytes from the target (raw, or the reply a working board would
// give next), timers, the buttons and check boxes, loads, and the port steps
// completing or failing, in any order and in every state.
//
// Besides the sanitizers it checks what the operator is told: a write is
// never reported written unless the header and every block of the image went
// out, whole and in order; the state is always one the protocols know; and
// the Write button reads "中断" exactly while pressing it would abort.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "core/texts.h"
#include "protocol/download_machine.h"

namespace {

using namespace porten;
using Bytes = std::vector<uint8_t>;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// The fuzz input read a byte at a time; zeros once it is used up.
struct Program {
  const uint8_t* data;
  size_t size, at = 0;
  bool More() const { return at < size; }
  uint8_t Next() { return at < size ? data[at++] : 0; }
};

struct Run {
  DownloadMachine machine;
  std::deque<Action> port;  // port actions not yet carried out
  std::string caption = text::kWrite;
  Bytes image;                   // the write image when the transfer started
  std::vector<Bytes> sends;      // of the running transfer, as they went out
  bool zeroAnswered = false;     // the handshake's 0x00 was answered with 0x55
  bool sendFailed = false;       // a checked send of the running transfer failed
  uint32_t transfer = 0;
  Outcome outcome = Outcome::kNone;

  void Feed(const Event& event) {
    for (Action& a : machine.On(event)) {
      if (IsPortAction(a)) {
        port.push_back(std::move(a));
      } else if (const auto* t = std::get_if<SetText>(&a); t && t->surface == Surface::kWriteCaption) {
        caption = t->text;
      }
    }
    const DownloadState& st = machine.state();
    if (st.m_nTransfer != transfer) {  // a new Write started
      transfer = st.m_nTransfer;
      sends.clear();
      sendFailed = false;
      image = st.m_byWriteImage ? *st.m_byWriteImage : Bytes();
    }
    const int32_t s = st.m_nState;
    Check((s >= 0 && s <= 4) || s == 10 || (s >= 20 && s <= 24) || s == 100 || s == 254 || s == 255,
          "unknown state");
    Check(caption == (st.Busy() ? text::kAbort : text::kWrite), "caption and state disagree");
    if (st.m_nOutcome != Outcome::kNone) Check(!st.Busy(), "ended but still busy");
    if (st.m_nOutcome == Outcome::kWritten && outcome != Outcome::kWritten) CheckWritten();
    outcome = st.m_nOutcome;
  }

  // The header, then every block of the image in order, nothing failed.
  void CheckWritten() {
    Check(!sendFailed, "written although a block or header failed");
    size_t h = 0;
    while (h < sends.size() && sends[h].size() != 8) ++h;
    Check(h < sends.size(), "written without a header");
    const DownloadState& st = machine.state();
    const uint32_t length = (st.m_nSlotLength[1] + 127) & ~127u;
    Bytes header;
    for (uint32_t v : {st.m_nSlotBase[1], length}) {
      for (int shift = 24; shift >= 0; shift -= 8) header.push_back(static_cast<uint8_t>(v >> shift));
    }
    Check(sends[h] == header, "wrong header");
    Bytes blocks;
    for (size_t i = h + 1; i < sends.size(); ++i) {
      if (sends[i].size() == kBlockSize) blocks.insert(blocks.end(), sends[i].begin(), sends[i].end());
    }
    Check(image.size() == st.m_nSlotLength[1], "the image is not the slot's");
    Bytes expected = image;
    expected.resize(length, 0xFF);
    Check(blocks == expected, "written, but the blocks are not the image");
  }

  // The byte a working board sends next.
  uint8_t GoodReply() {
    const DownloadState& st = machine.state();
    switch (st.m_nState) {
      case STATE_BOOT_HANDSHAKE:
        zeroAnswered = !zeroAnswered;
        return zeroAnswered ? 0x00 : 0xAA;
      case STATE_BOOT_DATA:
        return st.m_byBootImage && st.m_nPos < st.m_byBootImage->size()
                   ? (*st.m_byBootImage)[st.m_nPos]
                   : 0xAA;
      case STATE_BOOT_WAIT_START:
        return 0xAA;
      case STATE_WRITE_DATA:
        return 0x11;
      default:
        return 0x00;
    }
  }

  // Completes the front port action; a checked send fails when failNext.
  void CompletePortAction(bool ok) {
    if (port.empty()) return;
    Action a = std::move(port.front());
    port.pop_front();
    if (const auto* send = std::get_if<Send>(&a)) {
      if (send->transfer == transfer) sends.push_back(send->bytes);
      if (send->checked && !ok) {
        if (send->transfer == transfer) sendFailed = true;
        Feed(SendFailed{send->transfer});
      }
    } else if (const auto* reopen = std::get_if<Reopen>(&a)) {
      Feed(Reopened{reopen->ticket, ok});
    } else if (const auto* pause = std::get_if<Pause>(&a)) {
      Feed(PauseOver{pause->ticket});
    }
  }

  // As the link thread does before each received byte: everything queued up
  // to a pause goes out.
  void Drain(bool ok) {
    while (!port.empty() && !std::holds_alternative<Pause>(port.front())) CompletePortAction(ok);
  }

  void Load(Program& p) {
    const bool boot = p.Next() & 1;
    Feed(boot ? Event(CpuSelected{"L.MOT"}) : Event(BrowseChosen{"/i.mot"}));
    Feed(LoadReport{LoadReport::kOpened});
    Feed(TimerFired{TIMER_LOAD});
    LoadReport done{LoadReport::kDone};
    done.image.base = uint32_t{p.Next()} << 8;
    done.image.bytes.resize(p.Next() % 4 == 0 ? 0 : 1 + p.Next() * 3);
    for (auto& b : done.image.bytes) b = p.Next();
    Feed(done);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Program p{data, size};
  Run run;
  run.machine.state().m_nPortRate = 4800;
  while (p.More()) {
    const uint8_t op = p.Next();
    const bool ok = (op & 0x40) == 0;  // a failing send or reopen now and then
    switch (op % 8) {
      case 0:
        run.Drain(ok);
        run.Feed(ByteReceived{p.Next()});
        run.Drain(ok);
        break;
      case 1:
      case 2:  // the reply a working board gives drives it deep
        run.Drain(true);
        run.Feed(ByteReceived{run.GoodReply()});
        run.Drain(true);
        break;
      case 3:
        run.Feed(TimerFired{101 + p.Next() % 3});
        break;
      case 4:
        run.Feed(CommandIssued{static_cast<Command>(p.Next() % 6)});
        break;
      case 5:
        run.CompletePortAction(ok);  // a pause ends, or the front step completes
        break;
      case 6:
        run.Load(p);
        break;
      case 7:
        run.Feed(op & 0x80 ? Event(LineLost{}) : Event(LoadReport{LoadReport::kProgress, p.Next()}));
        break;
    }
  }
  return 0;
}
