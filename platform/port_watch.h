// Serial devices that come and go (boards plugged in and out of a bench): which ports of a set
// are there now, and a wait that sleeps until that may have changed. Nothing here opens a port:
// a port is only looked at, so a board's port is opened first by its load.
//
// Linux: udev's events for tty devices (after its rules have run, so names under
// /dev/serial/by-id and the device's group are in place) and inotify on the folders of the
// names (port directories, symlinks that tests and scripts place), with a rescan at the end of
// every wait as a safety net. Windows: the system's COM names, polled.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace vestrel::platform {

// The ports that `patterns` name which are there now, sorted and each once. A pattern is a path,
// a glob (* ? [...]) or a folder, which stands for all its entries; a port counts when it leads
// to a character device (a terminal: a remote port's URL file or a regular file never does).
// On Windows a pattern is a COM name or a glob over them ("COM*"), matched against the ports
// the system knows.
std::vector<std::string> PresentPorts(const std::vector<std::string>& patterns);

class PortWatch {
 public:
  virtual ~PortWatch() = default;
  // Sleeps until a device may have come or gone, at most `limit`; a signal ends it early.
  virtual void Wait(std::chrono::milliseconds limit) = 0;
  // How the ports are watched, for the user ("udev events and inotify", "polling").
  virtual std::string Method() const = 0;
};

// A watch on the devices of `patterns` (as PresentPorts takes them).
std::unique_ptr<PortWatch> WatchPorts(const std::vector<std::string>& patterns);

}  // namespace vestrel::platform
