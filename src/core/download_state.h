// The download state: what the loader, both protocols and the front ends
// share about one download. Plain data; the download machine
// (protocol/download_machine.h) is the only code that changes it, and its
// runner (DownloadSession) keeps it under one lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/image.h"

namespace porten {

inline constexpr int32_t kRxRingSize = 1500;
inline constexpr uint32_t kBlockSize = 128;

// Values held in m_nState.
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

// The handlers look at ranges of state numbers, not only at the values
// above; this is the one place that says which range is which phase.
enum class Phase { kIdle, kBoot, kWrite, kSync };

constexpr Phase PhaseOf(int32_t state) {
  if (state >= 254) return Phase::kSync;
  if (state >= 20) return Phase::kWrite;
  if (state >= 1) return Phase::kBoot;
  return Phase::kIdle;
}

// How a download ended. Every end sets exactly one; front ends present it
// and never read it back from a text.
enum class Outcome {
  kNone,          // running, or no download yet
  kWritten,       // the loader acknowledged the last block
  kWriteError,    // 0x60 from the loader, a block or header not sent whole,
                  // or a request beyond the image
  kEchoMismatch,  // boot mode echoed a boot loader byte wrongly
  kBootRefused,   // boot mode answered the handshake with 0x01 or 0xFF
  kReopenFailed,  // the port could not be opened again at the next rate
  kNoAnswer,      // the front end gave up waiting (the dialog never does)
  kUnplugged,     // the device hung up or vanished
  kAborted,       // the operator (or a stop request) ended it
  kRefused,       // Write found no image or no usable boot loader; nothing sent
};

// How the last file load ended.
enum class LoadOutcome { kNone, kLoaded, kFailed, kCancelled };

// What a pending pause or reopen leads to when it is over.
enum class Resume { kNone, kStartSync, kSyncTriple, kBeginWrite };

struct DownloadState {
  int32_t m_nState = STATE_IDLE;
  int32_t m_nSyncCount = 0;
  uint32_t m_nLength = 0;  // bytes of the running transfer
  std::string m_strFilePath;
  int32_t m_nWriteError = 0;
  uint32_t m_nPos = 0;
  int32_t m_bAbort = 0;
  int32_t m_bLoading = 0;
  int32_t m_bReady = 1;
  int32_t m_nTarget = 0;  // the slot the running load fills: 0 boot loader, 1 image
  int32_t m_bRamTransfer = 0;
  int32_t m_bCpuBootImitation = 0;
  uint32_t m_nSlotLength[2] = {0, 0};
  uint32_t m_nSlotBase[2] = {0, 0};

  // The images as values, each taken when its load reached the end of the
  // data. Immutable and shared, so a copy of the state copies no bytes.
  // Blocks and boot bytes are sent only from these: a later load can never
  // leak into the target.
  std::shared_ptr<const std::vector<uint8_t>> m_byBootImage;   // at most kBootImageSize
  std::shared_ptr<const std::vector<uint8_t>> m_byWriteImage;  // slot 1's bytes

  // What the header and the size bytes announce.
  uint32_t TransferAddress = 0;
  uint32_t TransferLength = 0;

  // Ours, beyond the dialog's members:
  // the rate the port is open at once the port actions handed out so far
  // have run (0: closed);
  int32_t m_nPortRate = 0;
  // what the pending reopen or pause leads to, and which one it waits for;
  Resume m_nResume = Resume::kNone;
  uint32_t m_nAwaited = 0;
  uint32_t m_nTickets = 0;  // numbers reopens and pauses
  // Write presses that started a transfer: a late send failure of an
  // earlier transfer must not end the current one;
  uint32_t m_nTransfer = 0;
  Outcome m_nOutcome = Outcome::kNone;
  // image bytes the loader has taken: requested past, or acknowledged;
  uint32_t m_nConfirmed = 0;
  LoadOutcome m_nLoadOutcome = LoadOutcome::kNone;
  std::string m_strLoadDetail;  // where the last refused file went wrong

  // A transfer, or a reopen or pause that leads into one, is running.
  bool Busy() const { return m_nState > 0 || m_nResume != Resume::kNone; }
};

inline void SetTransfer(DownloadState& st, uint32_t length, uint32_t address) {
  st.TransferLength = length;
  st.TransferAddress = address;
}

}  // namespace porten
