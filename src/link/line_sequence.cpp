#include "link/line_sequence.h"

#include <charconv>

namespace porten {

namespace {

constexpr LinePreset kPresets[] = {
    {"dtr-mode", "DTR drives the boot-mode pin, RTS the reset",
     "dtr=1,rts=1,wait=100,rts=0,wait=100", "dtr=0,rts=1,wait=100,rts=0"},
    {"rts-mode", "RTS drives the boot-mode pin, DTR the reset",
     "rts=1,dtr=1,wait=100,dtr=0,wait=100", "rts=0,dtr=1,wait=100,dtr=0"},
};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string StepText(const LineStep& step) {
  switch (step.kind) {
    case LineStep::Kind::kDtr:
      return "dtr=" + std::to_string(step.value);
    case LineStep::Kind::kRts:
      return "rts=" + std::to_string(step.value);
    case LineStep::Kind::kWait:
      break;
  }
  return "wait=" + std::to_string(step.value);
}

}  // namespace

std::optional<LineSequence> ParseLineSequence(std::string_view text, std::string& why) {
  if (Trim(text).empty()) {
    why = "the sequence is empty";
    return std::nullopt;
  }
  LineSequence steps;
  for (size_t n = 1;; ++n) {
    const size_t comma = text.find(',');
    const std::string_view step = Trim(text.substr(0, comma));
    const std::string at = "step " + std::to_string(n);
    const std::string quoted = at + " \"" + std::string(step) + "\": ";
    const size_t eq = step.find('=');
    const std::string_view name = step.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? "" : step.substr(eq + 1);
    int number = -1;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
    const bool whole = !value.empty() && ec == std::errc() && end == value.data() + value.size();
    if (step.empty()) {
      why = at + " is empty";
      return std::nullopt;
    } else if (eq != std::string_view::npos && (name == "dtr" || name == "rts")) {
      if (!whole || (number != 0 && number != 1)) {
        why = quoted + "the level is 1 (asserted) or 0 (cleared)";
        return std::nullopt;
      }
      steps.push_back({name == "dtr" ? LineStep::Kind::kDtr : LineStep::Kind::kRts, number});
    } else if (eq != std::string_view::npos && name == "wait") {
      if (!whole || number < 0 || number > kMaxLineWaitMs) {
        why = quoted + "the wait is whole milliseconds from 0 to " + std::to_string(kMaxLineWaitMs);
        return std::nullopt;
      }
      steps.push_back({LineStep::Kind::kWait, number});
    } else {
      why = quoted + "not a step; the steps are dtr=1, dtr=0, rts=1, rts=0 and wait=MS";
      return std::nullopt;
    }
    if (comma == std::string_view::npos) return steps;
    text.remove_prefix(comma + 1);
  }
}

std::span<const LinePreset> LinePresets() { return kPresets; }

const LinePreset* FindLinePreset(std::string_view name) {
  for (const LinePreset& p : kPresets) {
    if (name == p.name) return &p;
  }
  return nullptr;
}

bool RunLineSequence(Port& port, Clock& clock, const LineSequence& steps, std::string& why) {
  for (size_t i = 0; i < steps.size(); ++i) {
    const LineStep& step = steps[i];
    if (step.kind == LineStep::Kind::kWait) {
      clock.Sleep(step.value);
      continue;
    }
    const ModemLine line = step.kind == LineStep::Kind::kDtr ? ModemLine::kDtr : ModemLine::kRts;
    std::string reason;
    if (!port.SetModemLine(line, step.value == 1, reason)) {
      why = "step " + std::to_string(i + 1) + " \"" + StepText(step) + "\": " + reason;
      return false;
    }
  }
  return true;
}

}  // namespace porten
