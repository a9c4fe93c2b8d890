#include <windows.h>

#include <cstdlib>
#include <filesystem>

#include "platform/user_config.h"

namespace vestrel::platform {

std::optional<std::string> UserConfigDirectory() {
  if (const char* appData = std::getenv("APPDATA"); appData && *appData)
    return (std::filesystem::path(appData) / "Vestrel").string();
  return std::nullopt;
}

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  return ::GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}

}  // namespace vestrel::platform
