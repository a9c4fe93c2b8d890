// The automatic run of the loader in a terminal: the window's steps and exit-code rules,
// with information texts as lines, error boxes on stderr and progress per phase.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "app/cli/terminal_view.h"
#include "app/loader.h"
#include "protocol/reset_sequence.h"

namespace vestrel::cli {

struct LoadOptions {
  std::optional<std::string> hexFile;     // -f
  std::optional<unsigned> comNumber;      // -c N: COMn of the port map
  std::optional<std::string> portPath;    // --port PATH (a device, or COMn)
  std::optional<int> baudIndex;           // -b N: index into the window's baud list
  std::optional<std::uint32_t> baudRate;  // --baud RATE
  bool all = false, erase = false, program = false, verify = false, run = false, terminate = false;
  bool skipBlank = false;                             // --skip-blank: the fast load after an erase
  std::optional<protocol::ResetSequence> reset;       // --reset: before the sync
  std::optional<protocol::ResetSequence> resetAfter;  // --reset-after: after the load
  unsigned waitSeconds = 0;  // --wait: for the port to appear and the bootloader to answer
  TerminalOptions terminal;
};

// Asked before every request to the bootloader; a non-empty answer (why) stops the load there.
using StopCheck = std::function<std::string()>;
// The exit code of a load that a stop ended (the signal's conventional one), or 0 for none.
using StopExitCode = std::function<int()>;

// Runs the requested steps in the window's order and returns the exit code: 0 when every
// requested step succeeded (the file load and the connect included), 1 otherwise, or what
// `stopExitCode` gives once a stop came. Only the load's own port is opened.
int RunLoad(const LoadOptions& options, std::ostream& out, std::ostream& err, StopCheck stop = {},
            const StopExitCode& stopExitCode = {});

// Sets the loader's rate, steps and fast load as the options say (not its file or port).
void ApplySteps(app::Loader& loader, const LoadOptions& options);

// True when the options ask for at least one step of the automatic run, connect included.
bool AsksForSteps(const LoadOptions& options);
// True when they ask for a step that needs the file: program, verify, or all.
bool NeedsFile(const LoadOptions& options);

}  // namespace vestrel::cli
