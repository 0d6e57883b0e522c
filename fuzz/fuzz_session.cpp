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

struct Run {
  const uint8_t* data;
  size_t size, at = 0;
  DownloadMachine machine;
  std::deque<Action> port;  // port actions not yet carried out
  std::string caption = text::kWrite;
  Bytes image;               // the write image when the transfer started
  Bytes sent;                // checked sends of the running transfer, as they went out
  bool zeroAnswered = false; // the handshake's 0x00 was answered with 0x55
  bool sendFailed = false;   // a checked send of the running transfer failed
  uint32_t transfer = 0;
  Outcome outcome = Outcome::kNone;

  uint8_t Next() { return at < size ? data[at++] : 0; }

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
      sent.clear();
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

  // The 8-byte header, then every block of the image in order, nothing failed.
  void CheckWritten() {
    const DownloadState& st = machine.state();
    Check(!sendFailed, "written although a block or header failed");
    Check(image.size() == st.m_nSlotLength[1], "the image is not the slot's");
    const uint32_t length = (st.m_nSlotLength[1] + 127) & ~127u;
    Bytes expected;
    for (uint32_t v : {st.m_nSlotBase[1], length}) {
      for (int shift = 24; shift >= 0; shift -= 8) expected.push_back(static_cast<uint8_t>(v >> shift));
    }
    expected.insert(expected.end(), image.begin(), image.end());
    expected.resize(8 + length, 0xFF);
    Check(sent.size() >= expected.size() &&
              std::equal(expected.begin(), expected.end(), sent.end() - expected.size()),
          "written, but the header and blocks are not the image");
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

  // Completes the front port action; a checked send fails unless ok.
  void CompletePortAction(bool ok) {
    if (port.empty()) return;
    Action a = std::move(port.front());
    port.pop_front();
    if (const auto* send = std::get_if<Send>(&a)) {
      const bool mine = send->transfer == transfer;
      if (mine && (send->bytes.size() == 8 || send->bytes.size() == kBlockSize)) {
        sent.insert(sent.end(), send->bytes.begin(), send->bytes.end());
      }
      if (send->checked && !ok) {
        sendFailed = sendFailed || mine;
        Feed(SendFailed{send->transfer});
      }
    } else if (const auto* reopen = std::get_if<Reopen>(&a)) {
      Feed(Reopened{reopen->ticket, ok});
    } else if (const auto* pause = std::get_if<Pause>(&a)) {
      Feed(PauseOver{pause->ticket});
    }
  }

  // As the link thread does before each received byte: everything queued up
  // to a pause goes out; then the byte (a working board's reply when
  // byte < 0), and what it asked for.
  void Receive(int byte, bool ok) {
    for (int i = 0; i < 2; ++i) {
      while (!port.empty() && !std::holds_alternative<Pause>(port.front())) CompletePortAction(ok);
      if (i == 0) Feed(ByteReceived{byte < 0 ? GoodReply() : static_cast<uint8_t>(byte)});
    }
  }

  void Load() {
    const bool boot = Next() & 1;
    Feed(boot ? Event(CpuSelected{"L.MOT"}) : Event(BrowseChosen{"/i.mot"}));
    Feed(LoadReport{LoadReport::kOpened});
    Feed(TimerFired{TIMER_LOAD});
    LoadReport done{LoadReport::kDone};
    done.image.base = uint32_t{Next()} << 8;
    done.image.bytes.resize(Next() % 4 == 0 ? 0 : 1 + Next() * 3);
    for (auto& b : done.image.bytes) b = Next();
    Feed(done);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Run run{data, size};
  run.machine.state().m_nPortRate = 4800;
  while (run.at < size) {
    const uint8_t op = run.Next();
    const bool ok = (op & 0x40) == 0;  // a failing send or reopen now and then
    switch (op % 8) {
      case 0:
        run.Receive(run.Next(), ok);
        break;
      case 1:
      case 2:  // the reply a working board gives drives it deep
        run.Receive(-1, true);
        break;
      case 3:
        run.Feed(TimerFired{101 + run.Next() % 3});
        break;
      case 4:
        run.Feed(CommandIssued{static_cast<Command>(run.Next() % 6)});
        break;
      case 5:
        run.CompletePortAction(ok);  // a pause ends, or the front step completes
        break;
      case 6:
        run.Load();
        break;
      case 7:
        run.Feed(op & 0x80 ? Event(LineLost{}) : Event(LoadReport{LoadReport::kProgress, run.Next()}));
        break;
    }
  }
  return 0;
}
