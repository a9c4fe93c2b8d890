// vestrel-cli --monitor: a serial monitor on the port component. It opens the port through
// TComPort, prints what the target sends (fetched with Read when the reader reports arrivals),
// sends what comes on `in` with Write, and shows line errors as short notes on `err`.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>

namespace vestrel::cli {

struct MonitorOptions {
  std::string devicePath;       // opened when not empty
  unsigned comNumber = 1;       // otherwise COM1..COM256 through the port map
  std::uint32_t baud = 115200;  // 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200
  unsigned seconds = 0;         // run time; 0: until Ctrl-C
};

// The rates the monitor runs at: those of the port component's records, 1200 to 115200.
bool IsMonitorBaudRate(std::uint32_t rate);

// Runs until Ctrl-C (SIGINT) or the given seconds have passed; the end of `in` only stops
// sending. `in` is read on a thread of its own, which is left behind if it is still waiting for
// input at the end (a terminal read cannot be called off): `in` must then outlive the process,
// as std::cin does. A line that hangs up (the adapter pulled) ends it too, and so does SIGTERM,
// which closes the port as Ctrl-C does. Holds the process's StopSignals meanwhile. Returns the
// exit code: 0, 1 when the port cannot be opened or its line went away, 2 for options out of
// range, 143 after SIGTERM.
int RunMonitor(const MonitorOptions& options, std::istream& in, std::ostream& out,
               std::ostream& err);

}  // namespace vestrel::cli
