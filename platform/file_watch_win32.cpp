// A change notification on each folder: it says that something in the folder changed, not
// what; the caller compares the file to tell.
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/file_watch.h"

namespace vestrel::platform {
namespace {

std::string LastErrorText() {
  return std::system_category().message(static_cast<int>(::GetLastError()));
}

class NotificationWatch final : public FileWatch {
 public:
  explicit NotificationWatch(const std::string& path)
      : path_(std::filesystem::absolute(path).string()) {}
  ~NotificationWatch() override {
    for (const Folder& f : folders_) ::FindCloseChangeNotification(f.handle);
  }
  NotificationWatch(const NotificationWatch&) = delete;
  NotificationWatch& operator=(const NotificationWatch&) = delete;

  // Watches the folder of each name in the path's link chain, and no other folder; the path's
  // own folder must be watchable, a link target's is left out when it is not.
  bool Follow(std::string& error) {
    std::vector<Folder> folders;
    const std::vector<std::filesystem::path> chain = LinkChain(path_);
    for (std::size_t i = 0; i < chain.size(); ++i) {
      const std::string folder = chain[i].parent_path().string();
      if (std::any_of(folders.begin(), folders.end(),
                      [&](const Folder& f) { return f.name == folder; }))
        continue;
      const auto old = std::find_if(folders_.begin(), folders_.end(),
                                    [&](const Folder& f) { return f.name == folder; });
      if (old != folders_.end()) {
        folders.push_back(*old);
        folders_.erase(old);
        continue;
      }
      const HANDLE handle = ::FindFirstChangeNotificationA(
          folder.c_str(), FALSE,
          FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE);
      if (handle == INVALID_HANDLE_VALUE && i == 0) {
        error = "cannot watch " + folder + ": " + LastErrorText();
        for (const Folder& f : folders) ::FindCloseChangeNotification(f.handle);
        return false;
      }
      if (handle != INVALID_HANDLE_VALUE) folders.push_back({handle, folder});
    }
    for (const Folder& f : folders_) ::FindCloseChangeNotification(f.handle);
    folders_ = std::move(folders);
    return true;
  }

  WatchResult Wait(std::chrono::milliseconds limit) override {
    std::vector<HANDLE> handles;
    for (const Folder& f : folders_) handles.push_back(f.handle);
    const DWORD waited =
        ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                                 static_cast<DWORD>(limit.count()));
    if (waited == WAIT_TIMEOUT) return WatchResult::TimedOut;
    const DWORD index = waited - WAIT_OBJECT_0;
    if (index >= handles.size() || !::FindNextChangeNotification(handles[index])) {
      error_ = "watching " + folders_[index < handles.size() ? index : 0].name +
               " failed: " + LastErrorText();
      return WatchResult::Failed;
    }
    // A link of the chain may now point elsewhere.
    return Follow(error_) ? WatchResult::Changed : WatchResult::Failed;
  }

  std::string Error() const override { return error_; }

 private:
  struct Folder {
    HANDLE handle;
    std::string name;
  };

  std::string path_;
  std::vector<Folder> folders_;  // the path's own first
  std::string error_;
};

}  // namespace

std::unique_ptr<FileWatch> WatchFile(const std::string& path, std::string& error) {
  auto watch = std::make_unique<NotificationWatch>(path);
  if (!watch->Follow(error)) return nullptr;
  return watch;
}

}  // namespace vestrel::platform
