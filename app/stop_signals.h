// Ctrl-C (SIGINT) and SIGTERM during a load: noted by a handler and asked for between two
// requests (Loader::SetStopCheck), so that the load stops cleanly, the port closed with its
// settings restored, instead of being killed in the middle of a transfer. One per process.
#pragma once

#include <string>

namespace vestrel::app {

class StopSignals {
 public:
  // Installs the handlers; the previous handling comes back when this is destroyed.
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Why the load is to stop ("Stopped by Ctrl-C (SIGINT)."), or "" while no signal came.
  static std::string Reason();
  static bool Stopped() { return ExitCode() != 0; }
  // How many stop signals came (a second Ctrl-C may ask for more haste than the first).
  static int Count();
  // The conventional exit code of the signal that came (130 for SIGINT, 143 for SIGTERM), or 0.
  static int ExitCode();
};

}  // namespace vestrel::app
