// The automatic run of the loader in a terminal: the window's steps and exit-code rules,
// with information texts as lines, error boxes on stderr and progress per phase.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "app/cli/terminal_view.h"

namespace vestrel::cli {

struct LoadOptions {
  std::optional<std::string> hexFile;     // -f
  std::optional<unsigned> comNumber;      // -c N: COMn of the port map
  std::optional<std::string> portPath;    // --port PATH (a device, or COMn)
  std::optional<int> baudIndex;           // -b N: index into the window's baud list
  std::optional<std::uint32_t> baudRate;  // --baud RATE
  bool all = false, erase = false, program = false, verify = false, run = false, terminate = false;
  bool skipBlank = false;  // --skip-blank: the fast load after an erase
  TerminalOptions terminal;
};

// Runs the requested steps in the window's order and returns its exit code: 0 when the
// requested steps succeeded, 1 otherwise. A run with `all` needs every step to succeed.
int RunLoad(const LoadOptions& options, std::ostream& out, std::ostream& err);

// True when the options ask for at least one step of the automatic run.
bool AsksForSteps(const LoadOptions& options);

}  // namespace vestrel::cli
