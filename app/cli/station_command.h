// vestrel-cli station: the production bench. Loads every board that appears on the watched
// ports (app/station.h), each with its own serial number, logs every attempt and shows the
// ports as a table until Ctrl-C.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/cli/load_command.h"
#include "image/board_data.h"

namespace vestrel::cli {

// --serial ADDR:FORMAT[:START[:STEP]]
struct SerialOption {
  std::uint64_t address = 0;  // as given: physical or virtual
  image::DataFormat format;
  std::uint64_t start = 1;
  std::uint64_t step = 1;
  bool counts = false;  // START or STEP given
};

// ADDR in decimal or 0x-hex; START and STEP decimal, STEP at least 1. Nothing with `why`.
std::optional<SerialOption> ParseSerialOption(const std::string& text, std::string& why);

struct StationOptions {
  std::vector<std::string> ports;          // --port, a rack's fixed ports
  std::optional<std::string> portsFrom;    // --ports-from FILE
  std::vector<std::string> watch;          // --watch-ports GLOB or folder
  std::optional<SerialOption> serial;      // --serial
  std::optional<std::string> serialsFrom;  // --serials-from FILE
  bool serialOverwrite = false;            // --serial-overwrite
  bool reuseFailed = false;                // --reuse-failed
  std::string log;                         // --log FILE (CSV); its state is FILE.state
  std::optional<std::string> logJson;      // --log-json FILE
  std::optional<std::string> onResult;     // --on-result CMD
  unsigned settleMs = 500;                 // --settle-ms
};

// Runs the station until `stop` gives a reason (the loads in progress end first; `abort` stops
// them too) or a fault stops it. Exit code: 0 after a stop by `stop`, 1 when a fault stopped it
// or it could not start (file, log, state), 2 for a usage error found on the way (a serial
// address inside the file's data, a list that cannot be used).
int RunStation(const LoadOptions& load, const StationOptions& station, std::ostream& out,
               std::ostream& err, StopCheck stop, StopCheck abort);

}  // namespace vestrel::cli
