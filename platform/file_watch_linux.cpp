// inotify on the folder (Linux); events for other names in it are ignored.
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
  InotifyWatch(int fd, std::string folder, std::string name)
      : fd_(fd), folder_(std::move(folder)), name_(std::move(name)) {}
  ~InotifyWatch() override { ::close(fd_); }
  InotifyWatch(const InotifyWatch&) = delete;
  InotifyWatch& operator=(const InotifyWatch&) = delete;

  WatchResult Wait(std::chrono::milliseconds limit) override {
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(limit.count(), INT_MAX)));
    if (ready < 0 && errno != EINTR) return Fail(errno);
    if (ready <= 0) return WatchResult::TimedOut;
    return ReadEvents();
  }

  std::string Error() const override { return error_; }

 private:
  WatchResult Fail(int error) {
    error_ = "watching " + folder_ + " failed: " + WatchErrorText(error);
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
      const char* name = buffer.data() + at + sizeof(inotify_event);
      if (event.mask & (IN_DELETE_SELF | IN_IGNORED)) {
        error_ = folder_ + " went away";
        return WatchResult::Failed;
      }
      if (event.len > 0 && name_ == std::string(name, ::strnlen(name, event.len))) changed = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
    }
    return changed ? WatchResult::Changed : WatchResult::TimedOut;
  }

  int fd_;
  std::string folder_;
  std::string name_;
  std::string error_;
};

}  // namespace

std::unique_ptr<FileWatch> WatchFile(const std::string& path, std::string& error) {
  namespace fs = std::filesystem;
  const fs::path file = fs::absolute(fs::path(path));
  const std::string folder = file.parent_path().string();
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    error = "cannot watch " + folder + ": " + WatchErrorText(errno);
    return nullptr;
  }
  if (::inotify_add_watch(fd, folder.c_str(), kEvents) < 0) {
    error = "cannot watch " + folder + ": " + WatchErrorText(errno);
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<InotifyWatch>(fd, folder, file.filename().string());
}

}  // namespace vestrel::platform
