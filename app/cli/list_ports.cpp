#include "app/cli/list_ports.h"

#include <iomanip>
#include <string>

#include "platform/remote_port.h"
#include "platform/serial_device.h"

namespace vestrel::app {
namespace {

void DescribeMap(std::ostream& out, const platform::PortMap& map) {
  switch (map.Source()) {
    case platform::PortMapSource::PortDirectory:
      out << "Port map: directory " << map.Directory() << " (VESTREL_PORT_DIR), entries comN\n";
      break;
    case platform::PortMapSource::UserPortDirectory:
      out << "Port map: directory " << map.Directory() << ", entries comN\n";
      break;
    case platform::PortMapSource::Automatic:
      out << "Port map: automatic (USB adapters first, then serial ports with hardware);\n"
             "          set VESTREL_PORT_DIR to a directory of comN links to choose others\n";
      break;
    case platform::PortMapSource::System:
      out << "Port map: the system's COM ports (port n is \\\\.\\COMn)\n";
      break;
  }
}

std::string DeviceText(const platform::PortMapEntry& entry) {
  if (entry.resolvedPath.empty()) return entry.devicePath + " -> (nothing)";
  if (entry.resolvedPath == entry.devicePath) return entry.devicePath;
  return entry.devicePath + " -> " + entry.resolvedPath;
}

std::string StateText(platform::PortState state) {
  if (state == platform::PortState::Busy) return "busy (held by another program)";
  return platform::PortStateName(state);
}

}  // namespace

int ListPorts(std::ostream& out, const platform::PortMap& map) {
  DescribeMap(out, map);
  const std::vector<platform::PortMapEntry> entries = map.Entries();
  if (entries.empty()) {
    out << "No serial ports found.\n";
    return 0;
  }
  for (const platform::PortMapEntry& entry : entries) {
    // A remote port is not connected to here: that would open the far port, and could reset
    // its board.
    const std::string state = platform::NamesRemotePort(entry.resolvedPath)
                                  ? "remote (not probed)"
                                  : StateText(platform::ClassifyPort(entry.devicePath));
    out << std::left << std::setw(7) << platform::PortDisplayName(entry.number)
        << DeviceText(entry) << "  " << state;
    if (!entry.description.empty()) out << "  " << entry.description;
    out << '\n';
  }
  return 0;
}

int ListPorts(std::ostream& out) { return ListPorts(out, platform::PortMap::FromEnvironment()); }

}  // namespace vestrel::app
