// The user's own configuration folder of the program, where the window keeps what it
// remembers: $XDG_CONFIG_HOME/vestrel (else ~/.config/vestrel) on Linux, %APPDATA%\Vestrel on
// Windows.
#pragma once

#include <optional>
#include <string>

namespace vestrel::platform {

// The folder (which may not exist yet), or nullopt when the system names no home or profile.
std::optional<std::string> UserConfigDirectory();

// This computer's name (the production log says which station loaded a board); "" when the
// system gives none.
std::string HostName();

}  // namespace vestrel::platform
