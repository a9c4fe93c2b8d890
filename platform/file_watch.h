// Waiting for a file to change without polling it: the folder that holds the file is watched
// (inotify on Linux, a change notification on Windows), since editors and linkers often replace
// a file by renaming a new one over it rather than writing it in place.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace vestrel::platform {

enum class WatchResult {
  Changed,   // something changed in the folder, perhaps the file (compare it to be sure)
  TimedOut,  // nothing changed within the limit, or a signal cut the wait short
  Failed,    // the watch ended (the folder went away); the reason is Error()
};

class FileWatch {
 public:
  virtual ~FileWatch() = default;
  // Waits up to `limit` for a change. The thread sleeps in the kernel meanwhile.
  virtual WatchResult Wait(std::chrono::milliseconds limit) = 0;
  virtual std::string Error() const = 0;
};

// Watches the folder of `path`; null with `error` set when that is not possible.
std::unique_ptr<FileWatch> WatchFile(const std::string& path, std::string& error);

}  // namespace vestrel::platform
