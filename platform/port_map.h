// Which device stands behind each port number COM1..COM256.
//
// On Windows port n is the device \\.\COMn for every n, the system's own COM names (the
// directory map below is offered there too, but nothing selects it by itself). On Linux and
// other POSIX systems it comes from the first of these that applies:
//   1. $VESTREL_PORT_DIR/comN (N decimal, lower-case "com"): a device node or a symlink to one,
//      or a small text file holding a remote port's URL (remote_port.h), which is only read.
//   2. ~/.config/vestrel/ports/comN, the same, if that directory exists.
//   3. The automatic map: the serial devices present, numbered from COM1 in this order:
//      USB-attached adapters (ttyUSB, ttyACM, ...) first, ordered by their /dev/serial/by-id
//      name (stable across plugging order) and then by kernel name for those without one;
//      then other ports with hardware behind them, by kernel name in numeric order (ttyS2
//      before ttyS10). A ttyS port counts only when the driver found a UART there (its sysfs
//      "type" is not 0, PORT_UNKNOWN), since most machines list ttyS0..ttyS31 regardless.
// Display names are "COMn" everywhere.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vestrel::platform {

inline constexpr unsigned kMaxPortNumber = 256;

inline std::string PortDisplayName(unsigned number) {
  return "COM" + std::to_string(number);
}

// The number N of a port directory entry named "comN" (1..256, no leading zero), or 0.
unsigned PortEntryNumber(const std::string& name);

// Where the ports of FromEnvironment come from, in a few words for a help text (in parentheses,
// may hold a line break).
const char* PortMapSummary();

enum class PortMapSource {
  PortDirectory,      // $VESTREL_PORT_DIR
  UserPortDirectory,  // ~/.config/vestrel/ports
  Automatic,          // the serial devices present
  System,             // Windows: the system's COM names, port n is \\.\COMn
};

// Where the system describes its devices; replaceable so the automatic map can be tested.
struct SystemPaths {
  std::string sysClassTty = "/sys/class/tty";
  std::string dev = "/dev";
  std::string serialById = "/dev/serial/by-id";
};

struct PortMapEntry {
  unsigned number = 0;       // 1..256
  std::string devicePath;    // what is opened for this port
  std::string resolvedPath;  // where devicePath leads after symlinks (a remote port: its URL);
                             // empty if nowhere
  std::string description;   // the USB adapter's description from sysfs; empty if none
};

// The serial number of the USB adapter behind a device path (after symlinks); "" where there is
// none (no USB adapter, or one without a serial number) or the system does not say.
std::string UsbSerialNumber(const std::string& devicePath, const SystemPaths& system = {});
// The "vvvv:pppp" vendor and product id of that adapter; "" where there is none.
std::string UsbIdOf(const std::string& devicePath, const SystemPaths& system = {});

class PortMap {
 public:
  // The map the environment selects (see above); on Windows the system's COM names.
  static PortMap FromEnvironment(const SystemPaths& system = {});
  static PortMap FromDirectory(std::string directory, PortMapSource source,
                               const SystemPaths& system = {});
  static PortMap Automatic(const SystemPaths& system = {});

  PortMapSource Source() const { return source_; }
  // The port directory; empty for the automatic map.
  const std::string& Directory() const { return directory_; }

  // The device path of port `number`; empty when the map has no device for it. A directory map
  // always names comN, whether or not the entry exists.
  std::optional<std::string> DevicePath(unsigned number) const;

  // The ports that have an entry, ascending by number.
  std::vector<PortMapEntry> Entries() const;

 private:
  PortMap(PortMapSource source, std::string directory, SystemPaths system)
      : source_(source), directory_(std::move(directory)), system_(std::move(system)) {}

  PortMapSource source_;
  std::string directory_;
  SystemPaths system_;
  std::vector<PortMapEntry> automatic_;  // filled once for the automatic map
};

}  // namespace vestrel::platform
