#include "sim/board_model.h"

#include <cstdio>
#include <utility>

namespace porten::sim {

namespace {

std::string Hex2(uint8_t b) {
  char s[3];
  std::snprintf(s, sizeof s, "%02X", b);
  return s;
}

std::string Hex8(uint32_t v) {
  char s[9];
  std::snprintf(s, sizeof s, "%08X", v);
  return s;
}

}  // namespace

BoardModel::BoardModel(const BoardKnobs& knobs) : knobs_(knobs), phase_(StartPhase()), random_(knobs.seed) {}

Reaction BoardModel::Receive(uint8_t b, int rateBefore, int rateAfter) {
  if (phase_ == Phase::kGone) return {};
  ++counters_.bytesFromTool;
  if (knobs_.hangUpAfterBytes >= 0 && counters_.bytesFromTool >= static_cast<uint64_t>(knobs_.hangUpAfterBytes)) {
    Event("hang-up after " + std::to_string(counters_.bytesFromTool) + " bytes");
    phase_ = Phase::kGone;
    out_.hangUp = true;
  } else {
    Handle(b, rateBefore, rateAfter);
  }
  return std::exchange(out_, {});
}

Reaction BoardModel::Reset() {
  if (phase_ == Phase::kGone) return {};
  phase_ = StartPhase();
  RestartSync();
  noiseSent_ = false;  // a header or block begun is dropped when the next one starts
  sentSinceReset_ = 0;
  Event("reset");
  return std::exchange(out_, {});
}

void BoardModel::ClearFaults() {
  knobs_.silent = false;
  knobs_.syncNeverAnswered = false;
  knobs_.wrongEchoAt = -1;
  knobs_.errorAfterBlock = -1;
  knobs_.noiseBytes = 0;
  knobs_.burstBytes = 0;
  knobs_.muteAfterBytesSent = -1;
  knobs_.stallAfterHeader = false;
  knobs_.errorInHandshake = false;
  knobs_.requestBeyondImage = false;
  stalled_ = false;
}

void BoardModel::ClearLog() {
  events_.clear();
  anomalies_.clear();
}

int BoardModel::PhaseRate(Phase phase) {
  switch (phase) {
    case Phase::kPoll:
    case Phase::kAck1:
    case Phase::kAck2:
    case Phase::kAck3:
    case Phase::kHeader:
    case Phase::kBlocks:
      return 38400;
    default:
      return 4800;
  }
}

const char* BoardModel::PhaseName(Phase phase) {
  switch (phase) {
    case Phase::kSync: return "boot sync";
    case Phase::kHandshake: return "boot handshake";
    case Phase::kSizeHigh: return "boot size";
    case Phase::kSizeLow: return "boot size";
    case Phase::kBootData: return "boot upload";
    case Phase::kPoll: return "loader poll";
    case Phase::kAck1:
    case Phase::kAck2:
    case Phase::kAck3: return "loader handshake";
    case Phase::kHeader: return "loader header";
    case Phase::kBlocks: return "loader blocks";
    case Phase::kIdle: return "loader idle";
    case Phase::kGone: return "hung up";
  }
  return "?";
}

void BoardModel::RestartSync() {
  syncZeros_ = 0;
  syncMarker_ = false;
}

void BoardModel::Event(std::string text) {
  events_.push_back(text);
  out_.events.push_back(std::move(text));
}

void BoardModel::Send(uint8_t b) {
  if (knobs_.muteAfterBytesSent >= 0 && sentSinceReset_ >= static_cast<uint64_t>(knobs_.muteAfterBytesSent)) return;
  ++sentSinceReset_;
  ++counters_.bytesToTool;
  if (out_.reply.empty()) out_.replyRate = PhaseRate(phase_);
  out_.reply.push_back(b);
}

void BoardModel::SendNoise() {
  if (knobs_.noiseBytes <= 0 || noiseSent_) return;
  noiseSent_ = true;
  std::uniform_int_distribution<int> byte(0, 255);
  for (int i = 0; i < knobs_.noiseBytes; ++i) Send(static_cast<uint8_t>(byte(random_)));
  Event("noise " + std::to_string(knobs_.noiseBytes) + " bytes");
}

void BoardModel::Handle(uint8_t b, int rateBefore, int rateAfter) {
  if (knobs_.silent) return;
  if (knobs_.noiseAt == NoiseAt::kFirstByte) SendNoise();

  const bool loaderRuns = phase_ >= Phase::kPoll && phase_ <= Phase::kIdle;
  if (loaderRuns && b == 0x00 && (rateBefore == 4800 || rateAfter == 4800)) {
    // A fresh download: the tool resets the board into boot mode and syncs.
    Event("boot mode again");
    phase_ = Phase::kSync;
    RestartSync();
    if (knobs_.noiseAt == NoiseAt::kBeforeSyncAnswer) noiseSent_ = false;
  }

  const int expected = PhaseRate(phase_);
  if (rateBefore != expected && rateAfter != expected) {
    // At the wrong rate the board sees garbage, not this byte.
    Anomaly("byte " + Hex2(b) + " at " + std::to_string(rateAfter) + " bit/s in " + PhaseName(phase_) +
            ", expected " + std::to_string(expected) + " bit/s");
    return;
  }

  switch (phase_) {
    case Phase::kSync:
      HandleSync(b);
      return;
    case Phase::kHandshake:
      if (b == 0x55) {
        Send(0xAA);
        Event("handshake");
        phase_ = Phase::kSizeHigh;
      } else if (b == 0x00 || b == '0' || b == '3') {
        // A board placed in the middle of the tool's sync took one of its
        // zeros for its own sync and answered a sync the tool had given up
        // on; the tool's "0"/"3" (or its next sync, on a fixture between
        // boards) starts a new one. Waiting for 0x55 would wait forever.
        Event("sync again");
        phase_ = Phase::kSync;
        RestartSync();
        HandleSync(b);
      } else {
        Anomaly("byte " + Hex2(b) + " in boot handshake, expected 55");
      }
      return;
    case Phase::kSizeHigh:
      Send(b);
      bootSize_ = uint32_t{b} << 8;
      phase_ = Phase::kSizeLow;
      return;
    case Phase::kSizeLow:
      Send(b);
      bootSize_ |= b;
      bootLoader_.clear();
      Event("boot loader size " + std::to_string(bootSize_));
      phase_ = Phase::kBootData;
      if (bootSize_ == 0) Anomaly("boot loader size 0");
      return;
    case Phase::kBootData: {
      const int index = static_cast<int>(bootLoader_.size());
      bootLoader_.push_back(b);
      if (index == knobs_.wrongEchoAt) {
        Send(static_cast<uint8_t>(b ^ 0xFF));
        Event("echo altered at byte " + std::to_string(index));
      } else {
        Send(b);
      }
      if (bootLoader_.size() >= bootSize_) {
        Send(0xAA);
        Event("boot loader runs (" + std::to_string(bootSize_) + " bytes)");
        phase_ = Phase::kPoll;
        ramTarget_ = false;
      }
      return;
    }
    default:
      HandleLoader(b);
      return;
  }
}

void BoardModel::HandleSync(uint8_t b) {
  if (b == '0' || b == '3') {
    syncMarker_ = true;
    syncZeros_ = 0;
    Event("sync marker " + Hex2(b));
    return;
  }
  if (b != 0x00) {
    Anomaly("byte " + Hex2(b) + " in boot sync");
    return;
  }
  ++syncZeros_;
  bool answer = false;
  bool done = false;
  if (syncMarker_) {
    answer = done = syncZeros_ == 3;
  } else if (knobs_.sync == SyncAnswer::kAtOnce) {
    // Also after the pair, for a tool that set its state too late to see
    // the first answer and went on as if the board had been silent.
    answer = syncZeros_ == 1 || syncZeros_ == 3;
    done = syncZeros_ == 3;
  } else if (knobs_.sync == SyncAnswer::kAfterPair) {
    answer = done = syncZeros_ == 3;
  }
  if (!answer || knobs_.syncNeverAnswered) return;
  if (knobs_.noiseAt == NoiseAt::kBeforeSyncAnswer) SendNoise();
  Send(0x00);
  Event("sync answered");
  if (done) phase_ = Phase::kHandshake;
}

void BoardModel::HandleLoader(uint8_t b) {
  switch (phase_) {
    case Phase::kPoll:
    case Phase::kAck1:
    case Phase::kAck2:
    case Phase::kAck3:
      HandleHandshake(b);
      return;
    case Phase::kHeader:
      header_.push_back(b);
      if (header_.size() == 8) OnHeader();
      return;
    case Phase::kBlocks:
      block_.push_back(b);
      if (block_.size() == 128) OnBlock();
      return;
    case Phase::kIdle:
      HandleIdle(b);
      return;
    default:
      return;
  }
}

void BoardModel::Unexpected(uint8_t b, const char* want) {
  Anomaly("byte " + Hex2(b) + " in " + PhaseName(phase_) + ", expected " + want);
}

void BoardModel::HandleHandshake(uint8_t b) {
  if (phase_ == Phase::kPoll) {
    if (b == '3') {
      if (knobs_.errorInHandshake) {
        Send(0x60);
        Event("error 60 in handshake");
      }
      Send(0x00);
      Event("loader ready");
      phase_ = Phase::kAck1;
    } else if (b != 0x22) {
      Unexpected(b, "33");
    }
    return;
  }
  // 0x22 is the tool's answer to an error byte during the handshake, and a
  // "3" may still be on its way when the first one has been answered.
  const bool tolerated = b == 0x22 || b == '3';
  const uint8_t want = phase_ == Phase::kAck3 ? 0x88 : 'D';
  if (b != want) {
    if (!tolerated) Unexpected(b, want == 'D' ? "44" : "88");
    return;
  }
  Send(0x00);
  if (phase_ == Phase::kAck3) {
    header_.clear();
    phase_ = Phase::kHeader;
  } else {
    phase_ = phase_ == Phase::kAck1 ? Phase::kAck2 : Phase::kAck3;
  }
}

void BoardModel::OnHeader() {
  address_ = uint32_t{header_[0]} << 24 | uint32_t{header_[1]} << 16 | uint32_t{header_[2]} << 8 | header_[3];
  length_ = uint32_t{header_[4]} << 24 | uint32_t{header_[5]} << 16 | uint32_t{header_[6]} << 8 | header_[7];
  Event("header address " + Hex8(address_) + " length " + std::to_string(length_));
  if (length_ % 128 != 0) Anomaly("header length " + std::to_string(length_) + " is not a multiple of 128");
  if (knobs_.stallAfterHeader) {
    stalled_ = true;
    Event("stalled");
  }
  blocks_ = 0;
  block_.clear();
  phase_ = Phase::kBlocks;
  if (knobs_.burstBytes > 0) {
    for (int i = 0; i < knobs_.burstBytes; ++i) Send(knobs_.burstValue);
    Event("burst " + std::to_string(knobs_.burstBytes) + " bytes");
  }
  if (knobs_.errorAfterBlock == 0) {
    Send(0x60);
    Event("error 60 after header");
    phase_ = Phase::kIdle;
  } else if (length_ == 0) {
    Send(0x00);
    phase_ = Phase::kIdle;
  } else {
    Send(0x11);
  }
}

void BoardModel::OnBlock() {
  SparseMemory& memory = ramTarget_ ? ram_ : rom_;
  memory.Write(address_ + blocks_ * 128, block_.data(), block_.size());
  block_.clear();
  ++blocks_;
  if (knobs_.errorAfterBlock > 0 && blocks_ == static_cast<uint32_t>(knobs_.errorAfterBlock)) {
    Send(0x60);
    Event("error 60 after block " + std::to_string(blocks_));
    phase_ = Phase::kIdle;
  } else if (uint64_t{blocks_} * 128 < length_) {
    Send(0x11);
  } else if (knobs_.requestBeyondImage) {
    Send(0x11);
    Event("request beyond the image");
  } else {
    Send(0x00);
    ++counters_.writesDone;
    const uint32_t last = address_ + length_ - 1;
    Event(std::string("write done: ") + (ramTarget_ ? "RAM " : "ROM ") + Hex8(address_) + "-" + Hex8(last) +
          " (" + std::to_string(length_) + " bytes)");
    phase_ = Phase::kIdle;
  }
}

void BoardModel::HandleIdle(uint8_t b) {
  if (b == '2') {
    ++counters_.ramTransfers;
    ramTarget_ = true;
    Event("RAM transfer");
    phase_ = Phase::kPoll;
  } else if (b == '1') {
    ++counters_.runs;
    Event("run program");
  } else {
    Unexpected(b, "32, 31 or a sync");
  }
}

}  // namespace porten::sim
