// What stands between this user and a working port: the facts of the system and the port
// (platform/system_facts.h) and two probes of the port (does it take the rate, does a
// bootloader answer the sync), judged into findings, each with the fix as a command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/serial_device.h"
#include "platform/system_facts.h"

namespace vestrel::app {

struct Finding {
  bool problem = true;  // false: a note that needs no action
  std::string what;
  std::string fix;  // a command, or "" where there is nothing to run
};

// What opening the port and setting its rate showed, and what the sync found.
struct PortProbe {
  platform::OpenStatus open = platform::OpenStatus::Failed;
  std::string openText;  // the system's text when it did not open
  std::uint32_t baud = 0;
  bool rateRefused = false;  // it opened, but the driver refuses the rate
  std::string rateText;
  bool synced = false;    // with --baud: the sync was tried
  bool answered = false;  // a bootloader answered
  std::string version;    // its version, when it answered
  std::string syncError;  // why not
};

// Opens the port (and closes it again) at `baud`; with `sync`, asks for the bootloader too.
PortProbe ProbePort(const std::string& path, std::uint32_t baud, bool sync);

// `portGroup`: the group of the port that JudgePort looks at, which then says what a missing
// membership in it means for that port.
std::vector<Finding> JudgeSystem(const platform::SystemFacts& system,
                                 const std::string& portGroup = {});
std::vector<Finding> JudgePort(const platform::SystemFacts& system, const platform::PortFacts& port,
                               const std::optional<PortProbe>& probe);

}  // namespace vestrel::app
