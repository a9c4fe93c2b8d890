// The automatic run of the loader in a terminal: the window's steps and exit-code rules,
// with information texts as lines, error boxes on stderr and progress per phase.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "app/cli/terminal_view.h"
#include "app/load_request.h"
#include "app/loader.h"
#include "protocol/reset_sequence.h"

namespace vestrel::cli {

// The request as the terminal's options give it, and how the terminal shows the run.
struct LoadOptions : app::LoadRequest {
  TerminalOptions terminal;
};

// Asked before every request to the bootloader; a non-empty answer (why) stops the load there.
using StopCheck = std::function<std::string()>;

class JsonEvents;

// What a run needs around it: the stop, the exit code a stop ends it with, and the --json events.
struct RunContext {
  StopCheck stop;
  std::function<int()> stopExitCode;  // 130 or 143 once a signal stopped the run, 0 before
  JsonEvents* json = nullptr;         // hears every event and writes the last line

  // The code the process returns for a run that ended with `exitCode`.
  int FinalExitCode(int exitCode) const {
    const int stopped = stopExitCode ? stopExitCode() : 0;
    return stopped != 0 ? stopped : exitCode;
  }
  // Why a run that ended with `exitCode` failed: its first failure, or the stop that came after
  // its last step; none for 0.
  Failure WhyFailed(const Failure& first, int exitCode) const;
};

// Runs the requested steps through the core's sequencer and returns the exit code: 0 when every
// requested step succeeded (the file load and the connect included), 1 otherwise, or the stop's
// code. Only the load's own port is opened. The summary line and the --json result say the code
// returned.
int RunLoad(const LoadOptions& options, std::ostream& out, std::ostream& err,
            const RunContext& context = {});

// The summary line of a run: each requested step's outcome, the speed, the exit code.
std::string SummaryLine(const app::LoadResult& result, double seconds, int exitCode);

}  // namespace vestrel::cli
