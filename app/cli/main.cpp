// vestrel-cli: the terminal front end. Parses the command line and hands over to an action.
#include <cstdlib>
#include <iostream>
#include <optional>

#include "app/cli/cli_options.h"
#include "app/cli/doctor_command.h"
#include "app/cli/image_export.h"
#include "app/cli/json_events.h"
#include "app/cli/list_ports.h"
#include "app/cli/load_command.h"
#include "app/cli/monitor.h"
#include "app/cli/station_command.h"
#include "app/cli/watch_command.h"
#include "app/stop_signals.h"
#include "platform/console.h"

namespace {

using namespace vestrel::cli;
using vestrel::app::StopSignals;

// The monitor watches the port and rate that the load used, at 115200 baud unless told.
MonitorOptions MonitorFor(const LoadOptions& load, unsigned seconds) {
  MonitorOptions monitor;
  if (load.portPath) monitor.devicePath = *load.portPath;
  if (load.comNumber) monitor.comNumber = static_cast<unsigned>(*load.comNumber);
  monitor.baud = MonitorRate(load);
  monitor.seconds = seconds;
  return monitor;
}

// A load (one board or several) that a signal stopped ends with the signal's conventional exit
// code, which its summary and --json result give too. The caller holds the StopSignals.
int Load(const CliCommand& command, JsonEvents* json) {
  std::ostream& text = json != nullptr ? std::cerr : std::cout;
  const RunContext context{&StopSignals::Reason, &StopSignals::ExitCode, json};
  const int exitCode = command.action == CliAction::GangLoad
                           ? RunGangLoad(command.load, command.gang, text, std::cerr, context)
                           : RunLoad(command.load, text, std::cerr, context);
  if (StopSignals::Stopped())
    std::cerr << "vestrel-cli: " << StopSignals::Reason()
              << " The port is closed with its settings restored.\n";
  return exitCode;
}

// The station ends after the loads in progress at the first Ctrl-C, and stops them at the second.
int Station(const LoadOptions& load, const StationOptions& station) {
  StopSignals stopSignals;
  const int code = RunStation(load, station, std::cout, std::cerr, &StopSignals::Reason, [] {
    return StopSignals::Count() > 1 ? StopSignals::Reason() : std::string();
  });
  return StopSignals::ExitCode() != 0 ? StopSignals::ExitCode() : code;
}

// The steps first; the monitor only watches an application that the load left running. With
// --monitor and a port alone there is no load: the monitor watches the port as it is.
int LoadThenMonitor(const CliCommand& command) {
  const LoadOptions& load = command.load;
  if (!command.monitor) {
    StopSignals stopSignals;
    return Load(command, nullptr);
  }
  if (load.file || load.AsksForStep()) {
    const int loaded = [&command] {
      StopSignals stopSignals;  // the monitor holds its own
      return Load(command, nullptr);
    }();
    if (loaded != kExitOk) {
      std::cerr << "vestrel-cli: the load failed; the monitor does not start\n";
      return loaded;
    }
  }
  return RunMonitor(MonitorFor(load, command.monitorSeconds), std::cin, std::cout, std::cerr);
}

// The ports a --json run names its boards by.
std::vector<std::string> JsonPorts(const CliCommand& command) {
  if (command.action == CliAction::GangLoad) return command.gang.ports;
  if (command.load.portPath) return {*command.load.portPath};
  if (command.load.comNumber) return {"COM" + std::to_string(*command.load.comNumber)};
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  vestrel::platform::IgnoreBrokenPipe();  // output errors never stop a load
  CliCommand command = ParseCommandLine(argc, argv);
  if (command.action == CliAction::Exit) {
    std::cout << command.out;
    std::cerr << command.err;
    // A script reading --json gets its last line whatever went wrong.
    if (command.json && command.exitCode != kExitOk)
      JsonEvents(std::cout, {})
          .Result(command.exitCode, {vestrel::ErrorClass::Usage, command.usage});
    return command.exitCode;
  }
  switch (command.action) {
    case CliAction::ListPorts:
      return vestrel::app::ListPorts(std::cout);
    case CliAction::ExportImage:
      return ExportImage(command.image, std::cout, std::cerr);
    case CliAction::Doctor:
      return RunDoctor(command.doctor, std::cout);
    default:
      break;
  }
  TerminalOptions& terminal = command.load.terminal;
  using vestrel::platform::IsAnsiTerminal;
  using vestrel::platform::StandardStream;
  // With --json the human text and its bar go to stderr.
  terminal.outIsTerminal =
      IsAnsiTerminal(command.json ? StandardStream::Error : StandardStream::Output);
  terminal.color = IsAnsiTerminal(StandardStream::Error) && std::getenv("NO_COLOR") == nullptr;
  if (command.action == CliAction::Station) return Station(command.load, command.station);
  std::optional<JsonEvents> json;
  if (command.json) json.emplace(std::cout, JsonPorts(command));
  JsonEvents* events = json ? &*json : nullptr;
  if (command.action == CliAction::GangLoad) {
    StopSignals stopSignals;
    return Load(command, events);
  }
  if (command.watch) {
    StopSignals stopSignals;
    return RunWatch(
        {*command.load.file}, [&command, events] { return Load(command, events); },
        &StopSignals::Reason, command.json ? std::cerr : std::cout, std::cerr);
  }
  if (command.json) {
    StopSignals stopSignals;
    return Load(command, events);
  }
  return LoadThenMonitor(command);
}
