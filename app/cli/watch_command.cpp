#include "app/cli/watch_command.h"

#include <memory>
#include <optional>

#include "app/file_stamp.h"
#include "platform/file_watch.h"

namespace vestrel::cli {
namespace {

using std::chrono::milliseconds;

// How often a quiet watch looks at the stop check.
constexpr milliseconds kStopPoll{200};

enum class WatchOutcome { Changed, Stopped, Failed };

// Waits until the file differs from `loaded` and then stays the same for a moment.
WatchOutcome WaitForNewVersion(platform::FileWatch& watch, const WatchOptions& options,
                          const std::optional<app::FileStamp>& loaded, const StopCheck& stop) {
  for (;;) {
    if (!stop().empty()) return WatchOutcome::Stopped;
    const platform::WatchResult r = watch.Wait(kStopPoll);
    if (r == platform::WatchResult::Failed) return WatchOutcome::Failed;
    std::optional<app::FileStamp> now = app::StampOf(options.file);
    if (r != platform::WatchResult::Changed || !now || now == loaded) continue;
    const auto giveUp = std::chrono::steady_clock::now() + options.settleLimit;
    while (std::chrono::steady_clock::now() < giveUp && stop().empty()) {
      const platform::WatchResult more = watch.Wait(options.settle);
      if (more == platform::WatchResult::Failed) return WatchOutcome::Failed;
      const std::optional<app::FileStamp> later = app::StampOf(options.file);
      if (more == platform::WatchResult::TimedOut && later == now) break;
      now = later;
    }
    return stop().empty() ? WatchOutcome::Changed : WatchOutcome::Stopped;
  }
}

}  // namespace

int RunWatch(const WatchOptions& options, const std::function<int()>& load, const StopCheck& stop,
             std::ostream& out, std::ostream& err) {
  std::string error;
  const std::unique_ptr<platform::FileWatch> watch = platform::WatchFile(options.file, error);
  if (!watch) {
    err << "vestrel-cli: --watch: " << error << '\n';
    return 1;
  }
  for (;;) {
    const std::optional<app::FileStamp> loaded = app::StampOf(options.file);
    const int result = load();
    if (!stop().empty()) return result;
    out << "Watching " << options.file << " for changes (Ctrl-C ends)" << std::endl;
    switch (WaitForNewVersion(*watch, options, loaded, stop)) {
      case WatchOutcome::Stopped:
        out << "Stopped watching " << options.file << std::endl;
        return result;
      case WatchOutcome::Failed:
        err << "vestrel-cli: --watch: " << watch->Error() << '\n';
        return 1;
      case WatchOutcome::Changed:
        out << options.file << " changed: loading it again" << std::endl;
        break;
    }
  }
}

}  // namespace vestrel::cli
