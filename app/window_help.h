// The windows' --help and --version: answered on the terminal before any window opens, so that
// they work without a display and never start a load.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vestrel::app {

// The text to print for the first of --help and --version among `args`, or nothing when
// neither is there (the window opens).
std::optional<std::string> WindowHelpOrVersion(const std::vector<std::string>& args);

}  // namespace vestrel::app
