// vestrel-cli: the terminal front end. Parses the command line and hands over to an action.
#include <cstdlib>
#include <iostream>

#include "app/cli/cli_options.h"
#include "app/cli/doctor_command.h"
#include "app/cli/image_export.h"
#include "app/cli/list_ports.h"
#include "app/cli/load_command.h"
#include "app/cli/monitor.h"
#include "app/cli/station_command.h"
#include "app/cli/watch_command.h"
#include "app/loader.h"
#include "app/stop_signals.h"
#include "platform/console.h"

namespace {

using namespace vestrel::cli;

// The monitor watches the port and rate that the load used, at 115200 baud unless told.
MonitorOptions MonitorFor(const LoadOptions& load, unsigned seconds) {
  MonitorOptions monitor;
  if (load.portPath) monitor.devicePath = *load.portPath;
  if (load.comNumber) monitor.comNumber = *load.comNumber;
  monitor.baud = MonitorRate(load);
  monitor.seconds = seconds;
  return monitor;
}

using vestrel::app::StopSignals;

// A load that a signal stopped ends with the signal's conventional exit code. The caller holds
// the StopSignals.
int Load(const LoadOptions& load, const GangOptions* gang = nullptr) {
  const int loaded = gang ? RunGangLoad(load, *gang, std::cout, std::cerr, &StopSignals::Reason)
                          : RunLoad(load, std::cout, std::cerr, &StopSignals::Reason);
  if (StopSignals::ExitCode() == 0) return loaded;
  std::cerr << "vestrel-cli: " << StopSignals::Reason()
            << " The port is closed with its settings restored.\n";
  return StopSignals::ExitCode();
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
int LoadThenMonitor(const LoadOptions& load, bool monitor, unsigned seconds) {
  const bool steps =
      load.hexFile || load.all || load.erase || load.program || load.verify || load.run;
  if (!monitor) {
    StopSignals stopSignals;
    return Load(load);
  }
  if (steps) {
    const int loaded = [&load] {
      StopSignals stopSignals;  // the monitor handles Ctrl-C itself
      return Load(load);
    }();
    if (loaded != kExitOk) {
      std::cerr << "vestrel-cli: the load failed; the monitor does not start\n";
      return loaded;
    }
  }
  return RunMonitor(MonitorFor(load, seconds), std::cin, std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
  vestrel::platform::IgnoreBrokenPipe();  // output errors never stop a load
  CliCommand command = ParseCommandLine(argc, argv);
  switch (command.action) {
    case CliAction::Exit:
      std::cout << command.out;
      std::cerr << command.err;
      return command.exitCode;
    case CliAction::ListPorts:
      return vestrel::app::ListPorts(std::cout);
    case CliAction::ExportImage:
      return ExportImage(command.image, std::cout, std::cerr);
    case CliAction::Doctor:
      return RunDoctor(command.doctor, std::cout);
    case CliAction::Load:
    case CliAction::GangLoad:
    case CliAction::Station:
      break;
  }
  TerminalOptions& terminal = command.load.terminal;
  using vestrel::platform::IsAnsiTerminal;
  using vestrel::platform::StandardStream;
  terminal.outIsTerminal = IsAnsiTerminal(StandardStream::Output);
  terminal.color = IsAnsiTerminal(StandardStream::Error) && std::getenv("NO_COLOR") == nullptr;
  if (command.action == CliAction::Station) return Station(command.load, command.station);
  if (command.action == CliAction::GangLoad) {
    StopSignals stopSignals;
    return Load(command.load, &command.gang);
  }
  if (command.watch) {
    StopSignals stopSignals;
    return RunWatch(
        {*command.load.hexFile}, [&command] { return Load(command.load); }, &StopSignals::Reason,
        std::cout, std::cerr);
  }
  return LoadThenMonitor(command.load, command.monitor, command.monitorSeconds);
}
