// What the system says about a serial port and about what stands around it (the user's groups,
// programs that take adapters away, drivers), gathered for `vestrel-cli doctor`. Facts only:
// app/doctor.h judges them and words the fixes.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vestrel::platform {

struct ProcessHolder {
  int pid = 0;
  std::string name;  // its command name
};

struct PortFacts {
  std::string path;              // as named
  std::string device;            // after symlinks; empty when nothing is there
  bool isTerminal = false;       // a character device (Windows: a COM name the system knows)
  std::string group;             // POSIX: the device node's group
  bool groupMayOpen = false;     // that group may read and write it
  bool othersMayOpen = false;    // anyone may
  std::string kernelName;        // ttyUSB0
  std::string driver;            // the kernel driver (ftdi_sio, ...); Windows: the system's device
  std::string usbId;             // "0403:6001"; empty when no USB adapter is behind it
  std::optional<int> latencyMs;  // an FTDI adapter's latency timer
  std::vector<ProcessHolder> lockers;  // other processes that hold its lock (as a loader does)
  std::vector<ProcessHolder> openers;  // other processes that have it open
  bool openersComplete = true;         // every process could be looked at
};

struct UserFacts {
  std::string name;
  bool administrator = false;              // root: may open any device
  std::vector<std::string> sessionGroups;  // in force in this process
  std::vector<std::string> accountGroups;  // of the account (in force from the next login)
};

struct UsbAdapter {
  std::string id;      // "1a86:7523"
  std::string name;    // "CH340"
  std::string module;  // the driver that serves it ("ch341")
  std::string bound;   // the driver its interface has now; "" when none
};

struct SystemFacts {
  UserFacts user;
  std::string serialGroup;  // the group of serial devices here: dialout or uucp
  bool brlttyInstalled = false;
  std::vector<std::string> brlttyClaims;  // adapters ("1a86:7523 CH340") its udev rules take
  bool modemManagerRunning = false;
  std::vector<UsbAdapter> adapters;  // known USB serial adapters plugged in
};

// The USB serial adapters the doctor knows by id, with their drivers.
const std::vector<UsbAdapter>& KnownAdapters();

SystemFacts GatherSystemFacts();
PortFacts GatherPortFacts(const std::string& path);

}  // namespace vestrel::platform
