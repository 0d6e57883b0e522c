// What the front ends may know of a download: its phase, its progress, the
// port's rate and how it ended. The download machine
// (protocol/download_machine.h) keeps its own state private and changes it
// on events only; front ends read a DownloadView and act on Ended.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace porten {

inline constexpr int32_t kRxRingSize = 1500;
inline constexpr uint32_t kBlockSize = 128;

// Where a download stands, as far as a front end needs to tell.
enum class Phase {
  kIdle,
  kSync,            // the first 0x00 sent; replies are counted
  kBootHandshake,   // sync sent, waiting for 0x00 and 0xAA
  kBootUpload,      // size and boot loader bytes going out, each echoed
  kBootWaitStart,   // boot loader sent, waiting for its 0xAA
  kWritePoll,       // polling the loader with "3" at 38400 bit/s
  kWriteHandshake,  // "D", "D", 0x88 and the header
  kWriteData,       // blocks go out on request
  kWriteFinish,     // last block sent, waiting for the loader's 0x00
};

constexpr bool IsWritePhase(Phase p) {
  return p == Phase::kWritePoll || p == Phase::kWriteHandshake || p == Phase::kWriteData ||
         p == Phase::kWriteFinish;
}

// How a download (or an Execute) ended. Every ending is one Ended action.
enum class Outcome {
  kNone,            // no ending yet
  kWritten,         // the loader acknowledged the last block
  kWriteError,      // 0x60 from the loader, or a block or header not sent whole
  kBeyondImage,     // the loader asked for more blocks than the image has
  kEchoMismatch,    // boot mode echoed a boot loader byte wrongly
  kBootRefused,     // boot mode answered the handshake with 0x01 or 0xFF
  kReopenFailed,    // the port could not be opened again at the next rate
  kNoAnswer,        // the front end gave up waiting (the dialog never does)
  kUnplugged,       // the device hung up or vanished
  kAborted,         // the operator (or a stop request) ended it
  kRefused,         // Write found no image or no usable boot loader; nothing sent
  kExecuted,        // "実行": the "1" went out
  kExecuteFailed,   // "実行": the "1" could not go out
};

// How the last file load ended.
enum class LoadOutcome { kNone, kLoaded, kFailed, kCancelled };

// A copy of what the front ends show and decide on.
struct DownloadView {
  Phase phase = Phase::kIdle;
  bool busy = false;        // a transfer, or a reopen or pause leading into one
  uint32_t pos = 0;         // bytes sent (block write) or confirmed (boot upload)
  uint32_t confirmed = 0;   // image bytes the loader has taken
  uint32_t slotLength[2] = {0, 0};  // 0 boot loader, 1 image
  uint32_t slotBase[2] = {0, 0};
  std::shared_ptr<const std::vector<uint8_t>> bootImage, writeImage;
  int portRate = 0;         // 0: closed
  bool loading = false;
  bool ready = true;        // no load runs; a new one may start
  bool ramTransfer = false;
  bool cpuBootImitation = false;
  uint32_t transfer = 0;    // Write presses that started a transfer
  Outcome outcome = Outcome::kNone;  // of the last Ended; kNone while a transfer runs
  LoadOutcome loadOutcome = LoadOutcome::kNone;
  std::string loadDetail;   // where the last refused file went wrong
};

}  // namespace porten
