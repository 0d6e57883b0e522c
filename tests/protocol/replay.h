// The byte tables of both protocols as rows (an event in; the bytes and
// reopens out, the state after), and one replay harness that runs them
// against the pure machine or against the whole session on a scripted port:
// whole, a byte at a time, and with noise where the state must ignore it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/download_state.h"
#include "protocol/download_machine.h"

namespace porten::testing {

using Bytes = std::vector<uint8_t>;

struct In {
  enum Kind { kRx, kTimer, kCommand } kind;
  Bytes rx;
  int timer = 0;
  Command command = Command::kWrite;
};
inline In Rx(Bytes b) { return {In::kRx, std::move(b)}; }
inline In Timer(int id) { return {In::kTimer, {}, id}; }
inline In Cmd(Command c) { return {In::kCommand, {}, 0, c}; }

struct Row {
  In in;
  const char* out;  // wire bytes in hex ("FF*125" for a run), "@RATE" a reopen
  int32_t state;
  const char* status = nullptr;  // the status line after, when it matters
};

// Hex of bytes; a run of eight or more equal bytes reads "FF*125".
inline std::string Hex(const Bytes& bytes) {
  std::string out;
  for (size_t i = 0, run = 1; i < bytes.size(); i += run, run = 1) {
    while (i + run < bytes.size() && bytes[i + run] == bytes[i]) ++run;
    if (run < 8) run = 1;
    char token[32];
    std::snprintf(token, sizeof token, run > 1 ? "%s%02X*%zu" : "%s%02X", i ? " " : "", bytes[i], run);
    out += token;
  }
  return out;
}

inline void Append(std::string& transcript, const std::string& token) {
  if (!token.empty()) transcript += (transcript.empty() ? "" : " ") + token;
}

// A 2-byte boot loader AB CD at 0x0000F000 and the image 11 22 33 at 0x1000.
inline const Bytes kBoot = {0xAB, 0xCD};
inline const Bytes kImage = {0x11, 0x22, 0x33};
inline constexpr uint32_t kBootBase = 0x0000F000;
inline constexpr uint32_t kImageBase = 0x1000;

// A normal download, the target silent after the first 0x00.
inline const std::vector<Row> kNormalDownload = {
    {Cmd(Command::kWrite), "00", STATE_SYNC_BOOT},
    {Timer(TIMER_BOOT_SYNC), "00 00", STATE_BOOT_HANDSHAKE},
    {Rx({0x00, 0xAA, 0x00, 0x02, 0xAB}), "55 00 02 AB CD", STATE_BOOT_DATA,
     "Boot Load: 0/2 (0000F000)"},
    {Rx({0xCD}), "", STATE_BOOT_WAIT_START, "Boot Load: 1/2 (0000F000)"},
    {Rx({0xAA}), "@38400", STATE_WRITE_POLL},
    {Timer(TIMER_WRITE_POLL), "33", STATE_WRITE_POLL},
    {Rx({0x00, 0x00, 0x00, 0x00}), "44 44 88 00 00 10 00 00 00 00 80", STATE_WRITE_DATA},
    {Rx({0x11}), "11 22 33 FF*125", STATE_WRITE_FINISH, "Writing: 3/3 (00001000)"},
    {Rx({0x00}), "@4800", STATE_IDLE, "書込み終了"},
};

// The same image by RAM transfer to a running loader, then "実行".
inline const std::vector<Row> kRamTransfer = {
    {Cmd(Command::kRamTransfer), "", STATE_IDLE},
    {Cmd(Command::kWrite), "32 @38400", STATE_WRITE_POLL},
    {Timer(TIMER_WRITE_POLL), "33", STATE_WRITE_POLL},
    {Timer(TIMER_WRITE_POLL), "33", STATE_WRITE_POLL},
    {Rx({0x60, 0x00, 0x00, 0x00, 0x00}), "22 44 44 88 00 00 10 00 00 00 00 80", STATE_WRITE_DATA},
    {Rx({0x11}), "11 22 33 FF*125", STATE_WRITE_FINISH},
    {Rx({0x00}), "@4800", STATE_IDLE, "書込み終了"},
    {Cmd(Command::kExecute), "31", STATE_IDLE, "プログラム　実行中"},
};

enum class Replay { kWhole, kByteByByte, kNoise };
inline std::string ReplayName(const ::testing::TestParamInfo<Replay>& info) {
  return std::vector<std::string>{"Whole", "ByteByByte", "Noise"}.at(static_cast<size_t>(info.param));
}

// States in which 0x5A is ignored, so noise there must change nothing.
inline bool IgnoresNoise(int32_t state) {
  return state == STATE_IDLE || state == STATE_BOOT_HANDSHAKE ||
         (state >= STATE_WRITE_POLL && state <= STATE_WRITE_DATA) || state == STATE_WRITE_FINISH;
}

// What a harness does for one row; the replay checks the rest.
class Driver {
 public:
  virtual ~Driver() = default;
  // Feeds the row's event (rx: in one read, or one read per byte) and
  // returns the transcript of what went out.
  virtual std::string Feed(const In& in, bool byteByByte) = 0;
  virtual int32_t State() = 0;
  virtual std::string Status() = 0;
};

inline void ReplayRows(Driver& d, const std::vector<Row>& rows, Replay how) {
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    In in = row.in;
    if (how == Replay::kNoise && in.kind == In::kRx && IgnoresNoise(d.State())) {
      in.rx.insert(in.rx.begin(), 0x5A);
    }
    EXPECT_EQ(row.out, d.Feed(in, how == Replay::kByteByByte)) << "row " << i;
    EXPECT_EQ(row.state, d.State()) << "row " << i;
    if (row.status) {
      EXPECT_EQ(row.status, d.Status()) << "row " << i;
    }
  }
}

}  // namespace porten::testing
