// inotify on the folders (Linux); events for other names in them are ignored.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/file_watch.h"

namespace vestrel::platform {
namespace {

constexpr std::uint32_t kEvents =
    IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_ATTRIB | IN_DELETE_SELF;

std::string WatchErrorText(int error) {
  return std::system_category().message(error);
}

class InotifyWatch final : public FileWatch {
 public:
  InotifyWatch(int fd, const std::string& path)
      : fd_(fd), path_(std::filesystem::absolute(path).string()) {}
  ~InotifyWatch() override { ::close(fd_); }
  InotifyWatch(const InotifyWatch&) = delete;
  InotifyWatch& operator=(const InotifyWatch&) = delete;

  // Watches the folder of each name in the path's link chain, and no other folder. The path's
  // own folder must be watchable; a link target's folder that is not (gone, no access) is left
  // out, and the link's own folder still sees the link pointed elsewhere.
  bool Follow(std::string& error) {
    std::vector<Name> names;
    const std::vector<std::filesystem::path> chain = LinkChain(path_);
    for (std::size_t i = 0; i < chain.size(); ++i) {
      const std::string folder = chain[i].parent_path().string();
      const int wd = ::inotify_add_watch(fd_, folder.c_str(), kEvents);
      if (wd < 0 && i == 0) {
        error = "cannot watch " + folder + ": " + WatchErrorText(errno);
        return false;
      }
      if (wd >= 0) names.push_back({wd, folder, chain[i].filename().string()});
    }
    for (const Name& old : names_) {
      const bool kept =
          std::any_of(names.begin(), names.end(), [&](const Name& n) { return n.wd == old.wd; });
      if (!kept) ::inotify_rm_watch(fd_, old.wd);
    }
    names_ = std::move(names);
    return true;
  }

  WatchResult Wait(std::chrono::milliseconds limit) override {
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(limit.count(), INT_MAX)));
    if (ready < 0 && errno != EINTR) return Fail(errno);
    if (ready <= 0) return WatchResult::TimedOut;
    const WatchResult result = ReadEvents();
    // A link of the chain may now point elsewhere.
    if (result == WatchResult::Changed && !Follow(error_)) return WatchResult::Failed;
    return result;
  }

  std::string Error() const override { return error_; }

 private:
  struct Name {
    int wd;
    std::string folder;
    std::string name;
  };

  WatchResult Fail(int error) {
    error_ = "watching " + names_.front().folder + " failed: " + WatchErrorText(error);
    return WatchResult::Failed;
  }

  WatchResult ReadEvents() {
    alignas(inotify_event) std::array<char, 4096> buffer{};
    const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
    if (n < 0) return errno == EAGAIN || errno == EINTR ? WatchResult::TimedOut : Fail(errno);
    bool changed = false;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      inotify_event event{};
      std::memcpy(&event, buffer.data() + at, sizeof event);
      const std::string name(buffer.data() + at + sizeof(inotify_event),
                             ::strnlen(buffer.data() + at + sizeof(inotify_event), event.len));
      at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
      // Events of a folder no longer watched (an old link target's) still arrive: skipped.
      const auto folder = std::find_if(names_.begin(), names_.end(),
                                       [&](const Name& n) { return n.wd == event.wd; });
      if (folder == names_.end()) continue;
      if (event.mask & (IN_DELETE_SELF | IN_IGNORED)) {
        error_ = folder->folder + " went away";
        return WatchResult::Failed;
      }
      changed = changed || std::any_of(names_.begin(), names_.end(), [&](const Name& n) {
                  return n.wd == event.wd && n.name == name;
                });
    }
    return changed ? WatchResult::Changed : WatchResult::TimedOut;
  }

  int fd_;
  std::string path_;
  std::vector<Name> names_;  // the path's own first
  std::string error_;
};

}  // namespace

std::unique_ptr<FileWatch> WatchFile(const std::string& path, std::string& error) {
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    error = "cannot watch " + std::filesystem::absolute(path).parent_path().string() + ": " +
            WatchErrorText(errno);
    return nullptr;
  }
  auto watch = std::make_unique<InotifyWatch>(fd, path);
  if (!watch->Follow(error)) return nullptr;
  return watch;
}

}  // namespace vestrel::platform
