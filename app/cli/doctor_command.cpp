#include "app/cli/doctor_command.h"

#include <algorithm>

#include "app/cli/cli_options.h"
#include "platform/port_map.h"

namespace vestrel::cli {
namespace {

// COMn names a port of the map; anything else is a path.
std::string DevicePath(const std::string& port) {
  if (const std::optional<unsigned> number = ComPortNumber(port))
    return platform::PortMap::FromEnvironment().DevicePath(*number).value_or(port);
  return port;
}

}  // namespace

std::string FindingsText(const std::vector<app::Finding>& findings) {
  std::string text;
  for (const app::Finding& finding : findings) {
    text += (finding.problem ? "PROBLEM  " : "note     ") + finding.what + '\n';
    if (!finding.fix.empty()) text += "  fix:   " + finding.fix + '\n';
  }
  return text;
}

int RunDoctor(const DoctorOptions& options, std::ostream& out) {
  const platform::SystemFacts system = platform::GatherSystemFacts();
  std::string checked = "your groups, brltty, ModemManager, USB serial adapters";
  std::optional<platform::PortFacts> port;
  std::optional<app::PortProbe> probe;
  if (options.port) {
    const std::string path = DevicePath(*options.port);
    port = platform::GatherPortFacts(path);
    if (port->isTerminal)
      probe = app::ProbePort(path, options.baud.value_or(115200), options.baud.has_value());
    checked += ", " + path + (options.baud ? " and its bootloader" : "");
  }
  std::vector<app::Finding> findings = app::JudgeSystem(system, port ? port->group : "");
  if (port) {
    const std::vector<app::Finding> more = app::JudgePort(system, *port, probe);
    findings.insert(findings.end(), more.begin(), more.end());
  }
  const auto problems = std::count_if(findings.begin(), findings.end(),
                                      [](const app::Finding& f) { return f.problem; });
  out << "Checked " << checked << ".\n" << FindingsText(findings);
  if (problems == 0)
    out << "Nothing stands in the way.\n";
  else
    out << problems << (problems == 1 ? " problem" : " problems") << " found.\n";
  return problems == 0 ? kExitOk : kExitFailure;
}

}  // namespace vestrel::cli
