// The download state: everything the loader, both protocols and the receive
// thread share. One DownloadState plus one LinkVars make one download; the
// command line writes several boards at once by owning several of each.
//
// Locking: the members below are shared between the window thread and the
// receive thread. The owner of a DownloadState (DownloadSession) guards all of
// them with one mutex; the few that are read outside that mutex are atomics.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/port.h"
#include "core/window_system.h"

namespace porten {

inline constexpr uint32_t kImageBufferSize = 307200;  // 300 x 1024
inline constexpr uint32_t kBootImageSize = 32768;
inline constexpr int32_t kRxRingSize = 1500;
inline constexpr int32_t kLineBufSize = 1024;
inline constexpr int32_t kStartDirSize = 260;
inline constexpr int32_t kBlockSize = 128;

// Values held in m_nState. The handlers test ranges: 1..19 boot phase,
// 20..253 write phase, 254 and above the sync.
enum LinkState : int32_t {
  STATE_IDLE = 0,
  STATE_BOOT_HANDSHAKE = 1,
  STATE_BOOT_SIZE_HIGH = 2,
  STATE_BOOT_SIZE_LOW = 3,
  STATE_BOOT_DATA = 4,
  STATE_BOOT_WAIT_START = 10,
  STATE_WRITE_POLL = 20,
  STATE_WRITE_ACK1 = 21,
  STATE_WRITE_ACK2 = 22,
  STATE_WRITE_HEADER = 23,
  STATE_WRITE_DATA = 24,
  STATE_WRITE_FINISH = 100,
  STATE_SYNC_IMITATION = 254,
  STATE_SYNC_BOOT = 255,
};

struct DownloadState {
  DownloadState();

  // Receive thread control. Atomics: read by the receive thread outside the lock.
  std::atomic<int32_t> m_bRun{1};
  std::atomic<int32_t> m_bThreadExited{0};
  // Written only under the lock; atomic so the receive thread may peek at it
  // to choose its poll time-out without taking the lock.
  std::atomic<int32_t> m_nState{STATE_IDLE};

  int32_t m_nSyncCount = 0;
  uint8_t* m_pImage = nullptr;  // ImageBuffer, kImageBufferSize bytes
  uint32_t m_nLength = 0;
  std::string m_strFilePath;
  int32_t m_nWriteError = 0;
  uint32_t m_nPos = 0;
  int32_t m_bAbort = 0;
  int32_t m_bLoading = 0;
  int32_t m_bReady = 1;
  int m_hFile = -1;  // file descriptor of the S-record file being loaded
  std::string m_szStartDir;
  char m_szLineBuf[kLineBufSize + 1] = {};
  std::array<uint8_t, kBootImageSize> m_byBootImage{};
  uint32_t m_nRecordAddr = 0;
  uint32_t m_nBaseAddr = 0;
  int32_t m_nLineLen = 0;
  char* m_pCursor = nullptr;
  int32_t m_nTarget = 0;
  int32_t m_bRamTransfer = 0;
  int32_t m_bCpuBootImitation = 0;
  uint32_t m_nSlotLength[2] = {0, 0};
  uint32_t m_nSlotBase[2] = {0, 0};

  // Private copy of the write image (slot 1), taken when its load reaches the
  // end of the data, as BootImage is for the boot loader. Blocks are sent from
  // here, so a later boot loader load into ImageBuffer, or a load that is
  // still running, can never leak into the target's ROM.
  std::vector<uint8_t> m_byWriteImage;
};

// The link variables: one set per serial port.
struct LinkVars {
  std::string PortPath;
  std::unique_ptr<Port> port;  // !port->IsOpen() is the invalid handle
  uint32_t TransferAddress = 0;
  uint32_t TransferLength = 0;
  std::array<uint8_t, kRxRingSize> RxRing{};
  int32_t RxRead = 0;
  int32_t RxWrite = 0;

  // Write time-out: per byte plus a constant. Tests shorten these.
  int writeTimeoutPerByteMs = 10;
  int writeTimeoutConstantMs = 10000;
};

inline void SetTransfer(LinkVars& link, uint32_t length, uint32_t address) {
  link.TransferLength = length;
  link.TransferAddress = address;
}

}  // namespace porten
