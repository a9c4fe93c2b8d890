// The port listing of `vestrel-cli --list-ports`.
#pragma once

#include <ostream>

#include "platform/port_map.h"

namespace vestrel::app {

// Writes which port map is in use and, for every port in it, its COM name, its device, whether
// it is usable, busy (held by another program) or absent, and the USB adapter's description
// where the system gives one. Returns the exit code, 0.
int ListPorts(std::ostream& out, const platform::PortMap& map);
int ListPorts(std::ostream& out);  // the map the environment selects

}  // namespace vestrel::app
