// vestrel-cli with several ports: the same steps on every board at once (app/gang_load.h), the
// boards' progress (gang_view.h), the closing table and the reports.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/cli/load_command.h"

namespace vestrel::cli {

struct GangOptions {
  std::vector<std::string> ports;         // --port, each as given (a path, COMn or a URL)
  std::optional<std::string> portsFrom;   // --ports-from FILE, read when the load starts
  std::optional<std::string> reportPath;  // --report FILE (JSON)
  std::optional<std::string> junitPath;   // --junit FILE (JUnit XML)
};

// Why a port name cannot be used (a malformed URL, a COM number out of range), or "".
std::string PortNameFault(const std::string& name);
// The first name that stands in `names` more than once, or "".
std::string NamedTwice(const std::vector<std::string>& names);

// The ports of a ports file: one a line, blanks around it ignored, empty lines skipped; a '#' at
// the start of a line or after a blank starts a comment. Nothing when the file cannot be read.
std::optional<std::vector<std::string>> ReadPortsFile(const std::string& path);

// Loads every board and returns the exit code: 0 only when every board succeeded, 1 otherwise
// (also when a report cannot be written at the end), 2 for a ports file or a report path that
// cannot be used (then nothing is sent), or the stop's code.
int RunGangLoad(const LoadOptions& load, const GangOptions& gang, std::ostream& out,
                std::ostream& err, const RunContext& context = {});

}  // namespace vestrel::cli
