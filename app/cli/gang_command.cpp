#include "app/cli/gang_command.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "app/cli/cli_options.h"
#include "app/cli/gang_view.h"
#include "app/cli/json_events.h"
#include "app/gang_load.h"
#include "app/gang_report.h"
#include "platform/remote_port.h"
#include "protocol/serial_loader_link.h"

namespace vestrel::cli {
namespace {

// "COM3" names port 3 of the map and shows as COM3; anything else is opened as it is named.
protocol::PortTarget TargetOf(const std::string& name) {
  if (const std::optional<unsigned> number = ComPortNumber(name))
    return protocol::SerialLoaderLink::Target(*number);
  return {name, name};
}

std::string SystemError() {
  return std::error_code(errno, std::generic_category()).message();
}

bool WriteText(const std::string& path, const std::string& text, std::ostream& err) {
  errno = 0;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (file) return true;
  err << "vestrel-cli: cannot write " << path << ": " << SystemError() << '\n';
  return false;
}

// A report that cannot be written must be found before any board is flashed, not after all of
// them. The check leaves no empty file behind.
bool CanWrite(const std::string& path, std::ostream& err) {
  std::error_code ec;
  const bool existed = std::filesystem::exists(path, ec);
  errno = 0;
  std::ofstream file(path, std::ios::binary | std::ios::app);
  if (!file) {
    err << "vestrel-cli: cannot write " << path << ": " << SystemError()
        << "; nothing was sent to any board\n";
    return false;
  }
  file.close();
  if (!existed) std::filesystem::remove(path, ec);
  return true;
}

// The ports named on the command line, then those of the ports file; empty with a message on
// `err` when they cannot be used.
std::vector<std::string> AllPorts(const GangOptions& gang, std::ostream& err) {
  std::vector<std::string> ports = gang.ports;
  if (gang.portsFrom) {
    const std::optional<std::vector<std::string>> listed = ReadPortsFile(*gang.portsFrom);
    if (!listed) {
      err << "vestrel-cli: --ports-from " << *gang.portsFrom << ": cannot read it\n";
      return {};
    }
    ports.insert(ports.end(), listed->begin(), listed->end());
  }
  if (ports.empty()) {
    err << "vestrel-cli: --ports-from " << gang.portsFrom.value_or("") << " names no port\n";
    return {};
  }
  for (const std::string& port : ports) {
    if (const std::string fault = PortNameFault(port); !fault.empty()) {
      err << "vestrel-cli: " << fault << '\n';
      return {};
    }
  }
  if (const std::string twice = NamedTwice(ports); !twice.empty()) {
    err << "vestrel-cli: the port " << twice << " is named twice\n";
    return {};
  }
  return ports;
}

// The file's failure, or the first failed board's, named by its port; or the reports.
Failure FirstFailure(const app::GangOutcome& outcome, bool written) {
  if (outcome.fileError.error != ErrorClass::None) return outcome.fileError;
  for (const app::BoardResult& board : outcome.boards) {
    if (board.ok()) continue;
    Failure first = board.FirstError();
    first.message = board.port + ": " + first.message;
    return first;
  }
  if (!written) return {ErrorClass::Internal, "The reports could not be written."};
  return {};
}

}  // namespace

std::string PortNameFault(const std::string& name) {
  if (platform::NamesRemotePort(name) && !platform::ParseRemotePortUrl(name))
    return "port " + name + ": a remote port is " + platform::kRemotePortForm +
           " (PORT 1 to 65535)";
  if (const std::optional<unsigned> number = ComPortNumber(name);
      number && (*number == 0 || *number > kLastPort))
    return "ports are COM1 to COM256";
  return {};
}

std::string NamedTwice(const std::vector<std::string>& names) {
  for (auto it = names.begin(); it != names.end(); ++it)
    if (std::find(it + 1, names.end(), *it) != names.end()) return *it;
  return {};
}

std::optional<std::vector<std::string>> ReadPortsFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::vector<std::string> ports;
  std::string line;
  while (std::getline(in, line)) {
    // A comment starts a line or follows a blank: a '#' inside a name belongs to the name.
    for (auto hash = line.find('#'); hash != std::string::npos; hash = line.find('#', hash + 1)) {
      if (hash == 0 || line[hash - 1] == ' ' || line[hash - 1] == '\t') {
        line.erase(hash);
        break;
      }
    }
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    const auto last = line.find_last_not_of(" \t\r");
    ports.push_back(line.substr(first, last - first + 1));
  }
  if (in.bad()) return std::nullopt;
  return ports;
}

int RunGangLoad(const LoadOptions& load, const GangOptions& gang, std::ostream& out,
                std::ostream& err, const RunContext& context) {
  std::ostringstream why;
  const std::vector<std::string> ports = AllPorts(gang, why);
  const bool usable = !ports.empty() && (!gang.reportPath || CanWrite(*gang.reportPath, why)) &&
                      (!gang.junitPath || CanWrite(*gang.junitPath, why));
  if (!usable) {
    err << why.str();
    if (context.json != nullptr) {
      std::string message = why.str();
      while (!message.empty() && message.back() == '\n') message.pop_back();
      context.json->Result(kExitUsage, {ErrorClass::Usage, message});
    }
    return kExitUsage;
  }

  app::GangJob job;
  job.portNames = ports;
  std::transform(ports.begin(), ports.end(), std::back_inserter(job.targets), TargetOf);
  job.hexFile = load.file;
  job.request = load;
  job.stop = context.stop;

  GangView view(out, err, load.terminal, ports);
  std::vector<app::GangListener*> listeners{&view};
  if (context.json != nullptr) {
    context.json->Start(load);
    listeners.push_back(context.json);
  }
  const auto start = std::chrono::steady_clock::now();
  const app::GangOutcome outcome = app::RunGang(job, listeners);
  view.Finish();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (outcome.fileError.error != ErrorClass::None) {
    std::string message = outcome.fileError.message;
    for (std::size_t at = 0; (at = message.find('\n', at)) != std::string::npos; at += 3)
      message.insert(at + 1, "  ");
    err << "Error: " << message << "\n  Nothing was sent to any board.\n";
  }
  const app::GangReportInfo info{load.file.value_or(""), seconds};
  bool written = true;
  if (gang.reportPath)
    written &= WriteText(*gang.reportPath, app::GangReportJson(outcome, info), err);
  if (gang.junitPath)
    written &= WriteText(*gang.junitPath, app::GangReportJUnit(outcome, info), err);
  const int exitCode = context.FinalExitCode(written ? outcome.ExitCode() : kExitFailure);
  if (!load.terminal.quiet) out << '\n' << GangTable(outcome, exitCode) << std::flush;
  if (context.json != nullptr)
    context.json->Result(outcome, exitCode,
                         context.WhyFailed(FirstFailure(outcome, written), exitCode), seconds);
  return exitCode;
}

}  // namespace vestrel::cli
