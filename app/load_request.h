// What a load is asked to do: the file, the port, the rate, the steps and the desk options. The
// window's command line and the terminal's options both parse into one, in process, so that
// every usage error is found before anything is opened.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "protocol/reset_sequence.h"

namespace vestrel::app {

// The rates of the baud list, by index; index 5 (38400) is selected when the window opens.
inline constexpr std::uint32_t kBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
inline constexpr int kBaudRateCount = 8;
inline constexpr int kDefaultBaudIndex = 5;

struct LoadRequest {
  std::optional<std::string> file;
  // The port: COMn of the port map, or a device or URL named directly. The window's `c` takes
  // one digit; without one the number is -1, which no port list entry matches.
  std::optional<int> comNumber;
  std::optional<std::string> portPath;
  // The rate: an index into kBaudRates (the window's `b`; -1 without its digit), or any rate.
  std::optional<int> baudIndex;
  std::optional<std::uint32_t> baudRate;
  bool all = false;  // -a: every step and terminate (whatever the flags below say), and the
                     // window's exit rule
  bool erase = false, program = false, verify = false, run = false;
  bool terminate = false;  // the window closes after the automatic run
  bool skipBlank = false;  // after a successful erase, leave out blocks that are all 0xFF
  std::optional<protocol::ResetSequence> reset;       // before the sync
  std::optional<protocol::ResetSequence> resetAfter;  // after a load that went right
  unsigned waitSeconds = 0;  // for the port to appear and the bootloader to answer

  bool NamesPort() const { return comNumber.has_value() || portPath.has_value(); }
  bool NamesRate() const { return baudIndex.has_value() || baudRate.has_value(); }
  // A port and a rate: the run connects first.
  bool Connects() const { return NamesPort() && NamesRate(); }
  // The rate to open the port with; none for an index outside the list.
  std::optional<std::uint32_t> Rate() const;
  bool AsksForStep() const { return all || erase || program || verify || run; }
  // Program and verify need the file.
  bool NeedsFile() const { return all || program || verify; }
};

// The window's command line: one option per argument, its second character the letter
// (a, b, c, e, f, p, r, t, v; anything else counts for nothing), and the long options
// --wait=SECONDS, --reset=SEQUENCE and --reset-after[=SEQUENCE]. `error` is why a long option
// was refused ("" when none was); the automatic run then sends nothing.
struct WindowCommandLine {
  LoadRequest request;
  std::string error;
};
WindowCommandLine ParseWindowCommandLine(std::span<const std::string> args);

inline constexpr unsigned kMaxWaitSeconds = 3600;

}  // namespace vestrel::app
