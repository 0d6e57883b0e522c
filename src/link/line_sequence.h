// What the modem control lines do before and after a write, for fixtures
// that wire DTR and RTS to the chip's boot-mode pin and its reset: a comma-
// separated list of steps dtr=1, dtr=0, rts=1, rts=0 and wait=MS. "1" is the
// line asserted, its active level; on most adapters the pin then goes low.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/port.h"
#include "core/window_system.h"

namespace porten {

struct LineStep {
  enum class Kind { kDtr, kRts, kWait };
  Kind kind = Kind::kWait;
  int value = 0;  // dtr and rts: 1 asserted, 0 cleared; wait: milliseconds
  bool operator==(const LineStep&) const = default;
};
using LineSequence = std::vector<LineStep>;

// A wait longer than this is a typing error, not a reset pulse.
inline constexpr int kMaxLineWaitMs = 10000;

// The steps of text, or nullopt with why naming the first bad step. Spaces
// around a step are allowed.
std::optional<LineSequence> ParseLineSequence(std::string_view text, std::string& why);

// The named sequences for the wirings most fixtures use.
struct LinePreset {
  const char* name;
  const char* wiring;  // one line for the help text
  const char* before;  // after the open at 4800 bit/s, before the first sync byte
  const char* after;   // when the write has ended, written or failed
};
std::span<const LinePreset> LinePresets();
const LinePreset* FindLinePreset(std::string_view name);

// Runs steps on the open port, the waits on clock. False at the first line
// change the port refuses; why then names the step and the system's reason.
bool RunLineSequence(Port& port, Clock& clock, const LineSequence& steps, std::string& why);

}  // namespace porten
