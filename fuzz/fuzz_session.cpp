// The byte reactions of both protocols on arbitrary input. The fuzz input is
// a little program of operations on one DownloadSession over a scripted
// port: bytes from the target (raw, or the reply a working board would give
// next), timers, the buttons, the check boxes, failing opens, short writes,
// file loads and a vanished port, in any order and in every state.
//
// Besides the sanitizers, it checks what the operator is told: a write is
// never reported finished unless the header and every block of the image
// went out whole, and the state number is always one the protocols know.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/texts.h"
#include "protocol/download_session.h"
#include "support/fake_port.h"

namespace {

using namespace porten;
using Bytes = std::vector<uint8_t>;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// A window and a clock in one, as the tests' FakeWindow, but it keeps only
// what the checks need, so long programs stay linear.
class Window final : public WindowSystem, public Clock {
 public:
  void Bind(TimerTarget* t) { target_ = t; }
  void SetText(Surface s, const std::string& t) override {
    if (s == Surface::kStatus) {
      status = t;
      if (t == text::kWriteDone) ++writesDone;
    }
  }
  void ShowMessage(const std::string&, const std::string&) override { ++messages; }
  void SetTimer(int id, int ms) override { timers_[id] = {now_ + std::max(ms, 0), seq_++}; }
  void KillTimer(int id) override { timers_.erase(id); }
  void Sleep(int ms) override { now_ += ms; }
  int64_t NowMs() override { return now_; }

  bool FireNext() {
    if (timers_.empty()) return false;
    auto next = std::min_element(timers_.begin(), timers_.end(),
                                 [](auto& a, auto& b) { return a.second < b.second; });
    int id = next->first;
    now_ = std::max(now_, next->second.first);
    timers_.erase(next);
    target_->OnTimer(id);
    return true;
  }
  void Advance(int ms) {
    const int64_t end = now_ + ms;
    for (;;) {
      bool due = std::any_of(timers_.begin(), timers_.end(),
                             [&](auto& t) { return t.second.first <= end; });
      if (!due) break;
      FireNext();
    }
    now_ = std::max(now_, end);
  }

  void Reset() {
    timers_.clear();
    now_ = 0;
    seq_ = 0;
    std::string().swap(status);
    writesDone = 0;
    messages = 0;
  }

  std::string status;
  int writesDone = 0;
  int messages = 0;

 private:
  TimerTarget* target_ = nullptr;
  int64_t now_ = 0;
  uint64_t seq_ = 0;
  std::map<int, std::pair<int64_t, uint64_t>> timers_;
};

// The scripted port, with a tap on what actually went out.
class TapPort final : public Port {
 public:
  bool Open(const std::string& p, int baud, int sb, int par) override {
    return fake.Open(p, baud, sb, par);
  }
  void Close() override { fake.Close(); }
  bool IsOpen() const override { return fake.IsOpen(); }
  size_t Write(const uint8_t* data, size_t count, int timeoutMs) override {
    size_t n = fake.Write(data, count, timeoutMs);
    if (fake.IsOpen()) writes.emplace_back(data, data + n);
    return n;
  }
  size_t WaitReadable(int) override { return 0; }
  size_t Read(uint8_t* buffer, size_t max) override { return fake.Read(buffer, max); }
  int Baud() const override { return fake.Baud(); }
  OpenFailure LastFailure() const override { return fake.LastFailure(); }
  std::string LastError() const override { return fake.LastError(); }

