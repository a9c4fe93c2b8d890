// What the window remembers from one start to the next: the last file, port and baud rate, in
// a small text file in the user's configuration folder ("window.conf", lines key=value).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/user_config.h"

namespace vestrel::app {

struct WindowSettings {
  std::string file;              // full path of the last file opened
  std::string port;              // the port list's entry, "Com3"
  std::optional<int> baudIndex;  // index into the baud list

  bool operator==(const WindowSettings&) const = default;
};

// Where the settings live, or nullopt when the system names no configuration folder. Inline, so
// that only the windows, which use it, need the platform's configuration folder.
inline std::optional<std::string> WindowSettingsPath() {
  const auto folder = platform::UserConfigDirectory();
  if (!folder) return std::nullopt;
  return (std::filesystem::path(*folder) / "window.conf").string();
}

// What the file holds; a missing, unreadable or garbled file (or line) gives empty values.
WindowSettings ReadWindowSettings(const std::string& path);

// Writes the settings, creating the folder; false when that is not possible.
bool WriteWindowSettings(const std::string& path, const WindowSettings& settings);

}  // namespace vestrel::app
