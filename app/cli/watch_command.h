// vestrel-cli --watch: the desk loop of edit, build, flash. After a load, the file is watched;
// when it has changed (and stayed the same for a moment, so that a build has finished writing
// it) it is loaded again, until Ctrl-C.
#pragma once

#include <chrono>
#include <functional>
#include <ostream>
#include <string>

#include "app/cli/load_command.h"

namespace vestrel::cli {

struct WatchOptions {
  std::string file;
  // How long the file must stay unchanged before it is loaded, and at most how long a build
  // that keeps writing it is waited for.
  std::chrono::milliseconds settle{300};
  std::chrono::milliseconds settleLimit{10000};
};

// Runs `load` (one load, giving its exit code), then again after each change of the file, until
// `stop` answers. Returns the exit code of the last load (a load that the stop cut short gives
// its own), or 1 when the file cannot be watched.
int RunWatch(const WatchOptions& options, const std::function<int()>& load, const StopCheck& stop,
             std::ostream& out, std::ostream& err);

}  // namespace vestrel::cli
