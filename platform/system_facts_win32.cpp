// <windows.h> after the layer's headers (see win32_dcb.h).
// clang-format off
#include "platform/system_facts.h"
#include "platform/win32_support.h"
// clang-format on

#include <lmcons.h>

namespace vestrel::platform {

SystemFacts GatherSystemFacts() {
  SystemFacts facts;
  char name[UNLEN + 1] = {};
  DWORD size = sizeof name;
  if (::GetUserNameA(name, &size)) facts.user.name = name;
  return facts;  // no groups, brltty or ModemManager stand between a Windows user and a port
}

PortFacts GatherPortFacts(const std::string& path) {
  PortFacts port;
  port.path = path;
  // "\\.\COM3" and "COM3" both name the system's COM3.
  const std::string prefix = "\\\\.\\";
  const std::string name =
      path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path;
  char target[1024] = {};
  if (::QueryDosDeviceA(name.c_str(), target, sizeof target) == 0) return port;
  port.device = path;
  port.isTerminal = true;
  port.driver = target;          // the system's device, such as \Device\VCP0 for FTDI's driver
  port.openersComplete = false;  // the system does not say which program holds a COM port
  return port;
}

}  // namespace vestrel::platform
