// Waiting for a file to change without polling it: the folder that holds the file is watched
// (inotify on Linux, a change notification on Windows), since editors and linkers often replace
// a file by renaming a new one over it rather than writing it in place. A symbolic link is
// watched together with what it leads to: a build may replace the target and leave the link.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vestrel::platform {

enum class WatchResult {
  Changed,   // something changed in a watched folder, perhaps the file (compare it to be sure)
  TimedOut,  // nothing changed within the limit, or a signal cut the wait short
  Failed,    // the watch ended (a watched folder went away); the reason is Error()
};

class FileWatch {
 public:
  virtual ~FileWatch() = default;
  // Waits up to `limit` for a change. The thread sleeps in the kernel meanwhile.
  virtual WatchResult Wait(std::chrono::milliseconds limit) = 0;
  virtual std::string Error() const = 0;
};

// Watches the folder of `path`, and when `path` is a symbolic link, the folders of the links it
// leads through and of the file it resolves to, following the link anew when it changes. Null
// with `error` set when that is not possible.
std::unique_ptr<FileWatch> WatchFile(const std::string& path, std::string& error);

// The absolute paths whose changes are changes of `path`: `path` itself, then each link target
// in turn while the path so far is a symbolic link (at most 40, as the system follows).
std::vector<std::filesystem::path> LinkChain(const std::string& path);

}  // namespace vestrel::platform
