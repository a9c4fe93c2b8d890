#include <glob.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef VESTREL_HAVE_UDEV
#include <libudev.h>
#endif

#include <algorithm>
#include <filesystem>
#include <set>

#include "platform/port_watch.h"

namespace vestrel::platform {
namespace {

namespace fs = std::filesystem;

bool HasWildcard(const std::string& text) {
  return text.find_first_of("*?[") != std::string::npos;
}

bool IsFolder(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

// Where a pattern's ports live: the folder itself, or the folder of the name (when it has no
// wildcard of its own).
std::string FolderOf(const std::string& pattern) {
  if (!HasWildcard(pattern) && IsFolder(pattern)) return pattern;
  const std::string folder = fs::path(pattern).parent_path().string();
  return HasWildcard(folder) ? std::string() : folder;
}

bool IsCharacterDevice(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

class LinuxPortWatch final : public PortWatch {
 public:
  explicit LinuxPortWatch(const std::vector<std::string>& patterns) {
    for (const std::string& pattern : patterns)
      if (const std::string folder = FolderOf(pattern); !folder.empty()) folders_.insert(folder);
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    WatchFolders();  // from now on: a port that comes before the first wait ends it
#ifdef VESTREL_HAVE_UDEV
    udev_ = ::udev_new();
    if (udev_) monitor_ = ::udev_monitor_new_from_netlink(udev_, "udev");
    if (monitor_ &&
        (::udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
         ::udev_monitor_enable_receiving(monitor_) < 0)) {
      ::udev_monitor_unref(monitor_);
      monitor_ = nullptr;
    }
#endif
  }
  ~LinuxPortWatch() override {
    if (inotify_ >= 0) ::close(inotify_);
#ifdef VESTREL_HAVE_UDEV
    if (monitor_) ::udev_monitor_unref(monitor_);
    if (udev_) ::udev_unref(udev_);
#endif
  }

  void Wait(std::chrono::milliseconds limit) override {
    WatchFolders();
    pollfd fds[2] = {{inotify_, POLLIN, 0}, {UdevFd(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(limit.count()));
    if (ready > 0) Drain();
  }

  std::string Method() const override {
    std::string method = UdevFd() >= 0 ? "udev events" : "";
    if (inotify_ >= 0 && !folders_.empty()) method += method.empty() ? "inotify" : " and inotify";
    return method.empty() ? "polling" : method;
  }

 private:
  int UdevFd() const {
#ifdef VESTREL_HAVE_UDEV
    return monitor_ ? ::udev_monitor_get_fd(monitor_) : -1;
#else
    return -1;
#endif
  }

  // A folder that does not exist yet (/dev/serial/by-id before the first USB adapter) is
  // watched once it does.
  void WatchFolders() {
    if (inotify_ < 0) return;
    for (const std::string& folder : folders_) {
      if (watched_.count(folder)) continue;
      const int wd = ::inotify_add_watch(
          inotify_, folder.c_str(),
          IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF);
      if (wd >= 0) watched_.insert(folder);
    }
  }

  void Drain() {
    char buffer[4096];
    bool folderGone = false;
    while (inotify_ >= 0) {
      const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        folderGone |= (event->mask & (IN_DELETE_SELF | IN_IGNORED)) != 0;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    if (folderGone) watched_.clear();  // watched again where they still exist
#ifdef VESTREL_HAVE_UDEV
    if (monitor_)
      while (udev_device* device = ::udev_monitor_receive_device(monitor_))
        ::udev_device_unref(device);
#endif
  }

  std::set<std::string> folders_;
  std::set<std::string> watched_;
  int inotify_ = -1;
#ifdef VESTREL_HAVE_UDEV
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
#endif
};

}  // namespace

std::vector<std::string> PresentPorts(const std::vector<std::string>& patterns) {
  std::set<std::string> present;
  for (const std::string& pattern : patterns) {
    const std::string expanded =
        !HasWildcard(pattern) && IsFolder(pattern) ? (fs::path(pattern) / "*").string() : pattern;
    glob_t matches{};
    if (::glob(expanded.c_str(), GLOB_NOSORT, nullptr, &matches) == 0) {
      for (std::size_t i = 0; i < matches.gl_pathc; ++i)
        if (IsCharacterDevice(matches.gl_pathv[i])) present.insert(matches.gl_pathv[i]);
    }
    ::globfree(&matches);
  }
  return {present.begin(), present.end()};
}

std::unique_ptr<PortWatch> WatchPorts(const std::vector<std::string>& patterns) {
  return std::make_unique<LinuxPortWatch>(patterns);
}

}  // namespace vestrel::platform
