#include <cstdlib>
#include <filesystem>

#include "platform/user_config.h"

namespace vestrel::platform {

std::optional<std::string> UserConfigDirectory() {
  if (const char* appData = std::getenv("APPDATA"); appData && *appData)
    return (std::filesystem::path(appData) / "Vestrel").string();
  return std::nullopt;
}

}  // namespace vestrel::platform
