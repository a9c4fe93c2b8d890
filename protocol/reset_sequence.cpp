#include "protocol/reset_sequence.h"

#include <charconv>

namespace vestrel::protocol {
namespace {

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

std::optional<unsigned> Number(std::string_view text) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<ResetStep> ParseStep(std::string_view step, std::string& error) {
  const std::size_t equals = step.find('=');
  const std::string_view key = Trimmed(step.substr(0, equals));
  const std::string_view value =
      equals == std::string_view::npos ? std::string_view() : Trimmed(step.substr(equals + 1));
  const std::optional<unsigned> number = Number(value);
  if (key == "wait") {
    if (number && *number <= kMaxResetWaitMs)
      return ResetStep{ResetStep::Kind::Wait, {}, {}, *number};
    error = "\"" + std::string(step) + "\": a wait is 0 to " + std::to_string(kMaxResetWaitMs) +
            " milliseconds";
    return std::nullopt;
  }
  if (key == "dtr" || key == "rts") {
    if (number && *number <= 1)
      return ResetStep{ResetStep::Kind::Line, key == "dtr" ? ModemLine::Dtr : ModemLine::Rts,
                       *number == 1, 0};
    error = "\"" + std::string(step) + "\": a line is set to 1 (on) or 0 (off)";
    return std::nullopt;
  }
  error = "\"" + std::string(step) + "\" is not a step: steps are dtr=0|1, rts=0|1 and wait=MS";
  return std::nullopt;
}

std::optional<std::vector<ResetStep>> ParseSteps(std::string_view text, std::string& error) {
  std::vector<ResetStep> steps;
  while (true) {
    const std::size_t comma = text.find(',');
    const auto step = ParseStep(text.substr(0, comma), error);
    if (!step) return std::nullopt;
    steps.push_back(*step);
    if (steps.size() > kMaxResetSteps) {
      error = "more than " + std::to_string(kMaxResetSteps) + " steps";
      return std::nullopt;
    }
    if (comma == std::string_view::npos) return steps;
    text.remove_prefix(comma + 1);
  }
}

// The reset is held for 100 ms, and the bootloader given 100 ms to start before the sync.
struct Named {
  NamedReset help;
  const char* applicationStart;
};
const Named kNamed[] = {
    {{"dtr-pulse", "dtr=1,wait=100,dtr=0,wait=100", "reset on DTR"}, "dtr=1,wait=100,dtr=0"},
    {{"rts-pulse", "rts=1,wait=100,rts=0,wait=100", "reset on RTS"}, "rts=1,wait=100,rts=0"},
    {{"dtr-hold-rts-pulse", "dtr=1,rts=1,wait=100,rts=0,wait=100,dtr=0",
      "reset on RTS, bootloader entry pin on DTR held while reset is released"},
     "rts=1,wait=100,rts=0"},
};

}  // namespace

const char* ModemLineName(ModemLine line) {
  return line == ModemLine::Dtr ? "DTR" : "RTS";
}

const std::vector<NamedReset>& NamedResets() {
  static const std::vector<NamedReset> list = [] {
    std::vector<NamedReset> named;
    for (const Named& n : kNamed) named.push_back(n.help);
    return named;
  }();
  return list;
}

std::optional<ResetSequence> ParseResetSequence(std::string_view text, std::string& error) {
  text = Trimmed(text);
  for (const Named& named : kNamed) {
    if (text != named.help.name) continue;
    auto steps = ParseSteps(named.help.steps, error);
    return ResetSequence{std::string(text), std::move(*steps), named.applicationStart};
  }
  if (text.empty()) {
    error = "an empty reset sequence";
    return std::nullopt;
  }
  if (text.find('=') == std::string_view::npos) {
    error = "\"" + std::string(text) +
            "\" is neither a named sequence (dtr-pulse, rts-pulse, dtr-hold-rts-pulse) nor "
            "written steps such as dtr=1,wait=100,dtr=0";
    return std::nullopt;
  }
  auto steps = ParseSteps(text, error);
  if (!steps) return std::nullopt;
  return ResetSequence{std::string(text), std::move(*steps), {}};
}

std::optional<ResetSequence> ParseResetAfter(std::string_view text,
                                             const std::optional<ResetSequence>& entry,
                                             std::string& error) {
  if (!Trimmed(text).empty()) return ParseResetSequence(text, error);
  if (entry && !entry->applicationStart.empty())
    return ParseResetSequence(entry->applicationStart, error);
  error =
      "needs a sequence (--reset-after=SEQUENCE) unless --reset names one (dtr-pulse, "
      "rts-pulse, dtr-hold-rts-pulse)";
  return std::nullopt;
}

}  // namespace vestrel::protocol
