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

// Runs the requested steps through the core's sequencer and returns the exit code: 0 when every
// requested step succeeded (the file load and the connect included), 1 otherwise. Only the
// load's own port is opened. `listener`, when given, hears every event of the run.
int RunLoad(const LoadOptions& options, std::ostream& out, std::ostream& err, StopCheck stop = {},
            app::LoadListener* listener = nullptr);

// The summary line of a run: each requested step's outcome, the speed, the exit code.
std::string SummaryLine(const app::LoadResult& result, double seconds, int exitCode);

}  // namespace vestrel::cli
