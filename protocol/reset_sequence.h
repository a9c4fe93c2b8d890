// Resetting a board into its bootloader through the port's modem lines. Boards made for serial
// loading wire their reset (and often the bootloader entry pin) to DTR or RTS of the adapter;
// a reset sequence says how to drive them: after the port has been opened (with both lines off)
// and before the baud sync.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vestrel::protocol {

enum class ModemLine { Dtr, Rts };

const char* ModemLineName(ModemLine line);  // "DTR", "RTS"

// One step: drive a line (on = asserted: the adapter's DTR#/RTS# pin low, the RS-232 line
// positive), or wait.
struct ResetStep {
  enum class Kind { Line, Wait };
  Kind kind = Kind::Wait;
  ModemLine line = ModemLine::Dtr;
  bool on = false;
  unsigned milliseconds = 0;

  bool operator==(const ResetStep&) const = default;
};

struct ResetSequence {
  std::string name;  // the name as given: "dtr-pulse", or the written steps
  std::vector<ResetStep> steps;
  // For a named sequence: the pulse that restarts the board into its application (the reset
  // line alone, the entry line left off). Empty for written sequences.
  std::string applicationStart;
};

// Each named sequence with its steps and what it is for, for help texts.
struct NamedReset {
  const char* name;
  const char* steps;
  const char* circuit;
};
const std::vector<NamedReset>& NamedResets();

inline constexpr unsigned kMaxResetWaitMs = 10000;
inline constexpr std::size_t kMaxResetSteps = 64;

// A named sequence ("dtr-pulse", "rts-pulse", "dtr-hold-rts-pulse") or written steps such as
// "dtr=1,rts=0,wait=50,dtr=0": dtr=0|1, rts=0|1 and wait=MS (0 to 10000), separated by commas.
// `error` says what is wrong when the text is neither.
std::optional<ResetSequence> ParseResetSequence(std::string_view text, std::string& error);

// The sequence that restarts the board after a load: `text` when it is not empty, otherwise the
// application start of the named sequence `entry`; written or absent `entry` sequences have none.
std::optional<ResetSequence> ParseResetAfter(std::string_view text,
                                             const std::optional<ResetSequence>& entry,
                                             std::string& error);

}  // namespace vestrel::protocol
