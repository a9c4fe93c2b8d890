// vestrel-cli's command line as a pure parse: what to do, or the text to print and the exit code
// (help, version, usage error). Nothing is opened or run here, so any argv can be tried.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/cli/doctor_command.h"
#include "app/cli/gang_command.h"
#include "app/cli/image_export.h"
#include "app/cli/load_command.h"
#include "app/cli/station_command.h"

namespace vestrel::cli {

// Ports are COM1 to COM256.
inline constexpr unsigned kLastPort = 256;
// The rate a raw TCP port's time budgets assume when none is given: the slowest of the list.
inline constexpr std::uint32_t kRawTcpBudgetRate = 1200;

enum class CliAction {
  Exit,         // print `out` and `err`, then exit with `exitCode` (help, version, usage error)
  ListPorts,    // --list-ports
  ExportImage,  // --image-out
  Load,         // the automatic run, then the monitor when asked for (or the monitor alone)
  GangLoad,     // the automatic run on several ports at once (--port ... --port, --ports-from)
  Station,      // vestrel-cli station: the production bench
  Doctor,       // vestrel-cli doctor [PORT]
};

struct CliCommand {
  CliAction action = CliAction::Exit;
  int exitCode = kExitOk;
  std::string out;              // Exit: text for stdout (help, version)
  std::string err;              // Exit: text for stderr (a usage error with the short usage)
  std::string usage;            // Exit: what a usage error says, alone
  bool json = false;            // --json: NDJSON events on stdout (also given with a usage error)
  LoadOptions load;             // Load: the steps; terminal.progress and terminal.quiet are set,
                                // the terminal checks (isatty, NO_COLOR) are the caller's
  bool monitor = false;         // Load: --monitor, on the port of the load
  unsigned monitorSeconds = 0;  // Load: --monitor-seconds, 0 until Ctrl-C
  bool watch = false;           // Load: --watch, load again whenever the file changes
  ImageExportOptions image;     // ExportImage
  GangOptions gang;             // GangLoad: with `load` for the steps and the rate
  StationOptions station;       // Station: with `load` for the file, the rate and the reset
  DoctorOptions doctor;         // Doctor
};

CliCommand ParseCommandLine(int argc, const char* const* argv);

// The port number of "COM3" (any case, up to three digits), or nothing for any other name.
std::optional<unsigned> ComPortNumber(const std::string& text);

// The rate that --monitor watches at: the load's rate, 115200 baud unless told.
std::uint32_t MonitorRate(const LoadOptions& load);

}  // namespace vestrel::cli
