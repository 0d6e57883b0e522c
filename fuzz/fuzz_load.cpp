// The whole S-record file load on arbitrary file content: prescan, the first
// window, every refill and every batch, for both slots. The input is the
// file; it is served from a memfd so no run touches the disk.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/download_state.h"
#include "srec/load.h"

namespace {

using porten::DownloadState;
using porten::LinkVars;
using porten::Surface;

// Just enough of a window system for the load: it remembers whether
// TIMER_LOAD is armed and counts the message boxes.
class LoadWindow final : public porten::WindowSystem {
 public:
  void SetText(Surface, const std::string&) override {}
  void ShowMessage(const std::string&, const std::string&) override { ++messages; }
  void SetTimer(int id, int) override {
    if (id == porten::TIMER_LOAD) armed = true;
  }
  void KillTimer(int id) override {
    if (id == porten::TIMER_LOAD) armed = false;
  }
  bool armed = false;
  int messages = 0;
};

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

int MemFile() {
  static int fd = -1;
  if (fd < 0) fd = ::memfd_create("srec", MFD_CLOEXEC);
  Check(fd >= 0, "memfd_create");
  return fd;
}

// One state for every run, reset to what a fresh dialog holds before a load:
// a new one would cost a 300 KB allocation (and its page faults) per run,
// more than the load itself.
DownloadState& ReusedState() {
  static DownloadState* st = new DownloadState;
  return *st;
}

void LoadOnce(const std::string& path, int target, size_t size, std::vector<uint8_t>& image) {
  DownloadState& st = ReusedState();
  st.m_nState = porten::STATE_IDLE;
  st.m_nLength = 0;
  st.m_bLoading = 0;
  st.m_bReady = 1;
  st.m_hFile = -1;
  st.m_nSlotLength[0] = st.m_nSlotLength[1] = 0;
  st.m_nSlotBase[0] = st.m_nSlotBase[1] = 0;
  LinkVars link;
  LoadWindow win;
  st.m_pImage = image.data();
  st.m_strFilePath = path;
  st.m_nTarget = target;
  const uint32_t oldBase = 0x12345678;
  st.m_nSlotBase[target] = oldBase;

  porten::StartLoad(st, link, win);
  // A batch consumes at least one record of at least P + 2 characters, so a
  // file of size n can need no more than n / 10 + 2 batches.
  const size_t maxBatches = size / 10 + 2;
  size_t batches = 0;
  while (win.armed) {
    Check(++batches <= maxBatches, "the load does not make progress");
    Check(st.m_nLength <= porten::kImageBufferSize, "m_nLength beyond the image buffer");
    porten::LoadBatch(st, link, win);
  }

  Check(st.m_hFile == -1, "the file stays open after the load");
  Check(st.m_bReady == 1 && st.m_bLoading == 0, "the load did not end");
  Check(st.m_nLength == 0, "m_nLength not cleared at the end");
  Check(win.messages <= 1, "more than one message box for one load");
  const uint32_t length = st.m_nSlotLength[target];
  Check(length <= porten::kImageBufferSize, "slot longer than the image buffer");
  if (win.messages == 1) {
    Check(length == 0, "a failed load filled its slot");
    Check(st.m_nSlotBase[target] == oldBase,
          "a failed load moved the slot base");
  }
  if (target == 1 && length > 0) {
    Check(st.m_byWriteImage.size() == porten::kImageBufferSize, "write image not kept");
    Check(link.TransferLength == length && link.TransferAddress == st.m_nBaseAddr,
          "transfer not set from the loaded image");
    for (size_t i = length; i < porten::kImageBufferSize; i += 4093) {
      Check(st.m_byWriteImage[i] == 0xFF, "write image not 0xFF past its end");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = MemFile();
  Check(::ftruncate(fd, 0) == 0, "ftruncate");
  Check(::pwrite(fd, data, size, 0) == static_cast<ssize_t>(size), "pwrite");
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  static std::vector<uint8_t> image(porten::kImageBufferSize);

  // The boot loader slot ends differently (the 32 KB copy); the size's
  // lowest bit picks the slot, so mutations visit both at half the cost.
  LoadOnce(path, static_cast<int>(size & 1), size, image);
  return 0;
}
