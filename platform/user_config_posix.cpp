#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/user_config.h"

namespace vestrel::platform {

std::optional<std::string> UserConfigDirectory() {
  namespace fs = std::filesystem;
  // An XDG_CONFIG_HOME that is not absolute is to be ignored.
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && fs::path(xdg).is_absolute())
    return (fs::path(xdg) / "vestrel").string();
  if (const char* home = std::getenv("HOME"); home && *home)
    return (fs::path(home) / ".config" / "vestrel").string();
  return std::nullopt;
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace vestrel::platform
