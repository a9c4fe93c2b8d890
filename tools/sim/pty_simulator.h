// The simulator's front end: a pseudo-terminal, a poll() loop and the wiring of receiver,
// bootloader model, faults, pacing and log.
#pragma once

#include <ostream>

#include "tools/sim/sim_options.h"

namespace vestrel::sim {

// Runs the simulator until a signal, a lifetime option or an unplug ends it. Prints the
// pseudo-terminal's path as the first line of `out`; messages go to `err`. Returns the exit
// status: 0 after a normal end, 1 on a runtime failure, 2 on a bad input file.
int RunSimulator(const SimOptions& options, std::ostream& out, std::ostream& err);

}  // namespace vestrel::sim