  testing::FakePort fake;
  std::vector<Bytes> writes;
};

// Reads the program; past its end every read is 0.
class Program {
 public:
  Program(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool More() const { return pos_ < size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t Word() { return uint32_t{Byte()} << 8 | Byte(); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// A small S-record file in a memfd, for the load operations.
std::string MemFile(const char* name, const std::string& content) {
  int fd = ::memfd_create(name, MFD_CLOEXEC);
  Check(fd >= 0, "memfd_create");
  Check(::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()),
        "write");
  return "/proc/self/fd/" + std::to_string(fd);
}

const std::string& ImageFile() {
  static const std::string path = MemFile(
      "image",
      "S00600004844521B\r\n"
      "S1130100000102030405060708090A0B0C0D0E0F73\r\n"
      "S1130110101112131415161718191A1B1C1D1E1F63\r\n"
      "S9030000FC\r\n");
  return path;
}

const std::string& BootFile() {
  static const std::string path =
      MemFile("boot", "S1070000AABBCCDDEA\r\nS9030000FC\r\n");
  return path;
}

class Run {
 public:
  explicit Run(Program& prog) : prog_(prog) {
    // One session serves every run, reset here to what a fresh one holds: a
    // new session costs two 300 KB allocations and their page faults, five
    // times the work of a typical program.
    static Window* window = new Window;
    static DownloadSession* session = [] {
      auto* s = new DownloadSession(*window, *window, std::make_unique<TapPort>(), "/");
      window->Bind(s);
      return s;
    }();
    session_ = session;
    window->Reset();
    win_ = window;
    {
      std::lock_guard lock(session_->mutex());
      auto& st = session_->state();
      st.m_bRun = 1;
      st.m_bThreadExited = 0;
      st.m_nState = STATE_IDLE;
      st.m_nSyncCount = 0;
      st.m_nLength = 0;
      st.m_strFilePath.clear();
      st.m_nWriteError = 0;
      st.m_nPos = 0;
      st.m_bAbort = 0;
      st.m_bLoading = 0;
      st.m_bReady = 1;
      st.m_hFile = -1;
      st.m_nRecordAddr = 0;
      st.m_nBaseAddr = 0;
      st.m_nLineLen = 0;
      st.m_pCursor = nullptr;
      st.m_nTarget = 0;
      st.m_bRamTransfer = 0;
      st.m_bCpuBootImitation = 0;
      std::memset(st.m_pImage, 0xFF, kImageBufferSize);
      auto& link = session_->link();
      auto port = std::make_unique<TapPort>();
      port_ = port.get();
      link.port = std::move(port);
      link.PortPath.clear();
      link.TransferAddress = 0;
      link.TransferLength = 0;
      link.RxRead = 0;
      link.RxWrite = 0;
    }
    session_->OpenInitialPort("/dev/ttyFUZZ");

    // Both slots, as the two loads would leave them.
    // Up to 160 loader bytes: past 128 (the block the handshake's 0x11
    // sends) nothing new happens, and every byte costs a reply.
    const uint32_t bootLength = prog_.Word() % 160 + 1;
    const uint32_t imageLength = prog_.Word() % 1200 + 1;
    const uint32_t seed = prog_.Word();
    std::lock_guard lock(session_->mutex());
    auto& st = session_->state();
    st.m_nSlotLength[0] = bootLength;
    st.m_nSlotBase[0] = 0xF000;
    st.m_nSlotLength[1] = imageLength;
    st.m_nSlotBase[1] = 0x1000 + (seed & 0xFF) * 128;
    uint32_t x = seed * 2654435761u + 1;
    for (uint32_t i = 0; i < bootLength; ++i) st.m_byBootImage[i] = (x = x * 1103515245 + 12345) >> 16;
    std::fill(st.m_byWriteImage.begin(), st.m_byWriteImage.end(), uint8_t{0xFF});
    for (uint32_t i = 0; i < imageLength; ++i) st.m_byWriteImage[i] = (x = x * 1103515245 + 12345) >> 16;
  }

  // Gives back what the run allocated, so that libFuzzer's leak check (which
  // reruns any input that allocates more than it frees) stays quiet and cheap.
  ~Run() {
    std::lock_guard lock(session_->mutex());
    auto& st = session_->state();
    if (st.m_hFile >= 0) ::close(st.m_hFile);
    st.m_hFile = -1;
    std::string().swap(st.m_strFilePath);
    session_->link().port.reset();
    std::string().swap(session_->link().PortPath);
    win_->Reset();
  }

  void Step() {
    const uint8_t op = prog_.Byte();
    switch (op % 18) {
      case 0: {  // raw bytes from the target
        Bytes bytes(prog_.Byte() % 16 + 1);
        for (auto& b : bytes) b = prog_.Byte();
        Feed(bytes);
        break;
      }
      case 1:
      case 2:  // what a working board would answer next, a few times
        for (int n = prog_.Byte() % 64 + 1; n > 0; --n) Feed({GoodReply()});
        break;
      case 3:
        win_->FireNext();
        break;
      case 4:
        win_->Advance(prog_.Byte() * 4);
        break;
      case 5:
        session_->OnWrite();
        break;
      case 6:
        session_->Abort();
        break;
      case 7:
        session_->OnExecute();
        break;
      case 8:
        session_->OnRamTransfer();
        break;
      case 9:
        session_->OnCpuBootImitation();
        break;
      case 10:
        port_->fake.FailOpens(prog_.Byte() % 2 + 1);
        break;
      case 11:
        port_->fake.ShortWriteAfter(prog_.Byte());
        break;
      case 12:
        port_->fake.ClearShortWrite();
        break;
      case 13:
        session_->OnBrowse(ImageFile());
        break;
      case 14:
        session_->OnCpuSelect(BootFile());
        break;
      case 15:  // the adapter vanished, or the host closed the port
        session_->ClosePort();
        break;
      case 16: {  // a burst from the target; now and then more than the ring holds
        const uint8_t shape = prog_.Byte();
        // The big ones straddle the ring's 1500 bytes: that is where a
        // burst can go wrong, and larger ones only cost time.
        Bytes bytes((shape & 7) == 0 ? 1484 + prog_.Byte() % 32 : shape % 64 + 1, prog_.Byte());
        Feed(bytes);
        break;
      }
      case 17:  // the host opens the port again; it does so only while idle
        if (session_->Snapshot().state == STATE_IDLE) session_->OpenInitialPort("/dev/ttyFUZZ");
        break;
    }
    if (Trace()) {
      std::fprintf(stderr, "op %2d -> state %3d pos %u status \"%s\"; writes:", op % 18,
                   session_->Snapshot().state, session_->Snapshot().pos, win_->status.c_str());
      for (; traced_ < port_->writes.size(); ++traced_) {
        const Bytes& w = port_->writes[traced_];
        std::fprintf(stderr, " [%zu]", w.size());
        if (w.size() <= 8) for (uint8_t b : w) std::fprintf(stderr, " %02X", b);
      }
      std::fprintf(stderr, "\n");
    }
    CheckInvariants();
  }

  // PORTEN_FUZZ_TRACE=1: every operation with its effect, for reading a finding.
  static bool Trace() {
    static const bool trace = std::getenv("PORTEN_FUZZ_TRACE") != nullptr;
    return trace;
  }

 private:
  void Feed(const Bytes& bytes) {
    port_->fake.Feed(bytes);
    session_->ReceivePass();
  }

  // The byte a working board sends next in the session's current state,
  // so that short programs reach the deep states.
  uint8_t GoodReply() {
    const auto v = session_->Snapshot();
    const Bytes* last = port_->writes.empty() ? nullptr : &port_->writes.back();
    switch (v.state) {
      case STATE_SYNC_BOOT:
      case STATE_SYNC_IMITATION:
      case STATE_WRITE_POLL:
      case STATE_WRITE_ACK1:
      case STATE_WRITE_ACK2:
      case STATE_WRITE_HEADER:
      case STATE_WRITE_FINISH:
        return 0x00;
      case STATE_BOOT_HANDSHAKE:
        return last && !last->empty() && last->back() == 0x55 ? 0xAA : 0x00;
      case STATE_BOOT_DATA:
        return last && !last->empty() ? last->back() : 0;
      case STATE_BOOT_WAIT_START:
        return 0xAA;
      case STATE_WRITE_DATA:
        return 0x11;
      default:
        return 0x00;
    }
  }

  void CheckInvariants() {
    const auto v = session_->Snapshot();
    static const int32_t kKnown[] = {0, 1, 2, 3, 4, 10, 20, 21, 22, 23, 24, 100, 254, 255};
    Check(std::find(std::begin(kKnown), std::end(kKnown), v.state) != std::end(kKnown),
          "unknown state");
    Check(v.pos <= kImageBufferSize, "transfer position beyond the image");
    if (win_->writesDone != writesSeen_) {
      writesSeen_ = win_->writesDone;
      CheckFinishedWrite();
    }
  }

  // "書込み終了" was just shown: the blocks since the last header must be the
  // whole image, each of them written whole.
  void CheckFinishedWrite() {
    const auto& w = port_->writes;
    size_t i = w.size();
    size_t blocks = 0;
    while (i > 0) {
      const Bytes& b = w[i - 1];
      if (b.size() == 1 && b[0] == '1') {  // Execute may run at any time
        --i;
        continue;
      }
      if (b.size() != kBlockSize) break;
      ++blocks;
      --i;
    }
    Check(i > 0 && w[i - 1].size() == 8, "finished without a header before the blocks");
    const Bytes& h = w[i - 1];
    const uint32_t address = uint32_t{h[0]} << 24 | h[1] << 16 | h[2] << 8 | h[3];
    const uint32_t length = uint32_t{h[4]} << 24 | h[5] << 16 | h[6] << 8 | h[7];
    std::lock_guard lock(session_->mutex());
    const auto& st = session_->state();
    Check(address == st.m_nSlotBase[1], "header address is not the image's");
    Check(length == ((st.m_nSlotLength[1] + 127) & ~127u), "header length is not the image's");
    Check(blocks * kBlockSize == length, "finished with blocks missing");
    for (size_t k = 0, at = i; k < blocks; ++at) {
      const Bytes& b = w[at];
      if (b.size() != kBlockSize) continue;
      for (size_t j = 0; j < kBlockSize; ++j) {
        const size_t pos = k * kBlockSize + j;
        const uint8_t want = pos < st.m_nSlotLength[1] ? st.m_byWriteImage[pos] : 0xFF;
        Check(b[j] == want, "a block differs from the image");
      }
      ++k;
    }
  }

  Program& prog_;
  Window* win_;
  TapPort* port_;
  DownloadSession* session_;
  int writesSeen_ = 0;
  size_t traced_ = 0;

 public:
  // PORTEN_FUZZ_VERBOSE=1: how a run ended, for checking the seed corpus.
  void Report() const {
    std::fprintf(stderr, "state %d, status \"%s\", finished writes %d, bytes written %zu\n",
                 session_->Snapshot().state, win_->status.c_str(), win_->writesDone,
                 port_->writes.size());
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Program prog(data, size);
  Run run(prog);
  for (int steps = 0; prog.More() && steps < 4096; ++steps) run.Step();
  static const bool verbose = std::getenv("PORTEN_FUZZ_VERBOSE") != nullptr;
  if (verbose) run.Report();
  return 0;
}
